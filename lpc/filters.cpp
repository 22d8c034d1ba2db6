#include "lpc/filters.h"

#include <cmath>

namespace tarnel {

void synthesis_filter(const double* a, const double* x, double* y, int n, double* mem,
                      int update) {
    // Past outputs are read only from this private buffer, which is what lets y alias x and
    // mem lie inside either of them.
    double work[10 + 40];
    if (n > 40) n = 40;  // every caller stays within a subframe; never overrun the buffer
    for (int j = 0; j < 10; ++j) work[j] = mem[j];
    double* out = work + 10;
    for (int i = 0; i < n; ++i) {
        double s = x[i];
        for (int k = 1; k <= 10; ++k) s -= a[k] * out[i - k];
        out[i] = s;
        y[i] = s;
    }
    if (update) {
        for (int j = 0; j < 10; ++j) {
            const double v = work[n + j];
            mem[j] = std::fabs(v) < flush_threshold ? 0.0 : v;
        }
    }
}

void residual_filter(const double* a, const double* x, double* y, int n) {
    for (int i = 0; i < n; ++i) {
        double s = a[1] * x[i - 1] + x[i];
        for (int k = 2; k <= 10; ++k) s += a[k] * x[i - k];
        y[i] = s;
    }
}

void weight_lp(const double* a, int m, double* ap, double gamma) {
    ap[0] = a[0];
    double f = gamma;
    for (int i = 1; i < m; ++i) {
        ap[i] = a[i] * f;
        f = f * gamma;
    }
    ap[m] = a[m] * f;
}

void copy_vector(const double* src, double* dst, int n) {
    for (int i = 0; i < n; ++i) dst[i] = src[i];
}

void zero_vector(double* v, int n) {
    for (int i = 0; i < n; ++i) v[i] = 0.0;
}

}  // namespace tarnel
