// AVX variant of the first-stage codebook search's distances (see wide_lanes.h); only for
// wide_lanes().
#pragma once

#include "tables/lsp_codebook1.h"

namespace tarnel {

// dist[r] = sum over i < 10 of (target[i] - col[i][r])^2, in order of i, for rows 0 to
// rows - 1 (a multiple of 16) of the first-stage codebook stored column by column.
void first_stage_distances_avx(const double* target, const double (*col)[kLspCb1Rows], double* dist,
                               int rows);

}  // namespace tarnel
