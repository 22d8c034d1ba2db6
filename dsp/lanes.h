// Two independent double-precision sums side by side, one per lane.
//
// Each lane performs exactly the operations the scalar code performs for its own sum, in the
// same order, so results are bit-identical to the scalar loops they replace; only unrelated
// sums share an instruction. Two lanes is what every x86-64 processor has (SSE2); elsewhere
// the compiler lowers these types to plain scalar pairs.
#pragma once

#include <cstring>

namespace tarnel {

typedef double lane2 __attribute__((vector_size(16)));

inline lane2 load2(const double* p) {
    lane2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store2(double* p, lane2 v) { std::memcpy(p, &v, sizeof v); }

inline lane2 splat2(double x) { return lane2{x, x}; }

inline lane2 swap2(lane2 v) { return lane2{v[1], v[0]}; }

// Lane-generic forms for code shared by the pair and the quad (wide_lanes.h) variants. They
// take vectors by reference: a quad passed by value would change the calling convention of
// code built without AVX, and these are always inlined into the variant that uses them.
template <typename V>
constexpr int kLanesOf = sizeof(V) / sizeof(double);

template <typename V>
__attribute__((always_inline)) inline void load_lanes(V& v, const double* p) {
    std::memcpy(&v, p, sizeof v);
}

template <typename V>
__attribute__((always_inline)) inline void store_lanes(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

template <typename V>
__attribute__((always_inline)) inline void splat_lanes(V& v, double x) {
    double all[kLanesOf<V>];
    for (double& a : all) a = x;
    std::memcpy(&v, all, sizeof v);
}
// A single sum is the one-lane case.
__attribute__((always_inline)) inline void splat_lanes(double& v, double x) { v = x; }

// Stores v's lanes in the opposite order: p[0] = v[last] ... p[last] = v[0].
template <typename V>
__attribute__((always_inline)) inline void store_lanes_reversed(double* p, const V& v) {
    for (int l = 0; l < kLanesOf<V>; ++l) p[l] = v[kLanesOf<V> - 1 - l];
}

}  // namespace tarnel
