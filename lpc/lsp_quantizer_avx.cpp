#include "lpc/lsp_quantizer_avx.h"

#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE void first_stage_distances_avx(const double* target,
                                           const double (*col)[kLspCb1Rows], double* dist,
                                           int rows) {
    first_stage_distances<lane4>(target, col, dist, rows);
}

#else

void first_stage_distances_avx(const double*, const double (*)[kLspCb1Rows], double*, int) {}

#endif

}  // namespace tarnel
