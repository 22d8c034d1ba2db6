// Decoder output stage: reduced-complexity adaptive post-filter and output high-pass filter.
#pragma once

#include "dsp/filters.h"
#include "dsp/frame.h"

namespace tarnel {

struct postfilter_state {
    double residual[kPitchMax + kSubframe];  // 143 past residual samples, then the subframe's 40
    double syn_mem[kOrder];                  // memory of the short-term post-filter 1/A(z/0.7)
    double syn_tail[kOrder];  // the previous frame's last 10 samples, before post-filtering
    double tilt_mem;          // last long-term-filtered residual sample of the previous subframe
    double past_gain;         // gain-control level at the end of the previous subframe
};
constexpr int kPostfilterStateDoubles = (kPitchMax + kSubframe) + kOrder + kOrder + 1 + 1;
static_assert(sizeof(postfilter_state) == kPostfilterStateDoubles * sizeof(double),
              "postfilter_state is the listed doubles");

void postfilter_init(postfilter_state* st);

// Post-filters the frame's 80 synthesised samples in place. pitch_stage enables the
// long-term post-filter (speech frames).
void postfilter(postfilter_state* st, double* syn, const double* a_sub, const int* lags,
                bool pitch_stage);

// state: x1, x2, y1, y2. Filters n samples in place.
void postprocess(double* state, double* signal, int n);

}  // namespace tarnel
