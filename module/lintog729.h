// Encoder translator: linear PCM in host frames of any length, G.729 speech frames out.
#pragma once

#include <cstdint>

#include "codec/encoder.h"
#include "hvn_translate.h"
#include "module/translator.h"

namespace tarnel::module {

// The translator's private area.
struct lintog729_pvt {
    g729_encoder_state encoder;
    int16_t buf[kBufferSamples];  // input waiting for frame-out, oldest sample first
};
static_assert(sizeof(lintog729_pvt) == sizeof(g729_encoder_state) + kBufferBytes,
              "the private area is the encoder state followed by the input buffer, unpadded");

hvn_translator* lintog729_translator() noexcept;

int lintog729_new(hvn_trans_pvt* pvt) noexcept;
int lintog729_framein(hvn_trans_pvt* pvt, hvn_frame* f) noexcept;
hvn_frame* lintog729_frameout(hvn_trans_pvt* pvt) noexcept;
void lintog729_destroy(hvn_trans_pvt* pvt) noexcept;

}  // namespace tarnel::module
