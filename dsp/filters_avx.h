// AVX variant of running synthesis filters side by side (see wide_lanes.h); only for
// wide_lanes().
#pragma once

#include "dsp/filters.h"

namespace tarnel {

// synthesis_filter_quad on four jobs, one per lane of a quad; n <= 40.
void synthesis_filter_quad_avx(const synthesis_job* jobs, int n);

}  // namespace tarnel
