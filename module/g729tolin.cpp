#include "module/g729tolin.h"

#include <cstdint>

#include "dsp/frame.h"
#include "module/module_log.h"
#include "module/sample_frames.h"
#include "module/translator_descriptor.h"

namespace tarnel_module {
namespace {

constexpr hvn_translator make_descriptor() {
    hvn_translator t{};
    copy_name(t.name, "g729tolin");
    t.src_codec = audio_codec("g729");
    t.dst_codec = audio_codec("slin");
    copy_name(t.format, "slin");
    t.newpvt = g729tolin_new;
    t.framein = g729tolin_framein;
    t.frameout = nullptr;  // the host's default frame-out hands on the counted samples
    t.destroy = g729tolin_destroy;
    t.sample = g729tolin_sample;
    t.buffer_samples = kOutputBufferSamples;
    t.buf_size = kOutputBufferBytes;
    t.desc_size = sizeof(g729tolin_pvt);
    return t;
}

hvn_translator g_descriptor = make_descriptor();

static_assert(kDecoderOutputSamples * sizeof(int16_t) == kOutputBufferBytes,
              "the output buffer holds exactly the decoder's sample capacity");

// A unit is decoded only while a whole frame still fits behind the waiting samples.
constexpr int kLastFrameStart = kDecoderOutputSamples - tarnel::kFrame;

}  // namespace

hvn_translator* g729tolin_translator() noexcept { return &g_descriptor; }

int g729tolin_new(hvn_trans_pvt* pvt) noexcept {
    tarnel::g729_decoder_init(&static_cast<g729tolin_pvt*>(pvt->pvt)->decoder);
    return 0;
}

int g729tolin_framein(hvn_trans_pvt* pvt, hvn_frame* f) noexcept {
    auto* st = static_cast<g729tolin_pvt*>(pvt->pvt);
    const auto* payload = static_cast<const uint8_t*>(f->data);
    int remaining = f->datalen;
    int position = 0;
    while (remaining >= 1) {
        // A SID frame is only ever the last thing in a payload, so two bytes count as one only
        // when they are all that is left.
        int unit;
        if (remaining >= tarnel::kSpeechFrameBytes) {
            unit = tarnel::kSpeechFrameBytes;
        } else if (remaining == tarnel::kSidFrameBytes) {
            unit = tarnel::kSidFrameBytes;
        } else {
            TARNEL_WARNING("g729tolin_framein", "Invalid data (%d bytes at the end)\n", remaining);
            return -1;
        }
        if (pvt->samples > kLastFrameStart) {
            TARNEL_WARNING("g729tolin_framein", "Out of buffer space\n");
            return -1;
        }
        // The unit sizes here are the only two the decoder takes, so it cannot refuse them.
        tarnel::g729_decode_frame(&st->decoder, pvt->outbuf.i16 + pvt->samples, payload + position,
                                  unit);
        pvt->samples += tarnel::kFrame;
        pvt->datalen += tarnel::kFrame * static_cast<int>(sizeof(int16_t));
        remaining -= unit;
        position += unit;
    }
    return 0;
}

void g729tolin_destroy(hvn_trans_pvt*) noexcept {
    // The state lives in the host-allocated private area and holds nothing else.
}

}  // namespace tarnel_module
