/* Module interface: how a loadable module introduces itself to the host. */
#ifndef HVN_MODULE_H
#define HVN_MODULE_H

#include "hvn_common.h"

HVN_BEGIN_DECLS

/* The host's record of a module. Modules only pass it back. */
struct hvn_module;

enum hvn_module_flags {
    HVN_MODFLAG_DEFAULT = 1 << 0,    /* an ordinary module with load/reload/unload entries */
    HVN_MODFLAG_LOAD_ORDER = 1 << 1, /* load_pri is meaningful */
};

enum hvn_module_support_level {
    HVN_MODULE_SUPPORT_UNKNOWN = 0,
    HVN_MODULE_SUPPORT_CORE = 1,
    HVN_MODULE_SUPPORT_EXTENDED = 2,
    HVN_MODULE_SUPPORT_DEPRECATED = 3,
};

#define HVN_BUILDOPT_SUM_LEN 33

/* A module's descriptor. The module owns it (usually a static record) and registers it from a
 * shared-object constructor; the host fills `self` at registration. A load entry returns 0 for
 * success, anything else fails the load. */
struct hvn_module_info {
    struct hvn_module *self;
    int (*load)(void);
    int (*reload)(void);
    int (*unload)(void);
    int (*spare_entry1)(void);
    int (*spare_entry2)(void);
    const char *name;
    const char *description;
    unsigned int flags;
    char buildopt_sum[HVN_BUILDOPT_SUM_LEN];
    unsigned char load_pri;
    const char *dependencies; /* comma-separated module names, or NULL */
    int support_level;
};

HVN_API void hvn_module_register(struct hvn_module_info *info);
HVN_API void hvn_module_unregister(struct hvn_module_info *info);

HVN_END_DECLS

#endif
