#include "tools/module_session.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnel_tool {

std::string default_module_path() {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    std::string dir(exe, static_cast<size_t>(n));
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return {};
    dir.resize(slash);
    return dir + "/" + kModuleFileName;
}

std::unique_ptr<ModuleSession> ModuleSession::open(const std::string& requested, std::string* error) {
    std::string path = requested.empty() ? default_module_path() : requested;
    // Without a slash the loader would search the library path instead of the current
    // directory, which is not what a file name on the command line means.
    if (!path.empty() && path.find('/') == std::string::npos) path = "./" + path;
    if (path.empty()) {
        *error = "cannot find the module: the executable's directory is unknown (use --module PATH)";
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
    return std::unique_ptr<ModuleSession>(new ModuleSession(mod, path));
}

ModuleSession::~ModuleSession() {
    // Nothing useful can be done about a refusal here: the process is finishing with it.
    hvn_unload_module(module_, nullptr, 0);
}

}  // namespace tarnel_tool
