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

// Broadcast for code written once for a single sum (double) and a lane pair.
__attribute__((always_inline)) inline void splat_lanes(double& v, double x) { v = x; }
__attribute__((always_inline)) inline void splat_lanes(lane2& v, double x) { v = splat2(x); }

}  // namespace tarnel
