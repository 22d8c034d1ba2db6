// A careless module: its load entry registers a translator and a console command that its
// unload entry forgets, and allocates a block that only one of its own globals points to and
// nothing ever frees. Once the host has unloaded and unmapped it, the host must have removed
// (and reported) what it left registered, and the block is unreachable. The host test loads it
// to prove both, so that a clean unload of the real module, and a clean leak check of its load
// cycles, mean something.
#include <cstdlib>
#include <cstring>

#include "hvn_cli.h"
#include "hvn_module.h"
#include "hvn_translate.h"

namespace {

// volatile: a pointer that is only ever written would otherwise not be stored at all.
void* volatile g_lost = nullptr;

int take_anything(hvn_trans_pvt*, hvn_frame*) { return 0; }

// Only registered from the load entry, long after the object's initialisation is complete.
hvn_translator make_translator() {
    hvn_translator t{};
    std::strcpy(t.name, "leaky");
    std::strcpy(t.format, "slin");
    t.src_codec.name = "slin";
    t.dst_codec.name = "slin";
    t.framein = take_anything;
    return t;
}
hvn_translator g_translator = make_translator();

char* show(hvn_cli_entry* e, int cmd, hvn_cli_args*) {
    if (cmd == HVN_CLI_INIT) e->command = "leaky show";
    return nullptr;
}
hvn_cli_entry g_command[] = {{nullptr, nullptr, nullptr, show, nullptr, 0}};

int load();
int unload() { return 0; }

// Constant-initialised, so that it is complete before the constructor below hands it over.
constexpr hvn_module_info make_info() {
    hvn_module_info m{};
    m.load = load;
    m.unload = unload;
    m.name = "leaky_fixture";
    m.flags = HVN_MODFLAG_DEFAULT;
    return m;
}
hvn_module_info g_info = make_info();

int load() {
    g_lost = std::malloc(4096);
    hvn_cli_register_multiple(g_command, 1);
    return g_lost ? __hvn_register_translator(&g_translator, g_info.self) : -1;
}

#ifdef TARNEL_FIXTURE_TWO_DESCRIPTORS
// Built a second time as an object that registers two descriptors, which no loader may take.
hvn_module_info g_second = make_info();
#endif

__attribute__((constructor)) void register_module() {
    hvn_module_register(&g_info);
#ifdef TARNEL_FIXTURE_TWO_DESCRIPTORS
    hvn_module_register(&g_second);
#endif
}
__attribute__((destructor)) void unregister_module() {
    hvn_module_unregister(&g_info);
#ifdef TARNEL_FIXTURE_TWO_DESCRIPTORS
    hvn_module_unregister(&g_second);
#endif
}

}  // namespace
