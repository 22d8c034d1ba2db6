#include "lpc/filters_avx.h"

#include "lpc/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

namespace {

// synthesis_step of recursion.h on a lane quad, compiled for AVX.
TARNEL_WIDE_INLINE lane4 synthesis_step4(lane4 s, const lane4* a, lane4* past) {
#pragma GCC unroll 10
    for (int k = 1; k <= 10; ++k) s -= a[k] * past[k - 1];
#pragma GCC unroll 9
    for (int k = 9; k >= 1; --k) past[k] = past[k - 1];
    past[0] = s;
    return s;
}

}  // namespace

TARNEL_WIDE void synthesis_filter_quad_avx(const synthesis_job* jobs, int count, int n) {
    // One lane per job, each taking the scalar filter's steps in the scalar order; unused
    // lanes filter zeros. Inputs are gathered up front and outputs scattered at the end (see
    // synthesis_filter_pair).
    if (n > 40) n = 40;
    double mem[4][10] = {};
    double a[11][4] = {};
    double in[40][4] = {};
    for (int l = 0; l < count; ++l) {
        for (int j = 0; j < 10; ++j) mem[l][j] = jobs[l].mem[j];
        for (int k = 1; k <= 10; ++k) a[k][l] = jobs[l].a[k];
        for (int i = 0; i < n; ++i) in[i][l] = jobs[l].x[i];
    }
    lane4 coef[11];
    for (int k = 1; k <= 10; ++k) coef[k] = load4(a[k]);
    lane4 past[10];
    for (int j = 0; j < 10; ++j)
        past[j] = lane4{mem[0][9 - j], mem[1][9 - j], mem[2][9 - j], mem[3][9 - j]};
    double out[40][4];
    for (int i = 0; i < n; ++i) store4(out[i], synthesis_step4(load4(in[i]), coef, past));
    for (int l = 0; l < count; ++l) {
        for (int i = 0; i < n; ++i) jobs[l].y[i] = out[i][l];
        if (!jobs[l].update) continue;
        double tail[10];
        for (int j = 0; j < 10; ++j) tail[j] = past[9 - j][l];
        update_synthesis_memory(tail, jobs[l].mem);
    }
}

#else

void synthesis_filter_quad_avx(const synthesis_job*, int, int) {}

#endif

}  // namespace tarnel
