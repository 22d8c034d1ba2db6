// What the host's own components share with one another; not part of any public interface.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

#include "hvn_host.h"

// The host's record of a registered module descriptor.
struct hvn_module {
    uint64_t serial = 0;              // identifies the record even after it is gone
    hvn_module_info* info = nullptr;  // the descriptor, inside the module's image
    void* handle = nullptr;           // from dlopen; null for a module the host did not map
    std::string path;
    bool loaded = false;  // the load entry succeeded
    int instances = 0;    // live translator instances of this module's translators
};

namespace hvn {

// One lock for every registry. Recursive, because module entries run under it and call back
// into the host (registration from load, unregistration from unload and destructors).
std::recursive_mutex& registry_lock();

// The module whose lifecycle entry is running on this thread, or null.
hvn_module* module_in_entry();

// Drop whatever the module left registered; each removal is logged. Returns how many.
int drop_module_translators(hvn_module* mod);
int drop_module_cli_entries(hvn_module* mod);

// The warning for one item a module left registered; `what` says what kind of item it is.
void warn_left_registered(const hvn_module* mod, const char* what, const char* name);

// Tells the test hook, if one is installed, of an unregistration call. Called under the lock.
void note_unregistration(const char* kind, const char* name);

// Erases the items of a registry that `pick` chooses, asking it once per item in order (so it
// may log and unmark what it picks). Returns how many.
template <class List, class Pick>
int erase_picked(List& list, Pick pick) {
    const auto kept_end = std::remove_if(list.begin(), list.end(), pick);
    const auto dropped = list.end() - kept_end;
    list.erase(kept_end, list.end());
    return static_cast<int>(dropped);
}

// Writes all of `text` to `fd`, retrying short writes; false on error.
bool write_all(int fd, const char* text, size_t length);

// vsnprintf into a string; empty on failure.
std::string vformat(const char* fmt, va_list ap);

}  // namespace hvn
