// The module loaded into the stand-in host for the length of one subcommand.
#pragma once

#include <memory>
#include <string>

#include "hvn_host.h"

namespace tarnel_tool {

constexpr const char* kModuleFileName = "codec_tarnel.so";

// codec_tarnel.so in the directory of the running executable; empty if that is unknown.
std::string default_module_path();

class ModuleSession {
public:
    // Loads `path` (the default when empty). On failure returns null and sets `error` to a
    // sentence naming the file and the reason.
    static std::unique_ptr<ModuleSession> open(const std::string& path, std::string* error);
    ~ModuleSession();  // unloads the module

    ModuleSession(const ModuleSession&) = delete;
    ModuleSession& operator=(const ModuleSession&) = delete;

    hvn_module* module() const { return module_; }
    const std::string& path() const { return path_; }

private:
    ModuleSession(hvn_module* module, std::string path) : module_(module), path_(std::move(path)) {}
    hvn_module* module_;
    std::string path_;
};

}  // namespace tarnel_tool
