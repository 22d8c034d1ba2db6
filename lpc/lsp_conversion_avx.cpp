#include "lpc/lsp_conversion_avx.h"

#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE void evaluate_on_grid_avx(const double* f1, const double* f2, const double* grid,
                                      int points, double* on_grid) {
    // Two grid points at a time, both polynomials at each: lanes {F1, F2, F1, F2}, each lane
    // taking lp_to_lsp's steps for its own value.
    lane4 f[6];
    for (int i = 0; i <= 5; ++i) f[i] = lane4{f1[i], f2[i], f1[i], f2[i]};
    for (int j = 0; j < points; j += 2) {
        const double next = j + 1 < points ? grid[j + 1] : grid[j];
        const lane4 x{grid[j], grid[j], next, next};
        lane4 b2 = splat4(1.0);
        lane4 b1 = 2.0 * x + f[1];
        for (int i = 2; i <= 4; ++i) {
            const lane4 b0 = 2.0 * x * b1 - b2 + f[i];
            b2 = b1;
            b1 = b0;
        }
        store4(on_grid + 2 * j, x * b1 - b2 + 0.5 * f[5]);
    }
}

#else

void evaluate_on_grid_avx(const double*, const double*, const double*, int, double*) {}

#endif

}  // namespace tarnel
