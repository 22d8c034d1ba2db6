// AVX variant of the autocorrelation's bulk (see wide_lanes.h); only for wide_lanes().
#pragma once

namespace tarnel {

constexpr int kWideAutocorrelationLags = 16;

// head[k] = sum over j < 240 - 15 of y[j] y[j + k], k = 0..15, each in order of j.
// Returns the number of terms summed, 225.
int autocorrelation_head_avx(const double* y, double* head);

}  // namespace tarnel
