// Decoder output stage: reduced-complexity adaptive post-filter and output high-pass filter.
#pragma once

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

// res: 40 samples with 143 of history before them; writes p[0..39].
void pitch_postfilter(const double* res, int t0_min, int t0_max, double* p);

// In place on p[0..39] with factor k; mem carries p[39] of the previous subframe.
void tilt_compensation(double* p, double k, double* mem);

// Scales out[0..39] towards the energy of x[0..39]; past_gain carries across subframes.
void postfilter_agc(double* past_gain, double* out, const double* x);

// state: x1, x2, y1, y2. Filters n samples in place.
void postprocess(double* state, double* signal, int n);

}  // namespace tarnel
