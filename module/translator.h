// What the two translators share: their buffer sizes, the build-time construction of their
// descriptors, and the way their warnings reach the host log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dsp/frame.h"
#include "hvn_logger.h"
#include "hvn_translate.h"

namespace tarnel::module {

// One second of audio: the encoder's input buffer, and the output buffer the host allocates for
// every instance of either translator.
constexpr int kBufferSamples = kSampleRate;
constexpr int kBufferBytes = kBufferSamples * static_cast<int>(sizeof(int16_t));

// The operations the host calls on a translator's instances.
struct translator_operations {
    int (*newpvt)(hvn_trans_pvt* pvt);
    int (*framein)(hvn_trans_pvt* pvt, hvn_frame* f);
    hvn_frame* (*frameout)(hvn_trans_pvt* pvt);  // null: the host's default frame-out
    void (*destroy)(hvn_trans_pvt* pvt);
    hvn_frame* (*sample)();
};

template <std::size_t N>
constexpr void copy_name(char (&dst)[N], const char* src) {
    std::size_t i = 0;
    for (; i + 1 < N && src[i] != '\0'; ++i) dst[i] = src[i];
    for (; i < N; ++i) dst[i] = '\0';
}

// A codec record as the translation core matches it: name, media type and rate, nothing else.
constexpr hvn_codec audio_codec(const char* name) {
    hvn_codec c{};
    c.name = name;
    c.type = HVN_MEDIA_AUDIO;
    c.sample_rate = kSampleRate;
    return c;
}

// A descriptor from `src` to `dst`, whose frames come out in the `dst` format. Descriptors are
// constant-initialised from this, so the host never sees a half-built one however early it looks.
constexpr hvn_translator make_translator(const char* name, const char* src, const char* dst,
                                         const translator_operations& ops,
                                         std::size_t private_size) {
    hvn_translator t{};
    copy_name(t.name, name);
    t.src_codec = audio_codec(src);
    t.dst_codec = audio_codec(dst);
    copy_name(t.format, dst);
    t.newpvt = ops.newpvt;
    t.framein = ops.framein;
    t.frameout = ops.frameout;
    t.destroy = ops.destroy;
    t.sample = ops.sample;
    t.buffer_samples = kBufferSamples;
    t.buf_size = kBufferBytes;
    t.desc_size = static_cast<int>(private_size);
    return t;
}

}  // namespace tarnel::module

// The host log names a file; operators know this module by its name, not by our source layout.
#define TARNEL_WARNING(operation, ...) \
    hvn_log(HVN_LOG_WARNING, "codec_tarnel", __LINE__, operation, __VA_ARGS__)
