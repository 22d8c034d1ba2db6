// What the translator targets share: the module loaded into the stand-in host once per run, its
// warnings counted (so that every call can be checked for exactly the warnings it owes), and the
// frames a channel hands to an instance.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "hvn_host.h"

namespace tarnel::test {

inline int g_warnings = 0;  // host log lines so far

// Loads the module as the host would; there is nothing to fuzz without it.
inline void load_module_counting_warnings() {
    char error[512] = "";
    if (!hvn_load_module(TARNEL_MODULE_PATH, error, sizeof error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", TARNEL_MODULE_PATH, error);
        std::abort();
    }
    hvn_log_set_sink([](const hvn_log_record*, void*) { ++g_warnings; }, nullptr);
}

// A voice frame of `format` over `data`, as a channel would hand it to an instance.
inline hvn_frame voice_frame(const char* format, void* data, int datalen, int samples) {
    hvn_frame f{};
    f.frametype = HVN_FRAME_VOICE;
    f.format = hvn_format_find(format);
    f.datalen = datalen;
    f.samples = samples;
    f.src = "fuzz";
    f.data = data;
    return f;
}

}  // namespace tarnel::test
