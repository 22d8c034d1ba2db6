// The codec module loaded into the stand-in host, exactly as the telephony host loads it, for
// the length of one command.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hvn_host.h"

namespace tarnel::driver {

constexpr const char* kModuleFileName = "codec_tarnel.so";

// The directory of the running executable, without a trailing slash; empty if that is unknown.
std::string executable_directory();

// Host log lines written while it exists. The module explains a refusal only in the log; the
// tool quotes that explanation in its own one-line report rather than letting it reach
// stderr as a second line with no file name.
class host_log {
public:
    host_log();
    ~host_log();
    host_log(const host_log&) = delete;
    host_log& operator=(const host_log&) = delete;

    // The messages logged since the last call, joined by "; ", trailing newlines removed.
    std::string take();

private:
    static void sink(const hvn_log_record* record, void* self);
    std::mutex lock_;
    std::vector<std::string> messages_;
};

class module_session {
public:
    // Loads `path` (codec_tarnel.so beside the executable when empty). On failure returns null
    // and sets `error` to a sentence naming the file and the reason.
    static std::unique_ptr<module_session> open(const std::string& path, std::string* error);
    // Unloads the module; whatever the host logs while unloading reaches stderr as usual.
    ~module_session();

    module_session(const module_session&) = delete;
    module_session& operator=(const module_session&) = delete;

    hvn_module* module() const { return module_; }
    const std::string& path() const { return path_; }
    // The host log while the module is loaded.
    host_log& log() { return *log_; }

private:
    module_session(hvn_module* module, std::string path);
    hvn_module* module_;
    std::string path_;
    std::unique_ptr<host_log> log_;
};

}  // namespace tarnel::driver
