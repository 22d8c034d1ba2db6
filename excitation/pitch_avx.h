// AVX variants of the pitch searches' bulk sums (see dsp/wide_lanes.h); only for
// wide_lanes(). Each handles whole blocks and returns how many results it wrote; the caller
// finishes the rest with the plain code.
#pragma once

namespace tarnel {

// r[c] = sum over even i < n of wsp[i] base[stride i / 2 - c], each in order of i, for c in
// blocks of four below count.
int lag_blocks_avx(const double* wsp, int n, const double* base, int stride, int count, double* r);

// d[i] = sum over j = i..39 of x[j] h[j - i], all 40.
void target_correlation_avx(const double* h, const double* x, double* d);

// exc[j] = sum over i < 10 of exc[base + j - i] c1[3 i] + exc[base + j + 1 + i] c2[3 i], in
// blocks of eight j below n, for lags that read only samples of earlier blocks.
int interpolation_blocks_avx(double* exc, int base, const double* c1, const double* c2, int n);

// c[k] = 0.1 + sum over j < n of d[j] exc[j - t_min - k], each in order of j, for every
// k < count (4 <= count); returns count.
int lag_correlations_avx(const double* d, const double* exc, int n, int t_min, int count,
                         double* c);

}  // namespace tarnel
