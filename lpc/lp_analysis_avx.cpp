#include "lpc/lp_analysis_avx.h"

#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE int autocorrelation_head_avx(const double* y, double* head) {
    return autocorrelation_head<lane4, kWideAutocorrelationLags>(y, head);
}

#else

int autocorrelation_head_avx(const double*, double*) { return 0; }

#endif

}  // namespace tarnel
