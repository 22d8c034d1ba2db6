// Decoder translator: G.729 payloads in, linear PCM out through the host's default frame-out.
#pragma once

#include "codec/decoder.h"
#include "hvn_translate.h"

namespace tarnel::module {

// The translator's private area.
struct g729tolin_pvt {
    g729_decoder_state decoder;
};
static_assert(sizeof(g729tolin_pvt) == sizeof(g729_decoder_state),
              "the private area is the decoder state alone");

hvn_translator* g729tolin_translator() noexcept;

int g729tolin_new(hvn_trans_pvt* pvt) noexcept;
int g729tolin_framein(hvn_trans_pvt* pvt, hvn_frame* f) noexcept;
void g729tolin_destroy(hvn_trans_pvt* pvt) noexcept;

}  // namespace tarnel::module
