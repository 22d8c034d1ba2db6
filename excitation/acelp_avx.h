// AVX variant of the algebraic codebook's correlation rows (see dsp/wide_lanes.h); only for
// wide_lanes().
#pragma once

#include "dsp/frame.h"

namespace tarnel {

// Row m + 1 of run (40 to a row, stored flat): run[m + 1][lag] = run[m][lag] + hp[m]
// hp[m + lag] for m < 40 and lag < 40, row 0 being zero; hp has 80 samples, zero beyond the
// first 40.
void correlation_rows_avx(const double* hp, double* run);

}  // namespace tarnel
