#include "dsp/filters_avx.h"

#include "dsp/recursion.h"
#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE void synthesis_filter_quad_avx(const synthesis_job* jobs, int n) {
    // One lane per job, each taking the scalar filter's steps in the scalar order; lanes are
    // built from registers and taken apart into the outputs step by step.
    lane4 a[kLpSize];
    for (int k = 1; k <= kOrder; ++k)
        a[k] = lane4{jobs[0].a[k], jobs[1].a[k], jobs[2].a[k], jobs[3].a[k]};
    lane4 past[kOrder];
    for (int j = 0; j < kOrder; ++j) {
        const int m = kOrder - 1 - j;
        past[j] = lane4{jobs[0].mem[m], jobs[1].mem[m], jobs[2].mem[m], jobs[3].mem[m]};
    }
    for (int i = 0; i < n; ++i) {
        lane4 s{jobs[0].x[i], jobs[1].x[i], jobs[2].x[i], jobs[3].x[i]};
        synthesis_step(s, a, past);
        for (int l = 0; l < 4; ++l) jobs[l].y[i] = s[l];
    }
    for (int l = 0; l < 4; ++l) {
        if (!jobs[l].update) continue;
        double tail[kOrder];
        for (int j = 0; j < kOrder; ++j) tail[j] = past[kOrder - 1 - j][l];
        update_synthesis_memory(tail, jobs[l].mem);
    }
}

#else

void synthesis_filter_quad_avx(const synthesis_job*, int) {}

#endif

}  // namespace tarnel
