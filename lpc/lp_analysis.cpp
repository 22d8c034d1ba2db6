#include "lpc/lp_analysis.h"

#include <cmath>

#include "dsp/filters.h"
#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "dsp/wide_lanes.h"
#include "lpc/lp_analysis_avx.h"
#include "tables/lp_tables.h"

namespace tarnel {

namespace {

double flushed(double v) { return std::fabs(v) < flush_threshold ? 0.0 : v; }

constexpr int kPairedLags = 14;

// head[k] = sum over j < 227 of y[j] y[j + k], lags k = 0..13 two to a lane pair; returns 227.
int paired_head(const double* y, double* head) {
    constexpr int common = kAnalysisWindow - kPairedLags + 1;
    lane2 a0 = splat2(0.0), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0;
    for (int j = 0; j < common; ++j) {
        const lane2 yj = splat2(y[j]);
        const double* yk = y + j;
        a0 += yj * load2(yk);
        a1 += yj * load2(yk + 2);
        a2 += yj * load2(yk + 4);
        a3 += yj * load2(yk + 6);
        a4 += yj * load2(yk + 8);
        a5 += yj * load2(yk + 10);
        a6 += yj * load2(yk + 12);
    }
    store2(head, a0);
    store2(head + 2, a1);
    store2(head + 4, a2);
    store2(head + 6, a3);
    store2(head + 8, a4);
    store2(head + 10, a5);
    store2(head + 12, a6);
    return common;
}

}  // namespace

void preprocess(double* state, double* signal, int n) {
    // Second-order high-pass at 140 Hz. The numerator is kept at full scale so that the
    // whole codec works at the level of the 16-bit input.
    double x1 = state[0], x2 = state[1], y1 = state[2], y2 = state[3];
    for (int i = 0; i < n; ++i) {
        const double x0 = signal[i];
        double y = 1.9059465 * y1;
        y -= 0.9114024 * y2;
        y += 0.92727435 * x0;
        y -= 1.8544941 * x1;
        y += 0.92727435 * x2;
        x2 = x1;
        x1 = x0;
        y2 = y1;
        // Only the recursive half is flushed: the input memories hold exact PCM values. The
        // flush is a rarely taken branch rather than a select, which keeps it off the
        // recursion's critical path.
        if (__builtin_expect(std::fabs(y) < flush_threshold, 0)) {
            y = 0.0;
            __asm__ volatile("");  // keeps the compiler from turning the branch into a select
        }
        y1 = y;
        signal[i] = y;
        y2 = flushed(y2);
    }
    state[0] = x1;
    state[1] = x2;
    state[2] = y1;
    state[3] = y2;
}

void autocorrelation(const double* x, int m, double* r) {
    double y[kAnalysisWindow];
    for (int n = 0; n < kAnalysisWindow; ++n) y[n] = x[n] * lp_window[n];
    // The leading lags go side by side through the samples the longest of them has; each
    // lag then finishes its own remaining terms in order. Later lags are summed alone.
    double head[kWideAutocorrelationLags];
    int paired_lags;
    int common;
    if (wide_lanes()) {
        paired_lags = kWideAutocorrelationLags;
        common = autocorrelation_head_avx(y, head);
    } else {
        paired_lags = kPairedLags;
        common = paired_head(y, head);
    }
    int k = 0;
    if (paired_lags == kWideAutocorrelationLags) {
        autocorrelation_tails_avx(y, head, m, r);
        k = m + 1 < kWideAutocorrelationLags ? m + 1 : kWideAutocorrelationLags;
    }
    for (; k <= m; ++k) {
        double s = 0.0;
        int j = 0;
        if (k < paired_lags) {
            s = head[k];
            j = common;
        }
        for (; j < kAnalysisWindow - k; ++j) s += y[j] * y[j + k];
        r[k] = s;
    }
    // A silent buffer would otherwise give the recursion a zero first error to divide by.
    if (r[0] < 1.0) r[0] = 1.0;
}

void lag_window(int m, double* r) {
    for (int k = 0; k <= m; ++k) r[k] = r[k] * lag_window_table[k];
}

void levinson(const double* r, double* a) {
    double k = -r[1] / r[0];
    a[0] = 1.0;
    a[1] = k;
    double err = r[0] + r[1] * k;
    for (int i = 2; i <= kOrder; ++i) {
        double s = a[0] * r[i];
        for (int j = 1; j < i; ++j) s += a[j] * r[i - j];
        k = -s / err;
        // Update symmetric pairs from their old values; for even i the middle element pairs
        // with itself and takes the same general step.
        for (int j = 1; j <= i / 2; ++j) {
            const double lo = a[j];
            const double hi = a[i - j];
            a[j] = lo + k * hi;
            a[i - j] = hi + k * lo;
        }
        a[i] = k;
        err = err + k * s;
        // No stability test here: a non-positive error only keeps later divisions defined,
        // and the LSP conversion falls back on the previous frame for an unstable filter.
        if (!(err > 0.0)) err = 0.001;
    }
}

}  // namespace tarnel
