#include "excitation/pitch_avx.h"

#include "dsp/frame.h"
#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

TARNEL_WIDE int lag_blocks_avx(const double* wsp, int n, const double* base, int stride, int count,
                               double* r) {
    // A lane quad holds results {c + 3, ..., c}: neighbouring samples in that order.
    int c = 0;
    for (; c + 16 <= count; c += 16) {
        const double* q = base - c - 3;
        lane4 a0 = splat4(0.0), a1 = a0, a2 = a0, a3 = a0;
        for (int i = 0; i < n; i += 2, q += stride) {
            const lane4 w = splat4(wsp[i]);
            a0 += w * load4(q);
            a1 += w * load4(q - 4);
            a2 += w * load4(q - 8);
            a3 += w * load4(q - 12);
        }
        store4_reversed(r + c, a0);
        store4_reversed(r + c + 4, a1);
        store4_reversed(r + c + 8, a2);
        store4_reversed(r + c + 12, a3);
    }
    for (; c + 4 <= count; c += 4) {
        const double* q = base - c - 3;
        lane4 a = splat4(0.0);
        for (int i = 0; i < n; i += 2, q += stride) a += splat4(wsp[i]) * load4(q);
        store4_reversed(r + c, a);
    }
    return c;
}

TARNEL_WIDE void target_correlation_avx(const double* h, const double* x, double* d) {
    // d[i] = sum over m of h[m] x[i + m]: neighbouring outputs share every term's h[m], lane
    // k of a quad summing output i + k in order of m. The lanes that end before lane 0 take terms
    // of the zero padding after x; a finite h[m] times zero adds nothing to a sum that
    // started from +0.0, so each output keeps its own value.
    double xp[kSubframe + 4];
    for (int j = 0; j < kSubframe; ++j) xp[j] = x[j];
    for (int j = kSubframe; j < kSubframe + 4; ++j) xp[j] = 0.0;
    // Eight outputs at a time: the later four take their terms beside the first four's.
    for (int i = 0; i < kSubframe; i += 8) {
        lane4 a0 = splat4(0.0), a1 = a0;
        int m = 0;
#pragma GCC unroll 4
        for (; m < kSubframe - i - 4; ++m) {
            const lane4 hm = splat4(h[m]);
            a0 += hm * load4(xp + i + m);
            a1 += hm * load4(xp + i + 4 + m);
        }
#pragma GCC unroll 4
        for (; m < kSubframe - i; ++m) a0 += splat4(h[m]) * load4(xp + i + m);
        store4(d + i, a0);
        store4(d + i + 4, a1);
    }
}

TARNEL_WIDE int interpolation_blocks_avx(double* exc, int base, const double* c1, const double* c2,
                                         int n) {
    int j = 0;
    // Sixteen outputs share each tap's coefficients where the lag keeps them reading only
    // samples of earlier blocks: up to j + 15 + base + 10 < j.
    if (base + 25 < 0) {
        for (; j + 16 <= n; j += 16) {
            const double* left = exc + base + j;
            const double* right = left + 1;
            lane4 v0 = splat4(0.0), v1 = v0, v2 = v0, v3 = v0;
#pragma GCC unroll 10
            for (int i = 0; i < 10; ++i) {
                const lane4 k1 = splat4(c1[3 * i]);
                const lane4 k2 = splat4(c2[3 * i]);
                v0 += load4(left - i) * k1 + load4(right + i) * k2;
                v1 += load4(left + 4 - i) * k1 + load4(right + 4 + i) * k2;
                v2 += load4(left + 8 - i) * k1 + load4(right + 8 + i) * k2;
                v3 += load4(left + 12 - i) * k1 + load4(right + 12 + i) * k2;
            }
            store4(exc + j, v0);
            store4(exc + j + 4, v1);
            store4(exc + j + 8, v2);
            store4(exc + j + 12, v3);
        }
    }
    for (; j + 8 <= n; j += 8) {
        const double* left = exc + base + j;
        const double* right = left + 1;
        lane4 v0 = splat4(0.0), v1 = v0;
#pragma GCC unroll 10
        for (int i = 0; i < 10; ++i) {
            const lane4 k1 = splat4(c1[3 * i]);
            const lane4 k2 = splat4(c2[3 * i]);
            v0 += load4(left - i) * k1 + load4(right + i) * k2;
            v1 += load4(left + 4 - i) * k1 + load4(right + 4 + i) * k2;
        }
        store4(exc + j, v0);
        store4(exc + j + 4, v1);
    }
    return j;
}

TARNEL_WIDE int lag_correlations_avx(const double* d, const double* exc, int n, int t_min,
                                     int count, double* c) {
    // A lane quad holds lags {t + 3, ..., t}: neighbouring samples in that order. A count that
    // is no multiple of four ends with a quad overlapping the one before it, whose lags then
    // come out twice, the same sums each time.
    for (int k = 0; k < count; k += 4) {
        const int first = k + 4 <= count ? k : count - 4;
        const double* lagged = exc - (t_min + first) - 3;
        lane4 a = splat4(0.1);
        for (int j = 0; j < n; ++j) a += splat4(d[j]) * load4(lagged + j);
        store4_reversed(c + first, a);
    }
    return count;
}

#else

int lag_correlations_avx(const double*, const double*, int, int, int, double*) { return 0; }
int lag_blocks_avx(const double*, int, const double*, int, int, double*) { return 0; }
void target_correlation_avx(const double*, const double*, double*) {}
int interpolation_blocks_avx(double*, int, const double*, const double*, int) { return 0; }

#endif

}  // namespace tarnel
