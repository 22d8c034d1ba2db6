// What every subcommand provides, and what it is handed.
#pragma once

#include <string>
#include <vector>

#include "tools/tool.h"

namespace tarnel_tool {

struct Context {
    Io io;
    std::string module_path;  // empty: the module beside the executable
};

struct Subcommand {
    const char* name;
    const char* summary;  // one line, for the program's help
    const char* help;     // the subcommand's full help text
    // Runs with the arguments after the subcommand's name, common options already removed.
    int (*run)(Context& ctx, const std::vector<std::string>& args);
};

// The subcommands, in the order the program's help lists them. Each lives in its own file.
const Subcommand& encode_subcommand();
const Subcommand& decode_subcommand();
const Subcommand& transcode_subcommand();
const Subcommand& bench_subcommand();
const Subcommand& cli_subcommand();
const Subcommand& modinfo_subcommand();

const std::vector<const Subcommand*>& all_subcommands();

}  // namespace tarnel_tool
