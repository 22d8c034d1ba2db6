// Small pieces the host's components share.
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "host_internal.h"

namespace {

hvn_test_unregister_hook g_unregister_hook = nullptr;
void* g_unregister_hook_ctx = nullptr;

}  // namespace

namespace hvn {

std::recursive_mutex& registry_lock() {
    // Never destroyed: module destructors may still unregister during process exit, after the
    // host library's own static destructors would have run.
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

void warn_left_registered(const hvn_module* mod, const char* what, const char* name) {
    hvn_log(HVN_LOG_WARNING, __FILE__, __LINE__, __func__, "Module '%s' left %s '%s' registered\n",
            mod && mod->info && mod->info->name ? mod->info->name : "", what, name ? name : "");
}

void note_unregistration(const char* kind, const char* name) {
    if (g_unregister_hook) g_unregister_hook(kind, name, g_unregister_hook_ctx);
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

}  // namespace hvn

extern "C" void hvn_test_set_unregister_hook(hvn_test_unregister_hook hook, void* ctx) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    g_unregister_hook = hook;
    g_unregister_hook_ctx = ctx;
}
