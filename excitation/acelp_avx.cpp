#include "excitation/acelp_avx.h"

#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE void correlation_rows_avx(const double* hp, double* run) {
    // Every lag's sum stays in a register from row to row; lanes past the triangle sum
    // products of the zero padding and are never read.
    lane4 acc[10];
    for (lane4& a : acc) a = splat4(0.0);
    for (int m = 0; m < kSubframe; ++m) {
        const lane4 hm = splat4(hp[m]);
#pragma GCC unroll 10
        for (int g = 0; g < 10; ++g) {
            acc[g] += hm * load4(hp + m + 4 * g);
            store4(run + (m + 1) * kSubframe + 4 * g, acc[g]);
        }
    }
}

#else

void correlation_rows_avx(const double*, double*) {}

#endif

}  // namespace tarnel
