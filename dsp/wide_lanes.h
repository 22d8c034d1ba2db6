// Four independent double-precision sums side by side (AVX), chosen at run time.
//
// Like the lane pairs of lanes.h, every lane repeats the scalar steps of its own sum in the
// scalar order, so the wide variants give bit-identical results; they only retire more
// independent sums per instruction. The helpers below may only be called from functions
// marked TARNEL_WIDE; everything else keeps to the baseline instruction set, so the codec
// still runs on a processor without AVX.
#pragma once

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TARNEL_HAVE_WIDE_LANES 1
#define TARNEL_WIDE __attribute__((target("avx")))
#define TARNEL_WIDE_INLINE __attribute__((target("avx"), always_inline)) inline
#else
#define TARNEL_HAVE_WIDE_LANES 0
#endif

namespace tarnel {

// True when the processor (and its operating system) supports AVX and the wide variants
// have not been turned off.
bool wide_lanes();

// Tests turn the wide variants off to compare them with the plain ones; not for use while
// another thread is coding.
void set_wide_lanes_enabled(bool enabled);

#if TARNEL_HAVE_WIDE_LANES

typedef double lane4 __attribute__((vector_size(32)));

TARNEL_WIDE_INLINE lane4 load4(const double* p) {
    lane4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

TARNEL_WIDE_INLINE void store4(double* p, lane4 v) { std::memcpy(p, &v, sizeof v); }

TARNEL_WIDE_INLINE lane4 splat4(double x) { return lane4{x, x, x, x}; }

// Stores v's lanes in the opposite order: p[0] = v[3] ... p[3] = v[0].
TARNEL_WIDE_INLINE void store4_reversed(double* p, lane4 v) {
    p[0] = v[3];
    p[1] = v[2];
    p[2] = v[1];
    p[3] = v[0];
}

#endif

}  // namespace tarnel
