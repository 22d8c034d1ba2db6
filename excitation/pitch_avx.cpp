#include "excitation/pitch_avx.h"

#include "dsp/frame.h"
#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE int lag_blocks_avx(const double* wsp, int n, const double* base, int stride,
                               int count, double* r) {
    return lag_blocks<lane4>(wsp, n, base, stride, count, r);
}

TARNEL_WIDE int interpolation_blocks_avx(double* exc, int base, const double* c1,
                                         const double* c2, int n) {
    return interpolation_blocks<lane4>(exc, base, c1, c2, n);
}

namespace {

// Outputs a + 3, ..., a of the target correlation (lanes in that order) after the terms
// j < a + 3: output a + k starts at j = a + k, so these first terms go one output at a time.
TARNEL_WIDE_INLINE lane4 correlation_quad_head(const double* h, const double* x, int a) {
    double s[4] = {0.0, 0.0, 0.0, 0.0};  // s[k]: output a + k
    for (int j = a; j < a + 3; ++j)
        for (int k = 0; k <= j - a; ++k) s[k] += x[j] * h[j - a - k];
    return lane4{s[3], s[2], s[1], s[0]};
}

}  // namespace

TARNEL_WIDE void target_correlation_avx(const double* h, const double* x, double* d) {
    // Eight outputs at a time as two quads; the second joins once it has started.
    for (int i = 0; i < kSubframe; i += 8) {
        lane4 a0 = correlation_quad_head(h, x, i);
        for (int j = i + 3; j < i + 7; ++j) a0 += splat4(x[j]) * load4(h + j - i - 3);
        lane4 a1 = correlation_quad_head(h, x, i + 4);
        for (int j = i + 7; j < kSubframe; ++j) {
            const lane4 xj = splat4(x[j]);
            a0 += xj * load4(h + j - i - 3);
            a1 += xj * load4(h + j - i - 7);
        }
        store_lanes_reversed(d + i, a0);
        store_lanes_reversed(d + i + 4, a1);
    }
}

#else

int lag_blocks_avx(const double*, int, const double*, int, int, double*) { return 0; }
void target_correlation_avx(const double*, const double*, double*) {}
int interpolation_blocks_avx(double*, int, const double*, const double*, int) { return 0; }

#endif

}  // namespace tarnel
