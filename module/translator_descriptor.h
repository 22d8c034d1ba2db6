// Build-time construction of the translator descriptors: both are constant-initialised, so the
// host never sees a half-built descriptor however early it looks.
#pragma once

#include <cstddef>

#include "hvn_translate.h"

namespace tarnel_module {

constexpr int kSampleRate = 8000;
constexpr int kOutputBufferSamples = 8000;
constexpr int kOutputBufferBytes = 16000;

// A codec record as the translation core matches it: name, media type and rate, nothing else.
constexpr hvn_codec audio_codec(const char* name) {
    hvn_codec c{};
    c.name = name;
    c.type = HVN_MEDIA_AUDIO;
    c.sample_rate = kSampleRate;
    return c;
}

template <std::size_t N>
constexpr void copy_name(char (&dst)[N], const char* src) {
    std::size_t i = 0;
    for (; i + 1 < N && src[i] != '\0'; ++i) dst[i] = src[i];
    for (; i < N; ++i) dst[i] = '\0';
}

}  // namespace tarnel_module
