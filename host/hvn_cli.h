/* Console commands. */
#ifndef HVN_CLI_H
#define HVN_CLI_H

#include <stddef.h>

#include "hvn_common.h"

HVN_BEGIN_DECLS

/* Command codes a handler receives. */
enum hvn_cli_command_code {
    HVN_CLI_INIT = -2,     /* fill in command and usage; args is NULL */
    HVN_CLI_GENERATE = -3, /* offer a completion for args->word, or NULL */
    HVN_CLI_HANDLER = -4,  /* the command was typed */
};

/* Handler results besides NULL (success). */
#define HVN_CLI_SHOWUSAGE ((char *)1)
#define HVN_CLI_FAILURE ((char *)2)

struct hvn_cli_args {
    int fd;                  /* console to write to */
    int argc;                /* words typed */
    const char *const *argv; /* the words, NULL-terminated */
    const char *line;        /* the whole line */
    const char *word;        /* completion: the partial word */
    int pos;                 /* completion: its offset in line */
    int n;                   /* completion: which match is asked for */
};

struct hvn_cli_entry {
    const char *command; /* words of the command, set at HVN_CLI_INIT */
    const char *usage;   /* set at HVN_CLI_INIT */
    const char *summary;
    char *(*handler)(struct hvn_cli_entry *e, int cmd, struct hvn_cli_args *a);

    /* Host bookkeeping. */
    struct hvn_module *module;
    int registered;
};

/* Initialises (HVN_CLI_INIT) and registers each entry. Returns 0 when all were registered. */
HVN_API int hvn_cli_register_multiple(struct hvn_cli_entry *entries, int len);
/* Returns 0 when all entries were registered before. */
HVN_API int hvn_cli_unregister_multiple(struct hvn_cli_entry *entries, int len);

/* printf-style output to a console. */
HVN_API void hvn_cli(int fd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

HVN_END_DECLS

#endif
