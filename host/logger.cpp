// The host log: one line per call, to stderr or to a sink the driver installs.
#include <unistd.h>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "host_internal.h"

namespace {

hvn_log_sink g_sink = nullptr;
void* g_sink_ctx = nullptr;

const char* level_name(int level) {
    static const char* const names[] = {"DEBUG", "EVENT", "NOTICE", "WARNING", "ERROR", "VERBOSE"};
    if (level < 0 || level >= static_cast<int>(sizeof names / sizeof names[0])) return "UNKNOWN";
    return names[level];
}

}  // namespace

extern "C" {

void hvn_log(int level, const char* file, int line, const char* function, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string message = hvn::vformat(fmt, ap);
    va_end(ap);
    try {
        std::string text = std::string("[") + level_name(level) + "] " + (file ? file : "?") + ":" +
                           std::to_string(line) + " " + (function ? function : "?") + ": " +
                           message;
        // Callers usually end their messages with a newline, some do not: either way this
        // is one line.
        if (text.empty() || text.back() != '\n') text += '\n';
        const hvn_log_record record{level,       level_name(level),        file ? file : "",
                                    line,        function ? function : "", message.c_str(),
                                    text.c_str()};
        std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
        if (g_sink)
            g_sink(&record, g_sink_ctx);
        else
            hvn::write_all(STDERR_FILENO, text.data(), text.size());
    } catch (...) {
        // Out of memory while logging: the line is lost, the caller carries on.
    }
}

void hvn_log_set_sink(hvn_log_sink sink, void* ctx) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    g_sink = sink;
    g_sink_ctx = ctx;
}

}  // extern "C"
