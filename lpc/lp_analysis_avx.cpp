#include "lpc/lp_analysis_avx.h"

#include "dsp/frame.h"
#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE int autocorrelation_head_avx(const double* y, double* head) {
    constexpr int common = kAnalysisWindow - kWideAutocorrelationLags + 1;
    lane4 a0 = splat4(0.0), a1 = a0, a2 = a0, a3 = a0;
    for (int j = 0; j < common; ++j) {
        const lane4 yj = splat4(y[j]);
        const double* yk = y + j;
        a0 += yj * load4(yk);
        a1 += yj * load4(yk + 4);
        a2 += yj * load4(yk + 8);
        a3 += yj * load4(yk + 12);
    }
    store4(head, a0);
    store4(head + 4, a1);
    store4(head + 8, a2);
    store4(head + 12, a3);
    return common;
}

TARNEL_WIDE void autocorrelation_tails_avx(const double* y, const double* head, int m, double* r) {
    // Four neighbouring lags k = 4g + w to a quad, lane w, take the terms all of them still
    // have side by side; the shorter lags' last few terms follow one at a time.
    constexpr int common = kAnalysisWindow - kWideAutocorrelationLags + 1;
    for (int g = 0; 4 * g <= m && 4 * g < kWideAutocorrelationLags; ++g) {
        const int k0 = 4 * g;
        const int shared_end = kAnalysisWindow - (k0 + 3);  // j < this for every lane
        lane4 a = load4(head + k0);
        for (int j = common; j < shared_end; ++j) a += splat4(y[j]) * load4(y + j + k0);
        double s[4];
        store4(s, a);
        for (int w = 0; w < 4 && k0 + w <= m; ++w) {
            const int k = k0 + w;
            for (int j = shared_end; j < kAnalysisWindow - k; ++j) s[w] += y[j] * y[j + k];
            r[k] = s[w];
        }
    }
}

#else

int autocorrelation_head_avx(const double*, double*) { return 0; }
void autocorrelation_tails_avx(const double*, const double*, int, double*) {}

#endif

}  // namespace tarnel
