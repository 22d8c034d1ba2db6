#include "driver/module_session.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnel::driver {

std::string executable_directory() {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    std::string dir(exe, static_cast<size_t>(n));
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return {};
    dir.resize(slash);
    return dir;
}

host_log::host_log() { hvn_log_set_sink(&host_log::sink, this); }

host_log::~host_log() { hvn_log_set_sink(nullptr, nullptr); }

void host_log::sink(const hvn_log_record* record, void* self) {
    auto* log = static_cast<host_log*>(self);
    std::string message = record->message ? record->message : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    std::lock_guard<std::mutex> guard(log->lock_);
    log->messages_.push_back(std::move(message));
}

std::string host_log::take() {
    std::lock_guard<std::mutex> guard(lock_);
    std::string joined;
    for (const std::string& m : messages_) {
        if (!joined.empty()) joined += "; ";
        joined += m;
    }
    messages_.clear();
    return joined;
}

std::unique_ptr<module_session> module_session::open(const std::string& requested,
                                                     std::string* error) {
    std::string path = requested;
    if (path.empty()) {
        const std::string dir = executable_directory();
        if (!dir.empty()) path = dir + "/" + kModuleFileName;
    }
    // Without a slash the loader would search the library path instead of the current
    // directory, which is not what a file name on the command line means.
    if (!path.empty() && path.find('/') == std::string::npos) path = "./" + path;
    if (path.empty()) {
        *error =
            "cannot find the module: the executable's directory is unknown (use --module PATH)";
        return nullptr;
    }
    // The loader's own message for a missing file is long and names the loader; say it plainly.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *error = "cannot load module '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    char why[512];
    hvn_module* mod = hvn_load_module(path.c_str(), why, sizeof why);
    if (!mod) {
        *error = "cannot load module '" + path + "': " + why;
        return nullptr;
    }
    return std::unique_ptr<module_session>(new module_session(mod, path));
}

module_session::module_session(hvn_module* module, std::string path)
    : module_(module), path_(std::move(path)), log_(new host_log) {}

module_session::~module_session() {
    log_.reset();
    // Nothing useful can be done about a refusal here: the process is finishing with it.
    hvn_unload_module(module_, nullptr, 0);
}

}  // namespace tarnel::driver
