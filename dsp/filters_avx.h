// AVX variant of running synthesis filters side by side (see wide_lanes.h); only for
// wide_lanes().
#pragma once

#include "dsp/filters.h"

namespace tarnel {

// Up to four independent jobs, one per lane of a quad; 1 <= count <= 4, n <= 40.
void synthesis_filter_quad_avx(const synthesis_job* jobs, int count, int n);

}  // namespace tarnel
