// tarnel cli: types one console command into the host and shows what the module printed.
#include <string>
#include <vector>

#include "hvn_host.h"
#include "tools/cmd_args.h"
#include "tools/command.h"

namespace tarnel::tool {
namespace {

const char* const kHelp =
    "Usage: tarnel cli [OPTIONS] [--] COMMAND...\n"
    "\n"
    "Loads the module and runs COMMAND on the host console, as if typed there; the command's\n"
    "output is printed as it was written. Several arguments are joined with spaces, so\n"
    "  tarnel cli \"g729 show version\"   and   tarnel cli g729 show version\n"
    "are the same.\n"
    "\n"
    "Options:\n" TARNEL_COMMON_OPTIONS_HELP;

int run_cli(context& ctx, const std::vector<std::string>& args) {
    const arg_parser parser(ctx, "cli");
    std::string line;
    bool words_only = false;
    for (const std::string& a : args) {
        if (!words_only && a == "--") {
            words_only = true;
            continue;
        }
        if (!words_only && !a.empty() && a[0] == '-')
            return parser.usage_error("unknown option '" + a + "'");
        if (!line.empty()) line += ' ';
        line += a;
    }
    if (line.find_first_not_of(" \t") == std::string::npos)
        return parser.usage_error("missing console command");

    auto session = load_module(ctx);
    if (!session) return kExitFailure;
    switch (hvn_cli_command(ctx.io.out, line.c_str())) {
        case HVN_CLI_STATUS_OK:
            return kExitOk;
        case HVN_CLI_STATUS_NO_COMMAND:
            report_error(ctx.io.err, "cli: no such console command: '" + line + "'");
            return kExitFailure;
        case HVN_CLI_STATUS_USAGE:
            return kExitFailure;  // the console printed the command's usage
        default:
            report_error(ctx.io.err, "cli: console command failed: '" + line + "'");
            return kExitFailure;
    }
}

}  // namespace

const subcommand kCliCommand{"cli", "run a console command and print its output", kHelp, run_cli};

}  // namespace tarnel::tool
