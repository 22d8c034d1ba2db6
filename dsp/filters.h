// Order-10 synthesis and residual filters, bandwidth expansion and vector helpers.
#pragma once

#include <cstddef>
#include <cstring>

#include "dsp/frame.h"

namespace tarnel {

// Recursive filter memories below this magnitude are stored as exactly 0.0, so that they
// never decay for ever through denormal-sized values.
constexpr double flush_threshold = 2e-5;

// Memory of a second-order section: x1, x2, y1, y2.
constexpr int kBiquadMemory = 4;

// y = x filtered by 1/A(z), n <= 40. mem[9] is y[-1] ... mem[0] is y[-10]. y may alias x,
// and mem may lie inside x or y. With update set, mem takes the last 10 outputs (flushed).
void synthesis_filter(const double* a, const double* x, double* y, int n, double* mem, bool update);

// Two unrelated synthesis filters run side by side: each job gives exactly the result of
// synthesis_filter(a, x, y, n, mem, update) on its own. The recursions are latency-bound,
// so the second one costs next to nothing. A job's y is either its x or does not overlap
// it, its mem may lie inside either, and no job may read what another writes.
struct synthesis_job {
    const double* a;
    const double* x;
    double* y;
    double* mem;
    bool update;
};
void synthesis_filter_pair(const synthesis_job& first, const synthesis_job& second, int n);

// Four such jobs side by side, in one lane quad where the processor has AVX, otherwise two
// lane pairs in one loop.
void synthesis_filter_quad(const synthesis_job* jobs, int n);

// mem[j] = tail[j], stored as 0.0 below the flush threshold.
void update_synthesis_memory(const double* tail, double* mem);

// y = x filtered by A(z); reads x[-10..-1] from the caller's buffer. y must not overlap x.
void residual_filter(const double* a, const double* x, double* y, int n);

// gamma^i for i = 1..10, formed by repeated multiplication. Built in constant expressions,
// where the products round exactly as they would at run time, so that bandwidth expansion
// is one multiplication per coefficient.
struct lp_weights {
    double power[kLpSize];  // power[0] = 1
};

constexpr lp_weights lp_weights_for(double gamma) {
    lp_weights w{};
    w.power[0] = 1.0;
    double f = gamma;
    for (int i = 1; i < kLpSize; ++i) {
        w.power[i] = f;
        f = f * gamma;
    }
    return w;
}

// ap[i] = a[i] * gamma^i, i = 0..10.
inline void weight_lp(const double* a, double* ap, const lp_weights& w) {
    ap[0] = a[0];
    for (int i = 1; i < kLpSize; ++i) ap[i] = a[i] * w.power[i];
}

// Copy that is safe for overlapping moves in either direction. Inline, so that the copies of
// known length become plain loads and stores.
inline void copy_vector(const double* src, double* dst, int n) {
    if (n > 0) std::memmove(dst, src, static_cast<size_t>(n) * sizeof(double));
}

inline void zero_vector(double* v, int n) {
    for (int i = 0; i < n; ++i) v[i] = 0.0;
}

}  // namespace tarnel
