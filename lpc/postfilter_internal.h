// Stages of the post-filter that only its own tests call directly.
#pragma once

#include "lpc/postfilter.h"

namespace tarnel {

// res: 40 samples with 143 of history before them; writes p[0..39].
void pitch_postfilter(const double* res, int t0_min, int t0_max, double* p);

// In place on p[0..39] with factor k; mem carries p[39] of the previous subframe.
void tilt_compensation(double* p, double k, double* mem);

}  // namespace tarnel
