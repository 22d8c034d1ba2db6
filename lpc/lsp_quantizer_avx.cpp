#include "lpc/lsp_quantizer_avx.h"

#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE void first_stage_distances_avx(const double* target, const double (*col)[kLspCb1Rows],
                                           double* dist, int rows) {
    // Sixteen rows at a time, four to a lane quad.
    for (int r = 0; r < rows; r += 16) {
        lane4 d0 = splat4(0.0), d1 = d0, d2 = d0, d3 = d0;
        for (int i = 0; i < kOrder; ++i) {
            const lane4 t = splat4(target[i]);
            const double* c = col[i] + r;
            const lane4 e0 = t - load4(c), e1 = t - load4(c + 4);
            const lane4 e2 = t - load4(c + 8), e3 = t - load4(c + 12);
            d0 += e0 * e0;
            d1 += e1 * e1;
            d2 += e2 * e2;
            d3 += e3 * e3;
        }
        store4(dist + r, d0);
        store4(dist + r + 4, d1);
        store4(dist + r + 8, d2);
        store4(dist + r + 12, d3);
    }
}

TARNEL_WIDE void second_stage_distances_avx(const double* residual, const double* weight,
                                            const double (*col)[kLspCb2Rows], double* dist) {
    // Sixteen rows at a time, four to a lane quad.
    for (int r = 0; r < kLspCb2Rows; r += 16) {
        lane4 d0 = splat4(0.0), d1 = d0, d2 = d0, d3 = d0;
        for (int i = 0; i < kOrder / 2; ++i) {
            const lane4 t = splat4(residual[i]);
            const lane4 w = splat4(weight[i]);
            const double* c = col[i] + r;
            const lane4 e0 = t - load4(c), e1 = t - load4(c + 4);
            const lane4 e2 = t - load4(c + 8), e3 = t - load4(c + 12);
            d0 += w * (e0 * e0);
            d1 += w * (e1 * e1);
            d2 += w * (e2 * e2);
            d3 += w * (e3 * e3);
        }
        store4(dist + r, d0);
        store4(dist + r + 4, d1);
        store4(dist + r + 8, d2);
        store4(dist + r + 12, d3);
    }
}

#else

void first_stage_distances_avx(const double*, const double (*)[kLspCb1Rows], double*, int) {}
void second_stage_distances_avx(const double*, const double*, const double (*)[kLspCb2Rows],
                                double*) {}

#endif

}  // namespace tarnel
