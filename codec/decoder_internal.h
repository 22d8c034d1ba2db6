// The decoder's reference path, for tests and benchmarks only.
#pragma once

#include "codec/decoder.h"

namespace tarnel {

// A frame through excitation and LP synthesis only, each stage run on its own: the plain
// sequence that g729_decode_frame overlaps for speech frames. g729_decode_frame is exactly
// this followed by postfilter(&st->postfilter, syn, a_sub, lags, frame type is speech) and
// postprocess(st->postprocess_state, syn, 80). Writes the frame's two LP vectors to a_sub
// and the lags the post-filter uses to lags.
void g729_synthesise_frame(g729_decoder_state* st, const g729_params* params, double* syn,
                           double* a_sub, int* lags, int* frame_type);

}  // namespace tarnel
