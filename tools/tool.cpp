#include "tools/tool.h"

#include <string>
#include <vector>

#include "tools/output.h"
#include "tools/subcommand.h"

namespace tarnel_tool {
namespace {

const char* const kModuleOptionHelp =
    "  --module PATH   the module to load (default: codec_tarnel.so beside this program)\n"
    "  -h, --help      show this help\n";

std::string program_help() {
    std::string text =
        "Usage: tarnel [--module PATH] SUBCOMMAND [ARGS...]\n"
        "\n"
        "Loads the G.729 codec module into a stand-in telephony host and drives it through\n"
        "the host's interfaces.\n"
        "\n"
        "Subcommands:\n";
    for (const Subcommand* s : all_subcommands()) {
        std::string name = s->name;
        name.resize(12, ' ');
        text += "  " + name + s->summary + "\n";
    }
    text += "\nOptions:\n";
    text += kModuleOptionHelp;
    text += "\nRun 'tarnel SUBCOMMAND --help' for a subcommand's own help.\n";
    return text;
}

const Subcommand* find_subcommand(const std::string& name) {
    for (const Subcommand* s : all_subcommands())
        if (name == s->name) return s;
    return nullptr;
}

std::string try_help(const Subcommand* s) {
    return s ? std::string("(try 'tarnel ") + s->name + " --help')" : "(try 'tarnel --help')";
}

enum class OptionResult { NotOption, Taken, Help, Error };

// Recognises the options every subcommand shares, at args[i]; advances i past what it takes.
OptionResult take_common_option(const std::vector<std::string>& args, size_t& i, Context& ctx,
                                const Subcommand* s) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") return OptionResult::Help;
    if (a == "--module") {
        if (i + 1 >= args.size()) {
            report_error(ctx.io.err, "option '--module' needs a file " + try_help(s));
            return OptionResult::Error;
        }
        ctx.module_path = args[++i];
        return OptionResult::Taken;
    }
    if (a.compare(0, 9, "--module=") == 0) {
        ctx.module_path = a.substr(9);
        return OptionResult::Taken;
    }
    return OptionResult::NotOption;
}

}  // namespace

const std::vector<const Subcommand*>& all_subcommands() {
    static const std::vector<const Subcommand*> list = {
        &encode_subcommand(), &decode_subcommand(), &transcode_subcommand(),
        &bench_subcommand(),  &cli_subcommand(),    &modinfo_subcommand()};
    return list;
}

int run(int argc, const char* const* argv, Io io) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");

    Context ctx{io, {}};
    size_t i = 0;
    // Options before the subcommand.
    for (; i < args.size() && !args[i].empty() && args[i][0] == '-'; ++i) {
        switch (take_common_option(args, i, ctx, nullptr)) {
        case OptionResult::Help:
            write_text(io.out, program_help());
            return kExitOk;
        case OptionResult::Error:
            return kExitUsage;
        case OptionResult::Taken:
            continue;
        case OptionResult::NotOption:
            report_error(io.err, "unknown option '" + args[i] + "' " + try_help(nullptr));
            return kExitUsage;
        }
    }
    if (i >= args.size()) {
        report_error(io.err, "missing subcommand " + try_help(nullptr));
        return kExitUsage;
    }

    std::string name = args[i++];
    if (name == "help") {
        // "tarnel help [SUBCOMMAND]" reads more naturally than the option for some.
        if (i >= args.size()) {
            write_text(io.out, program_help());
            return kExitOk;
        }
        name = args[i];
        const Subcommand* s = find_subcommand(name);
        if (!s) {
            report_error(io.err, "unknown subcommand '" + name + "' " + try_help(nullptr));
            return kExitUsage;
        }
        write_text(io.out, s->help);
        return kExitOk;
    }
    const Subcommand* s = find_subcommand(name);
    if (!s) {
        report_error(io.err, "unknown subcommand '" + name + "' " + try_help(nullptr));
        return kExitUsage;
    }

    // The shared options may also follow the subcommand, up to a "--".
    std::vector<std::string> rest;
    for (; i < args.size(); ++i) {
        if (args[i] == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<long>(i), args.end());
            break;
        }
        switch (take_common_option(args, i, ctx, s)) {
        case OptionResult::Help:
            write_text(io.out, s->help);
            return kExitOk;
        case OptionResult::Error:
            return kExitUsage;
        case OptionResult::Taken:
            continue;
        case OptionResult::NotOption:
            rest.push_back(args[i]);
            continue;
        }
    }
    return s->run(ctx, rest);
}

}  // namespace tarnel_tool
