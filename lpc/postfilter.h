// Decoder output stage: reduced-complexity adaptive post-filter and output high-pass filter.
#pragma once

#include "dsp/filters.h"
#include "dsp/frame.h"

namespace tarnel {

struct postfilter_state {
    double residual[kPitchMax + kSubframe];  // 143 past residual samples, then the subframe's 40
    double syn_mem[kOrder];   // memory of the short-term post-filter 1/A(z/0.7)
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

// The same post-filter in stages, for a caller that overlaps the short-term synthesis of one
// subframe with other work; postfilter() is exactly these stages in order:
//   plan the frame; for s = 0, 1: postfilter_shape(s); then for s = 0, 1: the synthesis job
//   of postfilter_synthesis(s), then postfilter_agc; finally postfilter_finish.
struct postfilter_plan {
    double ap3[kSubframes][kLpSize];  // A(z/0.55) of each subframe
    double ap4[kSubframes][kLpSize];  // A(z/0.7) of each subframe
    double tilt[kSubframes];          // tilt compensation factor of each subframe
};

// Plans the frame, with `other` (an unrelated 40-sample synthesis job) run side by side with
// the plan's own recursions where the processor has the lanes for it.
void postfilter_plan_frame_beside(const double* a_sub, postfilter_plan* plan,
                                  const synthesis_job& other);

// Residual, long-term filter and tilt compensation of subframe s of the frame at syn:
// writes p, the input of the subframe's short-term synthesis. Subframe 0 must be shaped
// before subframe 1; neither depends on the synthesis.
void postfilter_shape(postfilter_state* st, const postfilter_plan& plan, const double* syn,
                      int s, int lag, bool pitch_stage, double* p);

// The short-term synthesis of subframe s from its shaped input p into out[0..39].
synthesis_job postfilter_synthesis(postfilter_state* st, const postfilter_plan& plan, int s,
                                   const double* p, double* out);

// Scales out[0..39] towards the energy of x[0..39]; past_gain carries across subframes.
void postfilter_agc(double* past_gain, double* out, const double* x);

// Keeps the frame's unfiltered tail for the next frame's residual and puts the filtered frame
// out[0..79] in place of syn[0..79].
void postfilter_finish(postfilter_state* st, double* syn, const double* out);

// state: x1, x2, y1, y2. Filters n samples in place.
void postprocess(double* state, double* signal, int n);

// Exactly synthesis_filter on the job (n <= 40 samples) and postprocess(state, signal, n),
// interleaved; signal must not overlap the job's buffers.
void synthesis_beside_postprocess(const synthesis_job& job, double* state, double* signal,
                                  int n);

}  // namespace tarnel
