/* The host's own side: what a driver program (or a test) uses to load modules, run translator
 * instances, type console commands and watch the log. Modules never include this. */
#ifndef HVN_HOST_H
#define HVN_HOST_H

#include <stddef.h>

#include "hvn_cli.h"
#include "hvn_common.h"
#include "hvn_format.h"
#include "hvn_frame.h"
#include "hvn_logger.h"
#include "hvn_module.h"
#include "hvn_translate.h"

HVN_BEGIN_DECLS

/* ---- Modules ---------------------------------------------------------------------------- */

/* Maps the shared object (its constructor registers the descriptor) and runs its load entry.
 * On failure returns NULL with the reason in `error` (may be NULL) and leaves nothing mapped. */
HVN_API struct hvn_module *hvn_load_module(const char *path, char *error, size_t error_size);
/* Runs the reload entry; returns its result (0 when the module has none). */
HVN_API int hvn_reload_module(struct hvn_module *mod);
/* Runs the unload entry and unmaps the object. Refuses (-1, reason in `error`) while
 * translator instances of the module exist; otherwise returns the unload entry's result. */
HVN_API int hvn_unload_module(struct hvn_module *mod, char *error, size_t error_size);

HVN_API struct hvn_module *hvn_module_find(const char *name);
HVN_API const struct hvn_module_info *hvn_module_get_info(const struct hvn_module *mod);
HVN_API const char *hvn_module_get_path(const struct hvn_module *mod); /* "" if not loaded */
/* Registered module descriptors, loaded or not. */
HVN_API size_t hvn_module_count(void);

/* ---- Translators ------------------------------------------------------------------------ */

/* Fills `out` with up to `max` registered translators in registration order; returns how many
 * are registered. */
HVN_API size_t hvn_translator_list(struct hvn_translator **out, size_t max);
HVN_API struct hvn_translator *hvn_translator_find(const char *name);

/* Creates an instance of the named translator: private area and output buffer of the sizes the
 * descriptor states, zeroed counters, then the new-instance operation. NULL when there is no
 * such translator, memory is short, or the new-instance operation fails. */
HVN_API struct hvn_trans_pvt *hvn_trans_instance_new(const char *name);
/* Hands one frame to the translator's frame-in; returns its result. */
HVN_API int hvn_trans_instance_feed(struct hvn_trans_pvt *pvt, struct hvn_frame *in);
/* Asks for output: the translator's frame-out, or the host's default one. The frame (may be
 * NULL) stays valid until the next call on the instance. */
HVN_API struct hvn_frame *hvn_trans_instance_read(struct hvn_trans_pvt *pvt);
HVN_API void hvn_trans_instance_destroy(struct hvn_trans_pvt *pvt);
/* Live instances of translators registered by the module. */
HVN_API int hvn_module_instance_count(const struct hvn_module *mod);

/* ---- Console ---------------------------------------------------------------------------- */

enum hvn_cli_status {
    HVN_CLI_STATUS_OK = 0,
    HVN_CLI_STATUS_NO_COMMAND = 1, /* nothing registered matches the line */
    HVN_CLI_STATUS_USAGE = 2,      /* the handler asked for its usage text (printed to fd) */
    HVN_CLI_STATUS_FAILED = 3,
};

/* Runs a typed line: the registered command whose words begin the line (the longest such
 * match) gets it; words after the command are passed on. Output goes to `fd`. */
HVN_API int hvn_cli_command(int fd, const char *line);
/* The entry registered for exactly these command words, or NULL. */
HVN_API struct hvn_cli_entry *hvn_cli_find(const char *command);
/* Like hvn_translator_list, for console entries. */
HVN_API size_t hvn_cli_list(struct hvn_cli_entry **out, size_t max);

/* ---- Formats ---------------------------------------------------------------------------- */

HVN_API struct hvn_format *hvn_format_find(const char *name);
/* Replaces the format objects with fresh ones, as a format-cache rebuild does. */
HVN_API void hvn_format_renew(void);

/* ---- Log -------------------------------------------------------------------------------- */

struct hvn_log_record {
    int level;
    const char *level_name;
    const char *file;
    int line;
    const char *function;
    const char *message; /* formatted, as the caller wrote it */
    const char *text;    /* the complete log line, ending in one newline */
};

typedef void (*hvn_log_sink)(const struct hvn_log_record *record, void *ctx);

/* Sends log lines to `sink` instead of stderr; NULL restores stderr. */
HVN_API void hvn_log_set_sink(hvn_log_sink sink, void *ctx);

/* ---- Fault injection and observation (tests) -------------------------------------------- */

/* The next `count` translator registrations (at most 8) return results[0], results[1], ... in
 * turn instead of registering; a result of 0 lets that one register as usual. 0 disarms. */
HVN_API void hvn_test_translator_registration_results(const int *results, int count);
/* Calls of __hvn_register_translator so far, failed ones included. */
HVN_API int hvn_test_translator_registration_calls(void);
/* Makes the next console registration return `result` and register nothing; 0 disarms. */
HVN_API void hvn_test_fail_cli_registration(int result);
/* Called on every unregistration call, whether or not it finds what it names, in order: kind
 * "translator" with the translator's name, or "console" with the command (NULL: never set). */
typedef void (*hvn_test_unregister_hook)(const char *kind, const char *name, void *ctx);
/* Installs the hook (NULL removes it). */
HVN_API void hvn_test_set_unregister_hook(hvn_test_unregister_hook hook, void *ctx);

HVN_END_DECLS

#endif
