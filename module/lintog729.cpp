#include "module/lintog729.h"

#include <cstring>

#include "dsp/frame.h"
#include "module/sample_frames.h"
#include "module/translator.h"

namespace tarnel::module {
namespace {

hvn_translator g_descriptor = make_translator(
    "lintog729", "slin", "g729",
    {lintog729_new, lintog729_framein, lintog729_frameout, lintog729_destroy, lintog729_sample},
    sizeof(lintog729_pvt));

// One frame-out drains at most a full input buffer: 100 frames, far inside the output buffer.
static_assert(kBufferSamples / kFrame * kSpeechFrameBytes <= kBufferBytes,
              "a full input buffer encodes into the output buffer");

lintog729_pvt* state_of(hvn_trans_pvt* pvt) { return static_cast<lintog729_pvt*>(pvt->pvt); }

}  // namespace

hvn_translator* lintog729_translator() noexcept { return &g_descriptor; }

int lintog729_new(hvn_trans_pvt* pvt) noexcept {
    g729_encoder_init(&state_of(pvt)->encoder);
    return 0;
}

int lintog729_framein(hvn_trans_pvt* pvt, hvn_frame* f) noexcept {
    lintog729_pvt* st = state_of(pvt);
    const int held = pvt->samples;
    const int n = f->samples;
    // Compared as room left so that no sample count, however large, can overflow the sum.
    if (n > kBufferSamples - held) {
        TARNEL_WARNING("lintog729_framein", "Out of buffer space\n");
        return -1;
    }
    // A negative count carries nothing to copy; it is treated like an empty frame.
    if (n <= 0) return 0;
    std::memcpy(st->buf + held, f->data, static_cast<size_t>(n) * sizeof(int16_t));
    pvt->samples = held + n;
    return 0;
}

hvn_frame* lintog729_frameout(hvn_trans_pvt* pvt) noexcept {
    lintog729_pvt* st = state_of(pvt);
    if (pvt->samples < kFrame) return nullptr;
    int k = 0;
    do {
        // Every block codes to exactly one speech frame; the reported length adds nothing.
        int len = 0;
        g729_encode_frame(&st->encoder, st->buf + k * kFrame,
                          pvt->outbuf.uc + k * kSpeechFrameBytes, &len);
        pvt->samples -= kFrame;
        ++k;
    } while (pvt->samples >= kFrame);
    if (pvt->samples > 0)
        std::memmove(st->buf, st->buf + k * kFrame,
                     static_cast<size_t>(pvt->samples) * sizeof(int16_t));
    // The sample counter keeps the count of samples still waiting; the host must leave it so.
    return hvn_trans_frameout(pvt, k * kSpeechFrameBytes, k * kFrame);
}

void lintog729_destroy(hvn_trans_pvt*) noexcept {
    // The state lives in the host-allocated private area and holds nothing else.
}

}  // namespace tarnel::module
