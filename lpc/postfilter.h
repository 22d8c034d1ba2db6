// Decoder output stage: reduced-complexity adaptive post-filter and output high-pass filter.
#pragma once

#include "lpc/filters.h"

namespace tarnel {

struct postfilter_state {
    double residual[183];  // 143 past residual samples, then the current subframe's 40
    double syn_mem[10];    // memory of the short-term post-filter 1/A(z/0.7)
    double tilt_mem;       // last long-term-filtered residual sample of the previous subframe
    double past_gain;      // gain-control level at the end of the previous subframe
};

void postfilter_init(postfilter_state* st);

// syn points at the frame's 80 synthesised samples; syn[-10..-1] holds the previous frame's
// last 10 unfiltered samples. On return syn[0..79] is post-filtered and syn[-10..-1] holds
// this frame's last 10 unfiltered samples. active == 1 enables the long-term post-filter.
void postfilter(postfilter_state* st, double* syn, const double* a_sub, const int* lags,
                int active);

// The same post-filter in stages, for a caller that overlaps the short-term synthesis of one
// subframe with other work; postfilter() is exactly these stages in order:
//   postfilter_plan_frame; for s = 0, 1: postfilter_shape(s); then for s = 0, 1: the
//   synthesis job of postfilter_synthesis(s), then postfilter_agc; finally postfilter_finish.
struct postfilter_plan {
    double ap3[2][11];  // A(z/0.55) of each subframe
    double ap4[2][11];  // A(z/0.7) of each subframe
    double tilt[2];     // tilt compensation factor of each subframe
};
void postfilter_plan_frame(const double* a_sub, postfilter_plan* plan);

// The same plan, with `other` (an unrelated 40-sample synthesis job) run side by side with
// the plan's own recursions where the processor has the lanes for it.
void postfilter_plan_frame_beside(const double* a_sub, postfilter_plan* plan,
                                  const synthesis_job& other);

// Residual, long-term filter and tilt compensation of subframe s of the frame at syn:
// writes p, the input of the subframe's short-term synthesis. Subframe 0 must be shaped
// before subframe 1; neither depends on the synthesis.
void postfilter_shape(postfilter_state* st, const postfilter_plan& plan, const double* syn,
                      int s, int lag, int active, double* p);

// The short-term synthesis of subframe s from its shaped input p into out[0..39].
synthesis_job postfilter_synthesis(postfilter_state* st, const postfilter_plan& plan, int s,
                                   const double* p, double* out);

// Saves the frame's unfiltered tail to syn[-10..-1] and puts the filtered frame out[0..79]
// in its place.
void postfilter_finish(double* syn, const double* out);

// res: 40 samples with 143 of history before them; writes p[0..39].
void pitch_postfilter(const double* res, int t0_min, int t0_max, double* p);

// In place on p[0..39] with factor k; mem carries p[39] of the previous subframe.
void tilt_compensation(double* p, double k, double* mem);

// Scales out[0..39] towards the energy of x[0..39]; past_gain carries across subframes.
void postfilter_agc(double* past_gain, double* out, const double* x);

// state: x1, x2, y1, y2. Filters n samples in place.
void postprocess(double* state, double* signal, int n);

// Exactly synthesis_filter on the job (n <= 40 samples) and postprocess(state, signal, n),
// interleaved; signal must not overlap the job's buffers.
void synthesis_beside_postprocess(const synthesis_job& job, double* state, double* signal,
                                  int n);

}  // namespace tarnel
