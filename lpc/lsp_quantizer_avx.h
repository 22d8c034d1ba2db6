// AVX variants of the codebook searches' distances (see wide_lanes.h); only for
// wide_lanes().
#pragma once

#include "tables/lsp_codebook1.h"
#include "tables/lsp_codebook2.h"

namespace tarnel {

// dist[r] = sum over i < 10 of (target[i] - col[i][r])^2, in order of i, for rows 0 to
// rows - 1 (a multiple of 16) of the first-stage codebook stored column by column.
void first_stage_distances_avx(const double* target, const double (*col)[kLspCb1Rows], double* dist,
                               int rows);

// dist[r] = sum over i < 5 of weight[i] (residual[i] - col[i][r])^2, in order of i, for all
// 32 rows of the second-stage codebook stored column by column (col: the half's 5 columns).
void second_stage_distances_avx(const double* residual, const double* weight,
                                const double (*col)[kLspCb2Rows], double* dist);

}  // namespace tarnel
