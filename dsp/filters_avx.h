// AVX variants of the filters (see wide_lanes.h); only for wide_lanes().
#pragma once

#include "dsp/filters.h"

namespace tarnel {

// synthesis_filter_quad on four jobs, one per lane of a quad; n <= 40.
void synthesis_filter_quad_avx(const synthesis_job* jobs, int n);

// residual_filter's outputs in blocks of eight below n, four to a lane quad; returns how many
// it wrote.
int residual_blocks_avx(const double* a, const double* x, double* y, int n);

}  // namespace tarnel
