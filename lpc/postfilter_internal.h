// Stages of the post-filter that its overlapped variant shares, and that only the tests call
// directly otherwise.
#pragma once

#include "dsp/frame.h"
#include "lpc/postfilter.h"

namespace tarnel {

constexpr double kTiltFactor = 0.8;
constexpr double kAgcFactor = 0.9;
// Kept as the subtraction: the ramp uses 1 - 0.9 as rounded in double precision
// (0.09999999999999998), not 0.1.
constexpr double kAgcComplement = 1.0 - kAgcFactor;
// Samples of the impulse response of A(z/0.55)/A(z/0.7) that the tilt is measured on.
constexpr int kImpulseLength = 22;

struct postfilter_plan {
    double ap3[kSubframes][kLpSize];  // A(z/0.55) of each subframe
    double ap4[kSubframes][kLpSize];  // A(z/0.7) of each subframe
    double tilt[kSubframes];          // tilt compensation factor of each subframe
};

// Fills plan->ap3 and plan->ap4 (not the tilt) from the frame's two LP vectors.
void postfilter_weights(const double* a_sub, postfilter_plan* plan);

// Tilt compensation factor from the impulse response's energy r0 and first correlation r1;
// only a positive (low-pass) tilt is compensated.
inline double tilt_factor(double r0, double r1) {
    return r1 <= 0.0 ? 0.0 : (r1 * kTiltFactor) / r0;
}

// Candidate lags of the pitch post-filter around a subframe's lag: always seven.
void pitch_postfilter_range(int lag, int* t0_min, int* t0_max);

// res: 40 samples with 143 of history before them; writes p[0..39].
void pitch_postfilter(const double* res, int t0_min, int t0_max, double* p);

// The second half of pitch_postfilter, once its sums are known: corr[k] and energy[k] for
// the lag t0_min + k, ener0 the residual's own energy. Chooses the lag and filters res into p.
void pitch_postfilter_apply(const double* res, int t0_min, int t0_max, const double* corr,
                            const double* energy, double ener0, double* p);

// In place on p[0..39] with factor k; mem carries p[39] of the previous subframe.
void tilt_compensation(double* p, double k, double* mem);

// Scales out[0..39] towards the energy of x[0..39]; past_gain carries across subframes.
void postfilter_agc(double* past_gain, double* out, const double* x);

// The ramp's target from the energies of a subframe's filtered (e_out) and unfiltered (e_in)
// samples. False when the filtered subframe is silent: it stays unscaled and the ramp
// restarts from nothing.
bool agc_target(double e_out, double e_in, double* g0);

// One step of the output high-pass on its memory x1, x2, y1, y2.
__attribute__((always_inline)) inline double high_pass_step(double x0, double& x1, double& x2,
                                                            double& y1, double& y2) {
    const double y =
        1.9330735 * y1 - 0.93589199 * y2 + 0.93980581 * x0 - 1.8795834 * x1 + 0.93980581 * x2;
    x2 = x1;
    x1 = x0;
    y2 = y1;
    y1 = y;
    return y;
}

}  // namespace tarnel
