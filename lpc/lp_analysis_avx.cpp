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

#else

int autocorrelation_head_avx(const double*, double*) { return 0; }

#endif

}  // namespace tarnel
