// The order-10 synthesis recursion with the last ten outputs held in registers.
//
// Reading the previous output back from a buffer would add a store-to-load forwarding delay
// to every step of a recursion that is bound by its own latency. The step is the same for a
// single sum (double) and for lanes of independent sums.
#pragma once

#include "dsp/filters.h"
#include "dsp/frame.h"
#include "dsp/lanes.h"

namespace tarnel {

// past[0] is the newest output, past[9] the oldest. Turns s into
// s - a[1] past[0] - a[2] past[1] - ... - a[10] past[9], subtracted in that order, and
// shifts it into past.
template <typename V, typename C>
__attribute__((always_inline)) inline void synthesis_step(V& s, const C* a, V* past) {
#pragma GCC unroll 10
    for (int k = 1; k <= kOrder; ++k) s -= a[k] * past[k - 1];
#pragma GCC unroll 9
    for (int k = kOrder - 1; k >= 1; --k) past[k] = past[k - 1];
    past[0] = s;
}

// Up to one job per lane of V (1 <= count <= lanes, n <= 40), each lane taking the single
// filter's steps in its order; idle lanes filter zeros. Each input sample is read before its
// own output can overwrite it, as in the single filter, so all inputs are gathered up front
// and the outputs scattered at the end; a job's memory is read first and written last.
template <typename V>
__attribute__((always_inline)) inline void synthesis_side_by_side(const synthesis_job* jobs,
                                                                  int count, int n) {
    constexpr int kLanes = kLanesOf<V>;
    double a[kLpSize][kLanes];
    double mem[kOrder][kLanes];
    double io[kSubframe][kLanes];
    if (count < kLanes) {
        std::memset(a, 0, sizeof a);
        std::memset(mem, 0, sizeof mem);
        std::memset(io, 0, sizeof io);
    }
    for (int l = 0; l < count; ++l) {
        for (int k = 1; k <= kOrder; ++k) a[k][l] = jobs[l].a[k];
        for (int j = 0; j < kOrder; ++j) mem[j][l] = jobs[l].mem[kOrder - 1 - j];
        for (int i = 0; i < n; ++i) io[i][l] = jobs[l].x[i];
    }
    V coef[kLpSize];
    V past[kOrder];
    for (int k = 1; k <= kOrder; ++k) load_lanes(coef[k], a[k]);
    for (int j = 0; j < kOrder; ++j) load_lanes(past[j], mem[j]);
    for (int i = 0; i < n; ++i) {
        V s;
        load_lanes(s, io[i]);
        synthesis_step(s, coef, past);
        store_lanes(io[i], s);
    }
    for (int l = 0; l < count; ++l) {
        for (int i = 0; i < n; ++i) jobs[l].y[i] = io[i][l];
        if (!jobs[l].update) continue;
        double tail[kOrder];
        for (int j = 0; j < kOrder; ++j) tail[j] = past[kOrder - 1 - j][l];
        update_synthesis_memory(tail, jobs[l].mem);
    }
}

}  // namespace tarnel
