// The excitation update of a subframe, and the bound on what the pitch feedback loop can
// build up in it.
#pragma once

#include "dsp/frame.h"
#include "dsp/lanes.h"

namespace tarnel {

// Pitch gains up to 1.356 with lags down to 19 let a hostile stream grow the excitation by
// a factor of about 3.4 per frame, which would reach infinity within seconds and then poison
// every memory with NaN. Speech never comes near this bound: full-scale square waves and
// clipped speech stay below 7e4. Clamping here keeps every state value finite and lets a
// decoder recover from such a stream as soon as valid frames return, and it leaves the output
// of every ordinary stream untouched.
constexpr double kExcitationLimit = 1e6;

// exc[0..39] = gp exc + gc code, bounded: a value above the limit becomes the limit, then
// one below its negative the negative. Encoder and decoder both build their excitation here,
// so that they stay in step. Two samples at a time, the bounds as selects.
inline void mix_excitation(double* exc, double gp, double gc, const double* code) {
    const lane2 gps = splat2(gp), gcs = splat2(gc);
    const lane2 top = splat2(kExcitationLimit), bottom = splat2(-kExcitationLimit);
    for (int n = 0; n < kSubframe; n += 2) {
        const lane2 v = gps * load2(exc + n) + gcs * load2(code + n);
        const lane2 below_top = v > top ? top : v;
        store2(exc + n, below_top < bottom ? bottom : below_top);
    }
}

}  // namespace tarnel
