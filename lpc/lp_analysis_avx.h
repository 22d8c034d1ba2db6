// AVX variants of the autocorrelation (see wide_lanes.h); only for wide_lanes().
#pragma once

namespace tarnel {

constexpr int kWideAutocorrelationLags = 16;

// head[k] = sum over j < 240 - 15 of y[j] y[j + k], k = 0..15, each in order of j.
// Returns the number of terms summed, 225.
int autocorrelation_head_avx(const double* y, double* head);

// r[k] = head[k] + sum over 225 <= j < 240 - k of y[j] y[j + k], each in order of j, for
// k <= m and k < 16: autocorrelation_head_avx's sums finished.
void autocorrelation_tails_avx(const double* y, const double* head, int m, double* r);

}  // namespace tarnel
