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

TARNEL_WIDE int residual_blocks_avx(const double* a, const double* x, double* y, int n) {
    // Outputs are independent sums: sixteen at a time where they fit, else eight.
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const double* xi = x + i;
        const lane4 a1 = splat4(a[1]);
        lane4 s0 = a1 * load4(xi - 1) + load4(xi);
        lane4 s1 = a1 * load4(xi + 3) + load4(xi + 4);
        lane4 s2 = a1 * load4(xi + 7) + load4(xi + 8);
        lane4 s3 = a1 * load4(xi + 11) + load4(xi + 12);
        for (int k = 2; k <= kOrder; ++k) {
            const lane4 ak = splat4(a[k]);
            s0 += ak * load4(xi - k);
            s1 += ak * load4(xi + 4 - k);
            s2 += ak * load4(xi + 8 - k);
            s3 += ak * load4(xi + 12 - k);
        }
        store4(y + i, s0);
        store4(y + i + 4, s1);
        store4(y + i + 8, s2);
        store4(y + i + 12, s3);
    }
    for (; i + 8 <= n; i += 8) {
        const double* xi = x + i;
        const lane4 a1 = splat4(a[1]);
        lane4 s0 = a1 * load4(xi - 1) + load4(xi);
        lane4 s1 = a1 * load4(xi + 3) + load4(xi + 4);
        for (int k = 2; k <= kOrder; ++k) {
            const lane4 ak = splat4(a[k]);
            s0 += ak * load4(xi - k);
            s1 += ak * load4(xi + 4 - k);
        }
        store4(y + i, s0);
        store4(y + i + 4, s1);
    }
    return i;
}

#else

void synthesis_filter_quad_avx(const synthesis_job*, int) {}
int residual_blocks_avx(const double*, const double*, double*, int) { return 0; }

#endif

}  // namespace tarnel
