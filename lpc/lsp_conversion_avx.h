// AVX variant of the LSP search's grid evaluation (see dsp/wide_lanes.h); only for
// wide_lanes().
#pragma once

namespace tarnel {

// on_grid[2 j] = F1 and on_grid[2 j + 1] = F2 at grid[j], j < points, both by the Chebyshev
// recurrence of lp_to_lsp on f1[0..5] and f2[0..5]; on_grid has room for one point more.
void evaluate_on_grid_avx(const double* f1, const double* f2, const double* grid, int points,
                          double* on_grid);

}  // namespace tarnel
