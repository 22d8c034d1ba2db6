// Small pieces the host's components share.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

#include "host_internal.h"

namespace hvn_host {

std::recursive_mutex& registry_lock() {
    // Never destroyed: module destructors may still unregister during process exit, after the
    // host library's own static destructors would have run.
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

bool write_all(int fd, const char* text, size_t length) {
    if (fd < 0) return false;
    while (length > 0) {
        const ssize_t n = ::write(fd, text, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string vformat(const char* fmt, va_list ap) {
    if (!fmt) return {};
    va_list probe;
    va_copy(probe, ap);
    const int needed = std::vsnprintf(nullptr, 0, fmt, probe);
    va_end(probe);
    if (needed <= 0) return {};
    try {
        std::string out(static_cast<size_t>(needed) + 1, '\0');
        std::vsnprintf(&out[0], out.size(), fmt, ap);
        out.resize(static_cast<size_t>(needed));
        return out;
    } catch (...) {
        return {};
    }
}

}  // namespace hvn_host
