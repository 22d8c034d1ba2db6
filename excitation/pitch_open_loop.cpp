#include "excitation/pitch.h"

#include <cmath>

#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "dsp/wide_lanes.h"
#include "excitation/pitch_avx.h"

namespace tarnel {

namespace {

// The open-loop search decimates by two: every second sample of the frame.
double open_loop_correlation(const double* wsp, int n, int k) {
    double r = 0.0;
    for (int i = 0; i < n; i += 2) r += wsp[i] * wsp[i - k];
    return r;
}

// r[c] = sum over even i < n of wsp[i] base[stride i / 2 - c], each in order of i, for c in
// blocks of eight below count; returns how many it wrote. The results are independent sums:
// eight at a time keep the adder busy. A lane pair holds results {c + 1, c}, which are
// neighbouring samples in that order.
int lag_blocks(const double* wsp, int n, const double* base, int stride, int count, double* r) {
    if (wide_lanes()) return lag_blocks_avx(wsp, n, base, stride, count, r);
    int c = 0;
    for (; c + 8 <= count; c += 8) {
        const double* q = base - c - 1;
        lane2 a0 = splat2(0.0), a1 = a0, a2 = a0, a3 = a0;
        for (int i = 0; i < n; i += 2, q += stride) {
            const lane2 w = splat2(wsp[i]);
            a0 += w * load2(q);
            a1 += w * load2(q - 2);
            a2 += w * load2(q - 4);
            a3 += w * load2(q - 6);
        }
        store2(r + c, swap2(a0));
        store2(r + c + 2, swap2(a1));
        store2(r + c + 4, swap2(a2));
        store2(r + c + 6, swap2(a3));
    }
    return c;
}

// r[c] = open_loop_correlation(wsp, n, first + c) for c < count.
void open_loop_correlations(const double* wsp, int n, int first, int count, double* r) {
    int c = lag_blocks(wsp, n, wsp - first, 2, count, r);
    for (; c < count; ++c) r[c] = open_loop_correlation(wsp, n, first + c);
}

// The same for the even lags first, first + 2, ... <= kPitchMax - 1: on the decimated grid
// they are neighbours in the even samples, kept in ev[m] = wsp[2 m - kOffset].
void open_loop_even_correlations(const double* wsp, int n, int first, int count, double* r) {
    constexpr int kOffset = kPitchMax - 1;  // the longest even lag
    double ev[(kOffset + kFrame) / 2];
    int c = 0;
    if (n <= kFrame) {
        for (int m = 0; 2 * m < kOffset + n; ++m) ev[m] = wsp[2 * m - kOffset];
        // Lag first + 2c at sample i reads ev[i / 2 + (kOffset - first) / 2 - c].
        c = lag_blocks(wsp, n, ev + (kOffset - first) / 2, 1, count, r);
    }
    for (; c < count; ++c) r[c] = open_loop_correlation(wsp, n, first + 2 * c);
}

// Best lag of r[0..count) for lags lo, lo + step, ...; ties keep the shorter lag.
int best_lag(const double* r, int lo, int step, int count, double* max_out) {
    double max = -1e38;
    int best = lo;
    for (int c = 0; c < count; ++c) {
        if (r[c] > max) {
            max = r[c];
            best = lo + c * step;
        }
    }
    *max_out = max;
    return best;
}

int abs_int(int v) { return v < 0 ? -v : v; }

}  // namespace

int pitch_open_loop(const double* wsp, int n) {
    // Lags 20..79 in one pass, the even lags 80..142 in another.
    double r_short[60];
    double r_long[32];
    open_loop_correlations(wsp, n, 20, 60, r_short);
    open_loop_even_correlations(wsp, n, 80, 32, r_long);
    double m1, m2, m3;
    int t1 = best_lag(r_short, 20, 1, 20, &m1);
    int t2 = best_lag(r_short + 20, 40, 1, 40, &m2);
    int t3 = best_lag(r_long, 80, 2, 32, &m3);

    // The long section was scanned on even lags only; look once to either side of its best.
    // Both sums side by side, one per lane, then compared in that order.
    const int t3_even = t3;
    lane2 beside = splat2(0.0);
    for (int i = 0; i < n; i += 2)
        beside += splat2(wsp[i]) * lane2{wsp[i - (t3_even + 1)], wsp[i - (t3_even - 1)]};
    if (beside[0] > m3) {
        m3 = beside[0];
        t3 = t3_even + 1;
    }
    if (beside[1] > m3) {
        m3 = beside[1];
        t3 = t3_even - 1;
    }

    // The three sections' energies side by side: a lane pair and one alone.
    lane2 e12 = splat2(0.01);
    double e3 = 0.01;
    for (int i = 0; i < n; i += 2) {
        const lane2 past{wsp[i - t1], wsp[i - t2]};
        e12 += past * past;
        e3 += wsp[i - t3] * wsp[i - t3];
    }
    m1 = m1 * (1.0 / std::sqrt(e12[0]));
    m2 = m2 * (1.0 / std::sqrt(e12[1]));
    m3 = m3 * (1.0 / std::sqrt(e3));

    // A long lag that is a multiple of a shorter one is usually a pitch-doubling error:
    // lend part of its score to the shorter section.
    if (abs_int(2 * t2 - t3) < 5) m2 += 0.25 * m3;
    if (abs_int(3 * t2 - t3) < 7) m2 += 0.25 * m3;
    if (abs_int(2 * t1 - t2) < 5) m1 += 0.2 * m2;
    if (abs_int(3 * t1 - t2) < 7) m1 += 0.2 * m2;

    int t_op = t1;
    double best = m1;
    if (m1 < m2) {
        best = m2;
        t_op = t2;
    }
    if (best < m3) t_op = t3;
    return t_op;
}

}  // namespace tarnel
