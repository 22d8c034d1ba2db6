// Console command registry and dispatch.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "host_internal.h"

namespace {

struct registered_command {
    hvn_cli_entry* entry;
    std::vector<std::string> words;
};

std::vector<registered_command>& registry() {
    static auto* commands = new std::vector<registered_command>;  // see registry_lock()
    return *commands;
}

// Result of the next registration call when a test has armed a failure; 0 otherwise.
int g_cli_failure = 0;

std::vector<std::string> split_words(const char* text) {
    std::vector<std::string> words;
    std::istringstream in(text ? text : "");
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

bool register_one(hvn_cli_entry* e) {
    if (!e || !e->handler) return false;
    for (const registered_command& c : registry())
        if (c.entry == e) return false;
    e->handler(e, HVN_CLI_INIT, nullptr);
    std::vector<std::string> words = split_words(e->command);
    if (words.empty()) return false;
    for (const registered_command& c : registry())
        if (c.words == words) return false;
    registry().push_back(registered_command{e, std::move(words)});
    e->module = hvn::module_in_entry();
    e->registered = 1;
    return true;
}

}  // namespace

namespace hvn {

int drop_module_cli_entries(hvn_module* mod) {
    std::lock_guard<std::recursive_mutex> guard(registry_lock());
    return erase_picked(registry(), [mod](const registered_command& c) {
        if (c.entry->module != mod) return false;
        warn_left_registered(mod, "console command", c.entry->command);
        c.entry->registered = 0;
        return true;
    });
}

}  // namespace hvn

extern "C" {

int hvn_cli_register_multiple(hvn_cli_entry* entries, int len) {
    if (!entries || len < 0) return -1;
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    if (const int injected = g_cli_failure) {
        g_cli_failure = 0;
        return injected;
    }
    int failed = 0;
    for (int i = 0; i < len; ++i) {
        try {
            if (!register_one(&entries[i])) ++failed;
        } catch (...) {
            ++failed;
        }
    }
    return failed ? -1 : 0;
}

int hvn_cli_unregister_multiple(hvn_cli_entry* entries, int len) {
    if (!entries || len < 0) return -1;
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    int missing = 0;
    auto& list = registry();
    for (int i = 0; i < len; ++i) {
        hvn_cli_entry* e = &entries[i];
        hvn::note_unregistration("console", e->command);
        auto it = std::find_if(list.begin(), list.end(),
                               [e](const registered_command& c) { return c.entry == e; });
        if (it == list.end()) {
            ++missing;
            continue;
        }
        list.erase(it);
        e->registered = 0;
    }
    return missing ? -1 : 0;
}

void hvn_test_fail_cli_registration(int result) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    g_cli_failure = result;
}

void hvn_cli(int fd, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = hvn::vformat(fmt, ap);
    va_end(ap);
    hvn::write_all(fd, text.data(), text.size());
}

int hvn_cli_command(int fd, const char* line) {
    try {
        const std::vector<std::string> typed = split_words(line);
        std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
        const registered_command* best = nullptr;
        for (const registered_command& c : registry()) {
            if (c.words.size() > typed.size()) continue;
            if (!std::equal(c.words.begin(), c.words.end(), typed.begin())) continue;
            if (!best || c.words.size() > best->words.size()) best = &c;
        }
        if (!best) return HVN_CLI_STATUS_NO_COMMAND;
        std::vector<const char*> argv;
        for (const std::string& w : typed) argv.push_back(w.c_str());
        argv.push_back(nullptr);
        hvn_cli_args args{fd, static_cast<int>(typed.size()), argv.data(), line, "", 0, 0};
        hvn_cli_entry* e = best->entry;
        char* result = e->handler(e, HVN_CLI_HANDLER, &args);
        if (!result) return HVN_CLI_STATUS_OK;
        if (result == HVN_CLI_SHOWUSAGE) {
            if (e->usage) hvn_cli(fd, "%s", e->usage);
            return HVN_CLI_STATUS_USAGE;
        }
        return HVN_CLI_STATUS_FAILED;
    } catch (...) {
        return HVN_CLI_STATUS_FAILED;
    }
}

hvn_cli_entry* hvn_cli_find(const char* command) {
    try {
        const std::vector<std::string> words = split_words(command);
        std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
        for (const registered_command& c : registry())
            if (c.words == words) return c.entry;
    } catch (...) {
    }
    return nullptr;
}

size_t hvn_cli_list(hvn_cli_entry** out, size_t max) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    const auto& list = registry();
    for (size_t i = 0; out && i < max && i < list.size(); ++i) out[i] = list[i].entry;
    return list.size();
}

}  // extern "C"
