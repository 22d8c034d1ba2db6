// Bulk sums of the pitch searches, shared by the plain variants (lane pairs) and the AVX
// variants (lane quads, see dsp/wide_lanes.h). Each handles whole blocks and returns how many
// results it wrote; the caller finishes the rest one sum at a time.
#pragma once

#include "dsp/lanes.h"

namespace tarnel {

// r[c] = sum over even i < n of wsp[i] base[stride i / 2 - c], each in order of i, for c in
// blocks below count. The results are independent sums: four vectors of them at a time keep
// the adder busy, then single vectors. A vector holds results {c + lanes - 1, ..., c}, which
// are neighbouring samples in that order.
template <typename V>
__attribute__((always_inline)) inline int lag_blocks(const double* wsp, int n, const double* base,
                                                    int stride, int count, double* r) {
    constexpr int kLanes = kLanesOf<V>;
    int c = 0;
    for (; c + 4 * kLanes <= count; c += 4 * kLanes) {
        const double* lagged = base - c - (kLanes - 1);
        V a[4];
        for (V& v : a) splat_lanes(v, 0.0);
        for (int i = 0; i < n; i += 2) {
            V w;
            splat_lanes(w, wsp[i]);
            const double* q = lagged + stride * (i / 2);
#pragma GCC unroll 4
            for (int g = 0; g < 4; ++g) {
                V x;
                load_lanes(x, q - kLanes * g);
                a[g] += w * x;
            }
        }
        for (int g = 0; g < 4; ++g) store_lanes_reversed(r + c + kLanes * g, a[g]);
    }
    for (; c + kLanes <= count; c += kLanes) {
        const double* lagged = base - c - (kLanes - 1);
        V a;
        splat_lanes(a, 0.0);
        for (int i = 0; i < n; i += 2) {
            V w, x;
            splat_lanes(w, wsp[i]);
            load_lanes(x, lagged + stride * (i / 2));
            a += w * x;
        }
        store_lanes_reversed(r + c, a);
    }
    return c;
}

// exc[j] = sum over i < 10 of exc[base + j - i] c1[3 i] + exc[base + j + 1 + i] c2[3 i], in
// blocks of eight j below n, for lags that read only samples of earlier blocks.
template <typename V>
__attribute__((always_inline)) inline int interpolation_blocks(double* exc, int base,
                                                              const double* c1, const double* c2,
                                                              int n) {
    constexpr int kLanes = kLanesOf<V>;
    constexpr int kGroups = 8 / kLanes;
    int j = 0;
    for (; j + 8 <= n; j += 8) {
        const double* left = exc + base + j;
        const double* right = left + 1;
        V v[kGroups];
        for (V& x : v) splat_lanes(x, 0.0);
        for (int i = 0; i < 10; ++i) {
            V k1, k2;
            splat_lanes(k1, c1[3 * i]);
            splat_lanes(k2, c2[3 * i]);
#pragma GCC unroll 4
            for (int g = 0; g < kGroups; ++g) {
                V l, r;
                load_lanes(l, left + kLanes * g - i);
                load_lanes(r, right + kLanes * g + i);
                v[g] += l * k1 + r * k2;
            }
        }
        for (int g = 0; g < kGroups; ++g) store_lanes(exc + j + kLanes * g, v[g]);
    }
    return j;
}

// The AVX instances and the AVX target correlation, for wide_lanes() only.
int lag_blocks_avx(const double* wsp, int n, const double* base, int stride, int count,
                   double* r);
int interpolation_blocks_avx(double* exc, int base, const double* c1, const double* c2, int n);

// d[i] = sum over j = i..39 of x[j] h[j - i], all 40.
void target_correlation_avx(const double* h, const double* x, double* d);

}  // namespace tarnel
