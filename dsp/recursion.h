// One step of the order-10 synthesis recursion with the last ten outputs held in registers.
//
// Reading the previous output back from a buffer would add a store-to-load forwarding delay
// to every step of a recursion that is bound by its own latency. The step is the same for a
// single sum (double) and for lanes of independent sums.
#pragma once

#include "dsp/frame.h"

namespace tarnel {

// past[0] is the newest output, past[9] the oldest. Turns s into
// s - a[1] past[0] - a[2] past[1] - ... - a[10] past[9], subtracted in that order, and
// shifts it into past.
template <typename V, typename C>
__attribute__((always_inline)) inline void synthesis_step(V& s, const C* a, V* past) {
#pragma GCC unroll 10
    for (int k = 1; k <= kOrder; ++k) s -= a[k] * past[k - 1];
#pragma GCC unroll 9
    for (int k = kOrder - 1; k >= 1; --k) past[k] = past[k - 1];
    past[0] = s;
}

}  // namespace tarnel
