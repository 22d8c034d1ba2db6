// The module as the host sees it: descriptor, lifecycle entries and console command.
#include "hvn_cli.h"
#include "hvn_module.h"
#include "hvn_translate.h"
#include "module/g729tolin.h"
#include "module/lintog729.h"
#include "module/sample_frames.h"
#include "tarnel_version.h"

namespace tarnel::module {
namespace {

int load_module() noexcept;
int reload_module() noexcept;
int unload_module() noexcept;
char* handle_g729_show_version(hvn_cli_entry* e, int cmd, hvn_cli_args* a) noexcept;

constexpr hvn_module_info make_module_info() {
    hvn_module_info m{};
    m.load = load_module;
    m.reload = reload_module;
    m.unload = unload_module;
    m.name = "codec_tarnel";
    m.description = "Corvane G.729 Annex A Codec (optimized for x86_64";
    m.flags = HVN_MODFLAG_DEFAULT | HVN_MODFLAG_LOAD_ORDER;
    m.load_pri = 128;
    m.support_level = HVN_MODULE_SUPPORT_EXTENDED;
    return m;
}

hvn_module_info g_module_info = make_module_info();

constexpr hvn_cli_entry make_cli_entry() {
    hvn_cli_entry e{};
    e.summary = "Show G.729 Module Version";
    e.handler = handle_g729_show_version;
    return e;
}

hvn_cli_entry g_cli_entries[] = {make_cli_entry()};
constexpr int kCliEntryCount = sizeof g_cli_entries / sizeof g_cli_entries[0];

// The descriptor must reach the host before anything else runs: the host looks for it as soon
// as the object is mapped, and calls load_module only once it has it.
__attribute__((constructor)) void register_with_host() { hvn_module_register(&g_module_info); }

__attribute__((destructor)) void unregister_from_host() { hvn_module_unregister(&g_module_info); }

int unload_module() noexcept {
    hvn_unregister_translator(lintog729_translator());
    hvn_unregister_translator(g729tolin_translator());
    hvn_cli_unregister_multiple(g_cli_entries, kCliEntryCount);
    return 0;
}

int load_module() noexcept {
    stamp_sample_frames();
    hvn_cli_register_multiple(g_cli_entries, kCliEntryCount);
    // Both registrations are attempted even when the first fails, so the result reports both.
    const int decoder = __hvn_register_translator(g729tolin_translator(), g_module_info.self);
    const int encoder = __hvn_register_translator(lintog729_translator(), g_module_info.self);
    if (decoder == 0 && encoder == 0) return 0;
    // A half-registered codec is worse than none: undo everything, quietly.
    unload_module();
    return decoder | encoder;
}

int reload_module() noexcept {
    // Nothing is configurable, so there is nothing to reread.
    return 0;
}

char* handle_g729_show_version(hvn_cli_entry* e, int cmd, hvn_cli_args* a) noexcept {
    switch (cmd) {
        case HVN_CLI_INIT:
            e->command = "g729 show version";
            e->usage = "Usage: show g729 version\n       Displays G.729 module version\n";
            return nullptr;
        case HVN_CLI_GENERATE:
            return nullptr;
        default:
            // Words after the command are of no interest: there is one thing to show.
            if (a)
                hvn_cli(a->fd, "Corvane G.729A Module Version " TARNEL_VERSION_STRING
                               " (optimized for x86_64\n");
            return nullptr;
    }
}

}  // namespace
}  // namespace tarnel::module
