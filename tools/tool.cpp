#include "tools/tool.h"

#include <string>
#include <vector>

#include "hvn_host.h"
#include "tarnel_version.h"
#include "tools/command.h"

namespace tarnel::tool {
namespace {

// The console command through which the module states its version.
const char* const kModuleVersionCommand = "g729 show version";

std::string program_help() {
    std::string text =
        "Usage: tarnel [OPTIONS] SUBCOMMAND [ARGS...]\n"
        "\n"
        "Loads the G.729 codec module into a stand-in telephony host and drives it through\n"
        "the host's interfaces.\n"
        "\n"
        "Subcommands:\n";
    for (const subcommand* s : all_subcommands()) {
        std::string name = s->name;
        name.resize(12, ' ');
        text += "  " + name + s->summary + "\n";
    }
    text += "\nOptions (before or after the subcommand):\n";
    text += TARNEL_COMMON_OPTIONS_HELP;
    text += "\nRun 'tarnel SUBCOMMAND --help' for a subcommand's own help.\n";
    return text;
}

const subcommand* find_subcommand(const std::string& name) {
    for (const subcommand* s : all_subcommands())
        if (name == s->name) return s;
    return nullptr;
}

std::string try_help(const subcommand* s) {
    return s ? std::string("(try 'tarnel ") + s->name + " --help')" : "(try 'tarnel --help')";
}

// The program's version, then the module's own version line.
int show_version(const context& ctx) {
    write_text(ctx.io.out, "tarnel " TARNEL_VERSION_STRING "\n");
    auto session = load_module(ctx);
    if (!session) return kExitFailure;
    if (hvn_cli_command(ctx.io.out, kModuleVersionCommand) == HVN_CLI_STATUS_OK) return kExitOk;
    report_error(ctx.io.err,
                 std::string("the module did not answer '") + kModuleVersionCommand + "'");
    return kExitFailure;
}

// Takes the options every subcommand shares out of args from i on: before the subcommand (s
// null) up to its name; after it up to a "--", everything else going to *rest. -1 to go on,
// otherwise the exit status (help or version printed, or a usage error reported).
int take_common_options(const std::vector<std::string>& args, size_t& i, context& ctx,
                        const subcommand* s, std::vector<std::string>* rest) {
    bool version = false;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!s && (a.empty() || a[0] != '-')) break;
        if (s && a == "--") {
            rest->insert(rest->end(), args.begin() + static_cast<long>(i), args.end());
            break;
        }
        if (a == "-h" || a == "--help") {
            write_text(ctx.io.out, s ? s->help : program_help());
            return kExitOk;
        }
        if (a == "--module" && i + 1 >= args.size()) {
            report_error(ctx.io.err, "option '--module' needs a file " + try_help(s));
            return kExitUsage;
        }
        const std::string name = a.substr(0, a.find('='));
        if (name != a && (name == "--version" || name == "--quiet" || name == "--verbose")) {
            report_error(ctx.io.err, (s ? std::string(s->name) + ": " : std::string()) +
                                         "option '" + name + "' takes no value " + try_help(s));
            return kExitUsage;
        }
        if (a == "--version") {
            version = true;
        } else if (a == "-q" || a == "--quiet") {
            ctx.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            ctx.verbose = true;
        } else if (a == "--module") {
            ctx.module_path = args[++i];
        } else if (a.compare(0, 9, "--module=") == 0) {
            ctx.module_path = a.substr(9);
        } else if (s) {
            rest->push_back(a);
        } else {
            report_error(ctx.io.err, "unknown option '" + a + "' " + try_help(nullptr));
            return kExitUsage;
        }
    }
    return version ? show_version(ctx) : -1;
}

}  // namespace

int run(int argc, const char* const* argv, io_fds io) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");

    context ctx{io, {}};
    size_t i = 0;
    std::vector<std::string> rest;
    if (const int status = take_common_options(args, i, ctx, nullptr, &rest); status >= 0)
        return status;
    if (i >= args.size()) {
        report_error(io.err, "missing subcommand " + try_help(nullptr));
        return kExitUsage;
    }
    std::string name = args[i++];
    // "tarnel help [SUBCOMMAND]" reads more naturally than the option for some.
    const bool help = name == "help";
    if (help) {
        if (i >= args.size()) {
            write_text(io.out, program_help());
            return kExitOk;
        }
        name = args[i];
    }
    const subcommand* s = find_subcommand(name);
    if (!s) {
        report_error(io.err, "unknown subcommand '" + name + "' " + try_help(nullptr));
        return kExitUsage;
    }
    if (help) {
        write_text(io.out, s->help);
        return kExitOk;
    }
    if (const int status = take_common_options(args, i, ctx, s, &rest); status >= 0) return status;
    return s->run(ctx, rest);
}

}  // namespace tarnel::tool
