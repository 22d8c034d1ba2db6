#include "dsp/filters_avx.h"

#include "dsp/recursion.h"
#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE void synthesis_filter_quad_avx(const synthesis_job* jobs, int count, int n) {
    if (n > kSubframe) n = kSubframe;
    synthesis_side_by_side<lane4>(jobs, count, n);
}

#else

void synthesis_filter_quad_avx(const synthesis_job*, int, int) {}

#endif

}  // namespace tarnel
