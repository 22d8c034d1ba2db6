// Conversions between LP coefficients, LSPs (cosine domain) and LSFs (radians).
#pragma once

namespace tarnel {

// LP vector -> 10 LSPs by a grid search for sign changes; falls back to lsp_old whole
// when fewer than ten roots are found.
void lp_to_lsp(const double* a, double* lsp, const double* lsp_old);

// 10 LSPs -> LP vector a[0..10].
void lsp_to_lp(const double* lsp, double* a);

// a_sub[0..10]: LP of the mid-point LSPs (subframe 1); a_sub[11..21]: LP of lsp_new.
void interpolate_lsp_to_lp(const double* lsp_old, const double* lsp_new, double* a_sub);

// dst[i] = acos(src[i]) / cos(src[i]); src and dst may be the same array.
void lsp_to_lsf(const double* src, double* dst, int n);
void lsf_to_lsp(const double* src, double* dst, int n);

}  // namespace tarnel
