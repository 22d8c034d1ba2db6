// The first-stage codebook search's distances, shared by the plain variant (lane pairs) and
// the AVX variant (lane quads, see dsp/wide_lanes.h).
#pragma once

#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "tables/lsp_codebook1.h"

namespace tarnel {

// Rows whose distances one block of the search computes side by side: four vectors of rows.
template <typename V>
constexpr int kFirstStageBlock = 4 * kLanesOf<V>;
constexpr int kQuadFirstStageBlock = 16;  // that of a lane quad

// dist[r] = sum over i < 10 of (target[i] - col[i][r])^2, in order of i, for rows 0 to
// rows - 1 (a multiple of the block) of the first-stage codebook stored column by column.
template <typename V>
__attribute__((always_inline)) inline void first_stage_distances(
    const double* target, const double (*col)[kLspCb1Rows], double* dist, int rows) {
    constexpr int kLanes = kLanesOf<V>;
    for (int r = 0; r < rows; r += kFirstStageBlock<V>) {
        V d[4];
        for (V& v : d) splat_lanes(v, 0.0);
        for (int i = 0; i < kOrder; ++i) {
            V t;
            splat_lanes(t, target[i]);
#pragma GCC unroll 4
            for (int g = 0; g < 4; ++g) {
                V c;
                load_lanes(c, col[i] + r + kLanes * g);
                const V e = t - c;
                d[g] += e * e;
            }
        }
        for (int g = 0; g < 4; ++g) store_lanes(dist + r + kLanes * g, d[g]);
    }
}

// The AVX instance, for wide_lanes() only.
void first_stage_distances_avx(const double* target, const double (*col)[kLspCb1Rows],
                               double* dist, int rows);

}  // namespace tarnel
