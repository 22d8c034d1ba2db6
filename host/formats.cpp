// The host's format objects.
#include <cstring>

#include "dsp/frame.h"
#include "host_internal.h"

namespace {

// Two generations, so that a renewal hands out objects at new addresses without allocating;
// code that cached an old pointer still reads valid memory.
constexpr hvn_format kSlin{"slin", HVN_MEDIA_AUDIO, tarnel::kSampleRate};
constexpr hvn_format kG729{"g729", HVN_MEDIA_AUDIO, tarnel::kSampleRate};
hvn_format g_formats[2][2] = {{kSlin, kG729}, {kSlin, kG729}};
int g_generation = 0;

}  // namespace

extern "C" {

hvn_format* hvn_format_slin = &g_formats[0][0];
hvn_format* hvn_format_g729 = &g_formats[0][1];

hvn_format* hvn_format_find(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    for (hvn_format* f : {hvn_format_slin, hvn_format_g729})
        if (std::strcmp(f->name, name) == 0) return f;
    return nullptr;
}

void hvn_format_renew(void) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    g_generation ^= 1;
    hvn_format_slin = &g_formats[g_generation][0];
    hvn_format_g729 = &g_formats[g_generation][1];
}

}  // extern "C"
