// Module registry and loader: maps a module's shared object, whose constructor registers the
// descriptor, then runs the descriptor's lifecycle entries.
#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "host_internal.h"

namespace {

using module_list = std::vector<std::unique_ptr<hvn_module>>;

module_list& registry() {
    static auto* modules = new module_list;  // outlives static destruction, see registry_lock()
    return *modules;
}

uint64_t g_next_serial = 1;

// Collects the descriptor that a shared object registers while dlopen runs its constructors.
struct load_context {
    hvn_module* registered = nullptr;
    int descriptors = 0;
};
thread_local load_context* t_loading = nullptr;
thread_local hvn_module* t_in_entry = nullptr;

// Marks a module's lifecycle entry as running, so that what it registers is attributed to it.
class entry_scope {
public:
    explicit entry_scope(hvn_module* mod) : previous_(t_in_entry) { t_in_entry = mod; }
    ~entry_scope() { t_in_entry = previous_; }
    entry_scope(const entry_scope&) = delete;
    entry_scope& operator=(const entry_scope&) = delete;

private:
    hvn_module* previous_;
};

void set_error(char* error, size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void set_error(char* error, size_t size, const char* fmt, ...) {
    if (!error || size == 0) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(error, size, fmt, ap);
    va_end(ap);
}

module_list::iterator find_serial(uint64_t serial) {
    return std::find_if(
        registry().begin(), registry().end(),
        [serial](const std::unique_ptr<hvn_module>& m) { return m->serial == serial; });
}

bool is_registered(const hvn_module* mod) {
    return std::any_of(registry().begin(), registry().end(),
                       [mod](const std::unique_ptr<hvn_module>& m) { return m.get() == mod; });
}

// Unmaps the module. Its destructor normally unregisters the descriptor; a module without one
// leaves a record pointing into unmapped memory, which goes here.
void unmap(hvn_module* mod) {
    const uint64_t serial = mod->serial;
    void* handle = mod->handle;
    mod->handle = nullptr;
    mod->loaded = false;
    if (handle) dlclose(handle);
    auto it = find_serial(serial);
    if (it != registry().end()) registry().erase(it);
}

// Whether a freshly mapped module may run its load entry; if not, says why in `error`.
bool acceptable(const hvn_module* mod, int descriptors, char* error, size_t error_size) {
    const hvn_module_info* info = mod->info;
    if (descriptors != 1) {
        set_error(error, error_size, "registered %d module descriptors, expected one", descriptors);
        return false;
    }
    if (!info->name || !*info->name || !info->load) {
        set_error(error, error_size, "module descriptor lacks a name or a load entry");
        return false;
    }
    for (const auto& m : registry()) {
        if (m.get() != mod && m->loaded && m->info && m->info->name &&
            std::strcmp(m->info->name, info->name) == 0) {
            set_error(error, error_size, "a module named '%s' is already loaded", info->name);
            return false;
        }
    }
    return true;
}

void drop_leftovers(hvn_module* mod) {
    hvn::drop_module_translators(mod);
    hvn::drop_module_cli_entries(mod);
}

}  // namespace

namespace hvn {

hvn_module* module_in_entry() { return t_in_entry; }

}  // namespace hvn

extern "C" {

void hvn_module_register(hvn_module_info* info) {
    if (!info) return;
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    for (const auto& m : registry())
        if (m->info == info) return;
    try {
        auto rec = std::make_unique<hvn_module>();
        rec->serial = g_next_serial++;
        rec->info = info;
        info->self = rec.get();
        if (t_loading) {
            ++t_loading->descriptors;
            if (!t_loading->registered) t_loading->registered = rec.get();
        }
        registry().push_back(std::move(rec));
    } catch (...) {
        hvn_log(HVN_LOG_ERROR, __FILE__, __LINE__, __func__,
                "Out of memory registering module '%s'\n", info->name ? info->name : "");
    }
}

void hvn_module_unregister(hvn_module_info* info) {
    if (!info) return;
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    auto it =
        std::find_if(registry().begin(), registry().end(),
                     [info](const std::unique_ptr<hvn_module>& m) { return m->info == info; });
    if (it == registry().end()) return;
    if (info->self == it->get()) info->self = nullptr;
    registry().erase(it);
}

hvn_module* hvn_load_module(const char* path, char* error, size_t error_size) {
    set_error(error, error_size, "%s", "");
    if (!path || !*path) {
        set_error(error, error_size, "no module file given");
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());

    load_context ctx;
    load_context* const outer = t_loading;
    t_loading = &ctx;
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    t_loading = outer;
    if (!handle) {
        const char* why = dlerror();
        set_error(error, error_size, "%s", why ? why : "cannot be mapped");
        return nullptr;
    }
    if (!ctx.registered) {
        const bool already = std::any_of(
            registry().begin(), registry().end(),
            [handle](const std::unique_ptr<hvn_module>& m) { return m->handle == handle; });
        dlclose(handle);
        set_error(error, error_size, "%s",
                  already ? "module is already loaded"
                          : "no module descriptor was registered (not a module)");
        return nullptr;
    }
    hvn_module* mod = ctx.registered;
    mod->handle = handle;
    mod->path = path;
    const hvn_module_info* info = mod->info;
    if (!acceptable(mod, ctx.descriptors, error, error_size)) {
        unmap(mod);
        return nullptr;
    }

    int result;
    {
        entry_scope scope(mod);
        result = info->load();
    }
    if (result != 0) {
        set_error(error, error_size, "load entry of '%s' failed (result %d)", info->name, result);
        drop_leftovers(mod);
        unmap(mod);
        return nullptr;
    }
    mod->loaded = true;
    return mod;
}

int hvn_reload_module(hvn_module* mod) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    if (!mod || !is_registered(mod) || !mod->loaded) return -1;
    if (!mod->info->reload) return 0;
    entry_scope scope(mod);
    return mod->info->reload();
}

int hvn_unload_module(hvn_module* mod, char* error, size_t error_size) {
    set_error(error, error_size, "%s", "");
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    if (!mod || !is_registered(mod) || !mod->loaded) {
        set_error(error, error_size, "module is not loaded");
        return -1;
    }
    if (mod->instances > 0) {
        set_error(error, error_size, "module '%s' is in use by %d translator instance(s)",
                  mod->info->name, mod->instances);
        return -1;
    }
    int result = 0;
    if (mod->info->unload) {
        entry_scope scope(mod);
        result = mod->info->unload();
    }
    drop_leftovers(mod);
    unmap(mod);
    return result;
}

hvn_module* hvn_module_find(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    for (const auto& m : registry())
        if (m->info && m->info->name && std::strcmp(m->info->name, name) == 0) return m.get();
    return nullptr;
}

const hvn_module_info* hvn_module_get_info(const hvn_module* mod) {
    return mod ? mod->info : nullptr;
}

const char* hvn_module_get_path(const hvn_module* mod) { return mod ? mod->path.c_str() : ""; }

size_t hvn_module_count(void) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    return registry().size();
}

int hvn_module_instance_count(const hvn_module* mod) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    return mod ? mod->instances : 0;
}

}  // extern "C"
