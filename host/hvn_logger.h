/* The host log. */
#ifndef HVN_LOGGER_H
#define HVN_LOGGER_H

#include "hvn_common.h"

HVN_BEGIN_DECLS

enum hvn_log_level {
    HVN_LOG_DEBUG = 0,
    HVN_LOG_EVENT = 1,
    HVN_LOG_NOTICE = 2,
    HVN_LOG_WARNING = 3,
    HVN_LOG_ERROR = 4,
    HVN_LOG_VERBOSE = 5,
};

/* Writes one log line naming the level, the source file and line, and the function. */
HVN_API void hvn_log(int level, const char *file, int line, const char *function, const char *fmt,
                     ...) __attribute__((format(printf, 5, 6)));

HVN_END_DECLS

#endif
