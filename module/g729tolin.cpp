#include "module/g729tolin.h"

#include <cstdint>

#include "dsp/frame.h"
#include "module/sample_frames.h"
#include "module/translator.h"

namespace tarnel::module {
namespace {

// No frame-out: the host's default one hands on the counted samples.
hvn_translator g_descriptor = make_translator(
    "g729tolin", "g729", "slin",
    {g729tolin_new, g729tolin_framein, nullptr, g729tolin_destroy, g729tolin_sample},
    sizeof(g729tolin_pvt));

// A unit is decoded only while a whole frame still fits behind the waiting samples.
constexpr int kLastFrameStart = kBufferSamples - kFrame;

}  // namespace

hvn_translator* g729tolin_translator() noexcept { return &g_descriptor; }

int g729tolin_new(hvn_trans_pvt* pvt) noexcept {
    g729_decoder_init(&static_cast<g729tolin_pvt*>(pvt->pvt)->decoder);
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
        if (remaining >= kSpeechFrameBytes) {
            unit = kSpeechFrameBytes;
        } else if (remaining == kSidFrameBytes) {
            unit = kSidFrameBytes;
        } else {
            TARNEL_WARNING("g729tolin_framein", "Invalid data (%d bytes at the end)\n", remaining);
            return -1;
        }
        if (pvt->samples > kLastFrameStart) {
            TARNEL_WARNING("g729tolin_framein", "Out of buffer space\n");
            return -1;
        }
        // The unit sizes here are the only two the decoder takes, so it cannot refuse them.
        g729_decode_frame(&st->decoder, pvt->outbuf.i16 + pvt->samples, payload + position, unit);
        pvt->samples += kFrame;
        pvt->datalen += kFrame * static_cast<int>(sizeof(int16_t));
        remaining -= unit;
        position += unit;
    }
    return 0;
}

void g729tolin_destroy(hvn_trans_pvt*) noexcept {
    // The state lives in the host-allocated private area and holds nothing else.
}

}  // namespace tarnel::module
