#include "excitation/pitch.h"

#include <cmath>

#include "codec/dimensions.h"
#include "lpc/filters.h"
#include "tables/pitch_tables.h"

namespace tarnel {

namespace {

// The open-loop search decimates by two: every second sample of the frame.
double open_loop_correlation(const double* wsp, int n, int k) {
    double r = 0.0;
    for (int i = 0; i < n; i += 2) r += wsp[i] * wsp[i - k];
    return r;
}

double open_loop_energy(const double* wsp, int n, int k) {
    double e = 0.01;
    for (int i = 0; i < n; i += 2) e += wsp[i - k] * wsp[i - k];
    return e;
}

// Best lag of [lo, hi] in the given step; ties keep the shorter lag.
int open_loop_section(const double* wsp, int n, int lo, int hi, int step, double* max_out) {
    double max = -1e38;
    int best = lo;
    for (int k = lo; k <= hi; k += step) {
        const double r = open_loop_correlation(wsp, n, k);
        if (r > max) {
            max = r;
            best = k;
        }
    }
    *max_out = max;
    return best;
}

double normalised(const double* wsp, int n, int lag, double max) {
    return max * (1.0 / std::sqrt(open_loop_energy(wsp, n, lag)));
}

double dot_from(double start, const double* a, const double* b, int n) {
    double s = start;
    for (int i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

int abs_int(int v) { return v < 0 ? -v : v; }

}  // namespace

int pitch_open_loop(const double* wsp, int n) {
    double m1, m2, m3;
    int t1 = open_loop_section(wsp, n, 20, 39, 1, &m1);
    int t2 = open_loop_section(wsp, n, 40, 79, 1, &m2);
    int t3 = open_loop_section(wsp, n, 80, 142, 2, &m3);

    // The long section was scanned on even lags only; look once to either side of its best.
    const int t3_even = t3;
    double r = open_loop_correlation(wsp, n, t3_even + 1);
    if (r > m3) {
        m3 = r;
        t3 = t3_even + 1;
    }
    r = open_loop_correlation(wsp, n, t3_even - 1);
    if (r > m3) {
        m3 = r;
        t3 = t3_even - 1;
    }

    m1 = normalised(wsp, n, t1, m1);
    m2 = normalised(wsp, n, t2, m2);
    m3 = normalised(wsp, n, t3, m3);

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

void pitch_search_range(int t_op, int* t_min, int* t_max) {
    *t_min = t_op - 3;
    *t_max = t_op + 3;
    if (*t_min < kPitchMin) {
        *t_min = kPitchMin;
        *t_max = kPitchMin + 6;
    } else if (*t_max > kPitchMax) {
        *t_max = kPitchMax;
        *t_min = kPitchMax - 6;
    }
}

void target_correlation(const double* h, const double* x, double* d) {
    for (int i = 0; i < kSubframe; ++i) {
        double s = 0.0;
        for (int j = i; j < kSubframe; ++j) s += x[j] * h[j - i];
        d[i] = s;
    }
}

void adaptive_codebook_vector(double* exc, int t0, int frac, int n) {
    int p = -frac;
    int base = -t0;
    if (p < 0) {
        p += 3;
        base -= 1;
    }
    // Written in place in increasing j: lags shorter than the subframe thereby repeat the
    // samples just built, which is how the pitch pulse recurs within one subframe.
    for (int j = 0; j < n; ++j) {
        const double* left = exc + base + j;
        const double* right = exc + base + j + 1;
        double v = 0.0;
        for (int i = 0; i < 10; ++i)
            v += left[-i] * inter_3l[p + 3 * i] + right[i] * inter_3l[3 - p + 3 * i];
        exc[j] = v;
    }
}

int pitch_closed_loop(double* exc, const double* x, const double* h, int n, int t_min,
                      int t_max, int subframe_start, int* frac_out) {
    double d[kSubframe];
    target_correlation(h, x, d);

    // Integer lags: correlate the backward-filtered target with the raw past excitation.
    // Any finite correlation beats the start value; starting the lag at t_min rather than 0
    // only keeps the buffer reads in bounds should the correlations ever be NaN.
    double max = -1e38;
    int t0 = t_min;
    for (int t = t_min; t <= t_max; ++t) {
        const double c = dot_from(0.1, d, exc - t, n);
        if (c > max) {
            max = c;
            t0 = t;
        }
    }

    adaptive_codebook_vector(exc, t0, 0, n);
    double best = dot_from(0.1, d, exc, n);
    *frac_out = 0;
    // Long first-subframe lags are coded in whole samples only.
    if (subframe_start == 0 && t0 > 84) return t0;

    double saved[kSubframe];
    copy_vector(exc, saved, n);

    adaptive_codebook_vector(exc, t0, -1, n);
    double c = dot_from(0.1, d, exc, n);
    if (c > best) {
        best = c;
        *frac_out = -1;
        copy_vector(exc, saved, n);
    }

    adaptive_codebook_vector(exc, t0, 1, n);
    c = dot_from(0.1, d, exc, n);
    if (c > best) {
        *frac_out = 1;
    } else {
        copy_vector(saved, exc, n);
    }
    return t0;
}

int encode_lag(int t0, int frac, int* t_min_io, int* t_max_io, int pit_min, int pit_max,
               int subframe_start) {
    if (subframe_start != 0) return 3 * (t0 - *t_min_io) + 2 + frac;

    const int index = t0 <= 85 ? 3 * t0 + frac - 58 : t0 + 112;
    // The second subframe searches 10 lags around this one, kept inside the lag range.
    int t_min = t0 - 5;
    if (t_min < pit_min) t_min = pit_min;
    int t_max = t_min + 9;
    if (t_max > pit_max) {
        t_max = pit_max;
        t_min = pit_max - 9;
    }
    *t_min_io = t_min;
    *t_max_io = t_max;
    return index;
}

void decode_lag(int index, int pit_min, int pit_max, int subframe_start, int* t0_io,
                int* frac_out) {
    if (subframe_start == 0) {
        if (index > 196) {
            *t0_io = index - 112;
            *frac_out = 0;
        } else {
            *t0_io = (index + 2) / 3 + 19;
            *frac_out = index - 3 * *t0_io + 58;
        }
        return;
    }
    int t_min = *t0_io - 5;
    if (t_min < pit_min) t_min = pit_min;
    if (t_min + 9 > pit_max) t_min = pit_max - 9;
    const int i = (index + 2) / 3 - 1;
    *t0_io = t_min + i;
    *frac_out = index - 2 - 3 * i;
}

double pitch_gain(const double* x, const double* y1, double* g_coeff, int n) {
    const double xy = dot_from(0.0, x, y1, n);
    const double yy = dot_from(0.01, y1, y1, n);
    g_coeff[0] = yy;
    g_coeff[1] = -2.0 * xy + 0.01;
    double gain = xy / yy;
    if (gain < 0.0) gain = 0.0;
    if (gain > 1.2) gain = 1.2;
    return gain;
}

// The taming memory tracks, per 40-sample zone of past excitation, how much a chain of
// pitch predictions could have amplified it; a lag that reaches a zone near instability
// must not get a pitch gain close to 1.
int taming_test(const double* taming_memory, int t0, int frac) {
    const int t1 = frac > 0 ? t0 + 1 : t0;
    const int reach = t1 - 50 > 0 ? t1 - 50 : 0;
    const int zone1 = static_cast<int>(reach * 0.025);
    const int zone2 = static_cast<int>((t1 + 8) * 0.025);
    if (zone1 > zone2) return 0;
    double worst = -1.0;
    for (int i = zone2; i >= zone1; --i)
        if (taming_memory[i] > worst) worst = taming_memory[i];
    return worst > 60000.0 ? 1 : 0;
}

void taming_update(double* taming_memory, int t0, double gp) {
    double worst = -1.0;
    if (t0 < 40) {
        // A lag shorter than the subframe feeds the subframe back into itself once more.
        const double a = 1.0 + gp * taming_memory[0];
        if (a > worst) worst = a;
        const double b = 1.0 + gp * a;
        if (b > worst) worst = b;
    } else {
        const int zone1 = static_cast<int>((t0 - 40) * 0.025);
        const int zone2 = static_cast<int>((t0 - 1) * 0.025);
        for (int i = zone1; i <= zone2; ++i) {
            const double v = 1.0 + gp * taming_memory[i];
            if (v > worst) worst = v;
        }
    }
    taming_memory[3] = taming_memory[2];
    taming_memory[2] = taming_memory[1];
    taming_memory[1] = taming_memory[0];
    taming_memory[0] = worst;
}

}  // namespace tarnel
