// tarnel modinfo: what the module registered with the host.
#include <string>
#include <vector>

#include "hvn_host.h"
#include "tools/cmd_args.h"
#include "tools/command.h"

namespace tarnel::tool {
namespace {

const char* const kHelp =
    "Usage: tarnel modinfo [OPTIONS]\n"
    "\n"
    "Loads the module and lists its name, description and file, the translators it\n"
    "registered (name, source and destination codec, sample rate) and its console commands.\n"
    "\n"
    "Options:\n" TARNEL_COMMON_OPTIONS_HELP;

std::string padded(std::string text, size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text + " ";
}

const char* support_level_name(int level) {
    switch (level) {
        case HVN_MODULE_SUPPORT_CORE:
            return "core";
        case HVN_MODULE_SUPPORT_EXTENDED:
            return "extended";
        case HVN_MODULE_SUPPORT_DEPRECATED:
            return "deprecated";
        default:
            return "unknown";
    }
}

template <typename T>
std::vector<T*> listed(size_t (*list)(T**, size_t)) {
    std::vector<T*> items(list(nullptr, 0));
    items.resize(list(items.data(), items.size()));
    return items;
}

int run_modinfo(context& ctx, const std::vector<std::string>& args) {
    if (!args.empty())
        return arg_parser(ctx, "modinfo").usage_error("unexpected argument '" + args.front() + "'");
    auto session = load_module(ctx);
    if (!session) return kExitFailure;
    hvn_module* mod = session->module();
    const hvn_module_info* info = hvn_module_get_info(mod);

    std::string text;
    text += "Module:        " + std::string(info->name) + "\n";
    text += "Description:   " + std::string(info->description ? info->description : "") + "\n";
    text += "File:          " + session->path() + "\n";
    text += "Load priority: " + std::to_string(info->load_pri) + "\n";
    text += "Support level: " + std::string(support_level_name(info->support_level)) + "\n";

    text += "Translators:\n";
    for (const hvn_translator* t : listed(hvn_translator_list)) {
        if (t->module != mod) continue;
        text += "  " + padded(t->name, 12) +
                padded(std::string(t->src_codec.name) + " -> " + t->dst_codec.name, 14) +
                std::to_string(t->src_codec.sample_rate) + " Hz\n";
    }
    text += "Console commands:\n";
    for (const hvn_cli_entry* e : listed(hvn_cli_list)) {
        if (e->module != mod) continue;
        text += "  " + padded(e->command, 20) + (e->summary ? e->summary : "") + "\n";
    }
    write_text(ctx.io.out, text);
    return kExitOk;
}

}  // namespace

const subcommand kModinfoCommand{"modinfo", "list what the module registers with the host", kHelp,
                                 run_modinfo};

}  // namespace tarnel::tool
