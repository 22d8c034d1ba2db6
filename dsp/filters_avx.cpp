#include "dsp/filters_avx.h"

#include "dsp/recursion.h"
#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE void synthesis_filter_quad_avx(const synthesis_job* jobs, int count, int n) {
    // One lane per job, each taking the scalar filter's steps in the scalar order; unused
    // lanes filter zeros. Inputs are gathered up front and outputs scattered at the end (see
    // synthesis_filter_pair).
    if (n > kSubframe) n = kSubframe;
    double mem[4][kOrder] = {};
    double a[kLpSize][4] = {};
    double in[kSubframe][4] = {};
    for (int l = 0; l < count; ++l) {
        for (int j = 0; j < kOrder; ++j) mem[l][j] = jobs[l].mem[j];
        for (int k = 1; k <= kOrder; ++k) a[k][l] = jobs[l].a[k];
        for (int i = 0; i < n; ++i) in[i][l] = jobs[l].x[i];
    }
    lane4 coef[kLpSize];
    for (int k = 1; k <= kOrder; ++k) coef[k] = load4(a[k]);
    lane4 past[kOrder];
    for (int j = 0; j < kOrder; ++j)
        past[j] = lane4{mem[0][9 - j], mem[1][9 - j], mem[2][9 - j], mem[3][9 - j]};
    double out[kSubframe][4];
    for (int i = 0; i < n; ++i) {
        lane4 s = load4(in[i]);
        synthesis_step(s, coef, past);
        store4(out[i], s);
    }
    for (int l = 0; l < count; ++l) {
        for (int i = 0; i < n; ++i) jobs[l].y[i] = out[i][l];
        if (!jobs[l].update) continue;
        double tail[kOrder];
        for (int j = 0; j < kOrder; ++j) tail[j] = past[kOrder - 1 - j][l];
        update_synthesis_memory(tail, jobs[l].mem);
    }
}

#else

void synthesis_filter_quad_avx(const synthesis_job*, int, int) {}

#endif

}  // namespace tarnel
