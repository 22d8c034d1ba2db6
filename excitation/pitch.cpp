#include "excitation/pitch.h"

#include "dsp/filters.h"
#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "dsp/wide_lanes.h"
#include "excitation/pitch_avx.h"
#include "tables/pitch_tables.h"

namespace tarnel {

namespace {

double dot_from(double start, const double* a, const double* b, int n) {
    double s = start;
    for (int i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

}  // namespace

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

namespace {

// Outputs a + 1 and a of the target correlation, lanes in that order, summed over j < end:
// output a takes its first term alone, then both step through x together.
lane2 correlation_pair_head(const double* h, const double* x, int a, int end) {
    lane2 acc{0.0, 0.0 + x[a] * h[0]};
    for (int j = a + 1; j < end; ++j) acc += splat2(x[j]) * load2(h + j - a - 1);
    return acc;
}

}  // namespace

void target_correlation(const double* h, const double* x, double* d) {
    if (wide_lanes()) {
        target_correlation_avx(h, x, d);
        return;
    }
    // Eight outputs at a time, as four lane pairs; a pair joins the common loop once every
    // pair of the group has started.
    for (int i = 0; i < kSubframe; i += 8) {
        const int common = i + 7;
        lane2 a0 = correlation_pair_head(h, x, i, common);
        lane2 a1 = correlation_pair_head(h, x, i + 2, common);
        lane2 a2 = correlation_pair_head(h, x, i + 4, common);
        lane2 a3 = correlation_pair_head(h, x, i + 6, common);
        for (int j = common; j < kSubframe; ++j) {
            const lane2 xj = splat2(x[j]);
            const double* hj = h + j - i - 1;
            a0 += xj * load2(hj);
            a1 += xj * load2(hj - 2);
            a2 += xj * load2(hj - 4);
            a3 += xj * load2(hj - 6);
        }
        store2(d + i, swap2(a0));
        store2(d + i + 2, swap2(a1));
        store2(d + i + 4, swap2(a2));
        store2(d + i + 6, swap2(a3));
    }
}

namespace {

// One output of the interpolation: v = sum over i of left[-i] c1[3 i] + right[i] c2[3 i].
double interpolate(const double* left, const double* right, const double* c1, const double* c2) {
    double v = 0.0;
    for (int i = 0; i < 10; ++i) v += left[-i] * c1[3 * i] + right[i] * c2[3 * i];
    return v;
}

// Outputs in one block of eight read at most up to sample j + 7 - t0 + 10 of the buffer
// being written, so for t0 >= 18 they read only finished samples and are independent sums.
constexpr int kBlockSafeLag = 18;

}  // namespace

void adaptive_codebook_vector(double* exc, int t0, int frac, int n) {
    int p = -frac;
    int base = -t0;
    if (p < 0) {
        p += 3;
        base -= 1;
    }
    const double* c1 = inter_3l + p;
    const double* c2 = inter_3l + 3 - p;
    // Written in place in increasing j: lags shorter than the subframe thereby repeat the
    // samples just built, which is how the pitch pulse recurs within one subframe.
    int j = 0;
    if (t0 >= kBlockSafeLag && wide_lanes()) j = interpolation_blocks_avx(exc, base, c1, c2, n);
    if (t0 >= kBlockSafeLag) {
        for (; j + 8 <= n; j += 8) {
            const double* left = exc + base + j;
            const double* right = left + 1;
            lane2 v0 = splat2(0.0), v1 = v0, v2 = v0, v3 = v0;
            for (int i = 0; i < 10; ++i) {
                const lane2 k1 = splat2(c1[3 * i]);
                const lane2 k2 = splat2(c2[3 * i]);
                v0 += load2(left - i) * k1 + load2(right + i) * k2;
                v1 += load2(left + 2 - i) * k1 + load2(right + 2 + i) * k2;
                v2 += load2(left + 4 - i) * k1 + load2(right + 4 + i) * k2;
                v3 += load2(left + 6 - i) * k1 + load2(right + 6 + i) * k2;
            }
            store2(exc + j, v0);
            store2(exc + j + 2, v1);
            store2(exc + j + 4, v2);
            store2(exc + j + 6, v3);
        }
    }
    for (; j < n; ++j) exc[j] = interpolate(exc + base + j, exc + base + j + 1, c1, c2);
}

namespace {

// c[t - t_min] = 0.1 + sum over j < n of d[j] exc[j - t], lags side by side in lane pairs.
void lag_correlations(const double* d, const double* exc, int n, int t_min, int t_max, double* c) {
    // Lanes {t + 1, t}: neighbouring samples of the excitation in that order.
    const int count = t_max - t_min + 1;
    int k = 0;
    if (count >= 4 && wide_lanes()) k = lag_correlations_avx(d, exc, n, t_min, count, c);
    for (; k + 4 <= count; k += 4) {
        const double* lagged = exc - (t_min + k) - 1;
        lane2 a0 = splat2(0.1), a1 = a0;
        for (int j = 0; j < n; ++j) {
            const lane2 dj = splat2(d[j]);
            a0 += dj * load2(lagged + j);
            a1 += dj * load2(lagged + j - 2);
        }
        store2(c + k, swap2(a0));
        store2(c + k + 2, swap2(a1));
    }
    for (; k + 2 <= count; k += 2) {
        const double* lagged = exc - (t_min + k) - 1;
        lane2 a = splat2(0.1);
        for (int j = 0; j < n; ++j) a += splat2(d[j]) * load2(lagged + j);
        store2(c + k, swap2(a));
    }
    for (; k < count; ++k) c[k] = dot_from(0.1, d, exc - (t_min + k), n);
}

}  // namespace

int pitch_closed_loop(double* exc, const double* x, const double* h, int n, int t_min, int t_max,
                      int subframe_start, int* frac_out) {
    double d[kSubframe];
    target_correlation(h, x, d);

    // Integer lags: correlate the backward-filtered target with the raw past excitation.
    // Any finite correlation beats the start value; starting the lag at t_min rather than 0
    // only keeps the buffer reads in bounds should the correlations ever be NaN.
    double c_lag[kPitchMax + 1];
    lag_correlations(d, exc, n, t_min, t_max, c_lag);
    double max = -1e38;
    int t0 = t_min;
    for (int t = t_min; t <= t_max; ++t) {
        const double c = c_lag[t - t_min];
        if (c > max) {
            max = c;
            t0 = t;
        }
    }

    adaptive_codebook_vector(exc, t0, 0, n);
    *frac_out = 0;
    // Long first-subframe lags are coded in whole samples only.
    if (subframe_start == 0 && t0 > 84) return t0;

    // The vectors of fractions 0, -1 and +1 (each built in place from the past alone), then
    // their correlations with the target side by side, one per lane; the comparisons keep
    // the order 0, -1, +1.
    double vectors[2][kSubframe];
    copy_vector(exc, vectors[0], n);
    adaptive_codebook_vector(exc, t0, -1, n);
    copy_vector(exc, vectors[1], n);
    adaptive_codebook_vector(exc, t0, 1, n);
    lane2 c01 = splat2(0.1);
    double c1 = 0.1;
    for (int j = 0; j < n; ++j) {
        c01 += splat2(d[j]) * lane2{vectors[0][j], vectors[1][j]};
        c1 += d[j] * exc[j];
    }
    double best = c01[0];
    int frac = 0;
    if (c01[1] > best) {
        best = c01[1];
        frac = -1;
    }
    if (c1 > best) frac = 1;
    *frac_out = frac;
    if (frac != 1) copy_vector(vectors[frac == 0 ? 0 : 1], exc, n);
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
    // Both sums side by side, one per lane.
    lane2 sums{0.0, 0.01};
    for (int i = 0; i < n; ++i) sums += lane2{x[i], y1[i]} * splat2(y1[i]);
    const double xy = sums[0];
    const double yy = sums[1];
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
bool taming_test(const double* taming_memory, int t0, int frac) {
    const int t1 = frac > 0 ? t0 + 1 : t0;
    const int reach = t1 - 50 > 0 ? t1 - 50 : 0;
    const int zone1 = static_cast<int>(reach * 0.025);
    const int zone2 = static_cast<int>((t1 + 8) * 0.025);
    if (zone1 > zone2) return false;
    double worst = -1.0;
    for (int i = zone2; i >= zone1; --i)
        if (taming_memory[i] > worst) worst = taming_memory[i];
    return worst > 60000.0;
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
    for (int i = kTamingZones - 1; i > 0; --i) taming_memory[i] = taming_memory[i - 1];
    taming_memory[0] = worst;
}

}  // namespace tarnel
