// The excitation update of a subframe, and the bound on what the pitch feedback loop can
// build up in it.
#pragma once

#include "dsp/frame.h"

namespace tarnel {

// Pitch gains up to 1.356 with lags down to 19 let a hostile stream grow the excitation by
// a factor of about 3.4 per frame, which would reach infinity within seconds and then poison
// every memory with NaN. Speech never comes near this bound: full-scale square waves and
// clipped speech stay below 7e4. Clamping here keeps every state value finite and lets a
// decoder recover from such a stream as soon as valid frames return, and it leaves the output
// of every ordinary stream untouched.
constexpr double kExcitationLimit = 1e6;

inline void limit_excitation(double* exc, int n) {
    for (int i = 0; i < n; ++i) {
        if (exc[i] > kExcitationLimit) exc[i] = kExcitationLimit;
        if (exc[i] < -kExcitationLimit) exc[i] = -kExcitationLimit;
    }
}

// exc[0..39] = gp exc + gc code, bounded. Encoder and decoder both build their excitation
// here, so that they stay in step.
inline void mix_excitation(double* exc, double gp, double gc, const double* code) {
    for (int n = 0; n < kSubframe; ++n) exc[n] = gp * exc[n] + gc * code[n];
    limit_excitation(exc, kSubframe);
}

}  // namespace tarnel
