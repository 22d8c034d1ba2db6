#include "dsp/filters.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "dsp/recursion.h"

namespace tarnel {

void update_synthesis_memory(const double* tail, double* mem) {
    // Two at a time, with selects: which values are small is as good as random.
    typedef int64_t mask2 __attribute__((vector_size(16)));
    const mask2 magnitude_bits = {INT64_MAX, INT64_MAX};
    const lane2 threshold = splat2(flush_threshold), zero = splat2(0.0);
    for (int j = 0; j < kOrder; j += 2) {
        const lane2 v = load2(tail + j);
        const lane2 magnitude = (lane2)((mask2)v & magnitude_bits);
        store2(mem + j, magnitude < threshold ? zero : v);
    }
}

void synthesis_filter(const double* a, const double* x, double* y, int n, double* mem,
                      bool update) {
    // Past outputs are read only from registers loaded from mem first, which is what lets y
    // alias x and mem lie inside either of them.
    if (n > kSubframe) n = kSubframe;  // every caller stays within a subframe
    double past[kOrder];
    for (int j = 0; j < kOrder; ++j) past[j] = mem[kOrder - 1 - j];
    for (int i = 0; i < n; ++i) {
        double s = x[i];
        synthesis_step(s, a, past);
        y[i] = s;
    }
    if (update) {
        double tail[kOrder];
        for (int j = 0; j < kOrder; ++j) tail[j] = past[kOrder - 1 - j];
        update_synthesis_memory(tail, mem);
    }
}

void synthesis_filter_pair(const synthesis_job& first, const synthesis_job& second, int n) {
    // One lane per job; each lane takes the scalar filter's steps in the scalar order.
    if (n > kSubframe) n = kSubframe;
    lane2 a[kLpSize];
    for (int k = 1; k <= kOrder; ++k) a[k] = lane2{first.a[k], second.a[k]};
    lane2 past[kOrder];
    for (int j = 0; j < kOrder; ++j)
        past[j] = lane2{first.mem[kOrder - 1 - j], second.mem[kOrder - 1 - j]};
    // Each input sample is read before its own output can overwrite it, as in the scalar
    // filter, so both inputs are gathered up front and the outputs scattered at the end.
    lane2 in[kSubframe];
    for (int i = 0; i < n; ++i) in[i] = lane2{first.x[i], second.x[i]};
    lane2 out[kSubframe];
    for (int i = 0; i < n; ++i) {
        out[i] = in[i];
        synthesis_step(out[i], a, past);
    }
    for (int i = 0; i < n; ++i) {
        first.y[i] = out[i][0];
        second.y[i] = out[i][1];
    }
    if (first.update || second.update) {
        double tail[2][kOrder];
        for (int j = 0; j < kOrder; ++j) {
            tail[0][j] = past[kOrder - 1 - j][0];
            tail[1][j] = past[kOrder - 1 - j][1];
        }
        if (first.update) update_synthesis_memory(tail[0], first.mem);
        if (second.update) update_synthesis_memory(tail[1], second.mem);
    }
}

void residual_filter(const double* a, const double* x, double* y, int n) {
    // Outputs are independent sums: eight at a time, in lane pairs (i, i + 1).
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const double* xi = x + i;
        const lane2 a1 = splat2(a[1]);
        lane2 s0 = a1 * load2(xi - 1) + load2(xi);
        lane2 s1 = a1 * load2(xi + 1) + load2(xi + 2);
        lane2 s2 = a1 * load2(xi + 3) + load2(xi + 4);
        lane2 s3 = a1 * load2(xi + 5) + load2(xi + 6);
        for (int k = 2; k <= kOrder; ++k) {
            const lane2 ak = splat2(a[k]);
            s0 += ak * load2(xi - k);
            s1 += ak * load2(xi + 2 - k);
            s2 += ak * load2(xi + 4 - k);
            s3 += ak * load2(xi + 6 - k);
        }
        store2(y + i, s0);
        store2(y + i + 2, s1);
        store2(y + i + 4, s2);
        store2(y + i + 6, s3);
    }
    for (; i < n; ++i) {
        double s = a[1] * x[i - 1] + x[i];
        for (int k = 2; k <= kOrder; ++k) s += a[k] * x[i - k];
        y[i] = s;
    }
}

}  // namespace tarnel
