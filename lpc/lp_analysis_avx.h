// The autocorrelation's bulk, shared by the plain variant (lane pairs) and the AVX variant
// (lane quads, see dsp/wide_lanes.h).
#pragma once

#include "dsp/frame.h"
#include "dsp/lanes.h"

namespace tarnel {

// Lags summed side by side by each variant.
constexpr int kPairedAutocorrelationLags = 14;
constexpr int kWideAutocorrelationLags = 16;

// head[k] = sum over j < common of y[j] y[j + k] for the Lags leading lags, each in order of
// j, where common = 240 - Lags + 1 is how many terms the longest of them has; returns common.
template <typename V, int Lags>
__attribute__((always_inline)) inline int autocorrelation_head(const double* y, double* head) {
    constexpr int kLanes = kLanesOf<V>;
    constexpr int kGroups = Lags / kLanes;
    constexpr int kCommon = kAnalysisWindow - Lags + 1;
    V acc[kGroups];
    for (V& a : acc) splat_lanes(a, 0.0);
    for (int j = 0; j < kCommon; ++j) {
        V yj;
        splat_lanes(yj, y[j]);
#pragma GCC unroll 8
        for (int g = 0; g < kGroups; ++g) {
            V yk;
            load_lanes(yk, y + j + kLanes * g);
            acc[g] += yj * yk;
        }
    }
    for (int g = 0; g < kGroups; ++g) store_lanes(head + kLanes * g, acc[g]);
    return kCommon;
}

// The AVX instance, for wide_lanes() only.
int autocorrelation_head_avx(const double* y, double* head);

}  // namespace tarnel
