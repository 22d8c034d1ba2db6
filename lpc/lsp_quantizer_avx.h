// AVX variant of the first-stage codebook search's distances (see wide_lanes.h); only for
// wide_lanes().
#pragma once

namespace tarnel {

// dist[r] = sum over i < 10 of (target[i] - col[i][r])^2, in order of i, for the 128 rows
// of a codebook stored column by column.
void first_stage_distances_avx(const double* target, const double (*col)[128], double* dist);

}  // namespace tarnel
