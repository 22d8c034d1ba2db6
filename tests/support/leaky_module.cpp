// A module that loses memory on purpose: its load entry allocates a block that only one of its
// own globals points to, and nothing ever frees it. Once the host has unloaded and unmapped the
// module, that block is unreachable. The lifecycle test loads it to prove that the leak check
// still sees what a module loses after its object is gone, so that a clean check of the real
// module means something.
#include <cstdlib>

#include "hvn_module.h"

namespace {

// volatile: a pointer that is only ever written would otherwise not be stored at all.
void* volatile g_lost = nullptr;

int load() {
    g_lost = std::malloc(4096);
    return g_lost ? 0 : -1;
}

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

__attribute__((constructor)) void register_module() { hvn_module_register(&g_info); }
__attribute__((destructor)) void unregister_module() { hvn_module_unregister(&g_info); }

}  // namespace
