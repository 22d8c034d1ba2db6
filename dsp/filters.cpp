#include "dsp/filters.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/filters_avx.h"
#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "dsp/recursion.h"
#include "dsp/wide_lanes.h"

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

namespace {

// Registers of a job's memory (newest first) and back: the memory is read before any output
// is written, which is what lets it lie inside the job's own buffers.
void finish_job(const synthesis_job& job, const double* newest_first) {
    if (!job.update) return;
    double tail[kOrder];
    for (int j = 0; j < kOrder; ++j) tail[j] = newest_first[kOrder - 1 - j];
    update_synthesis_memory(tail, job.mem);
}

}  // namespace

void synthesis_filter_pair(const synthesis_job& first, const synthesis_job& second, int n) {
    // One lane per job; each lane takes the scalar filter's steps in the scalar order, and
    // reads each input sample in the step that may overwrite it, as the scalar filter does.
    if (n > kSubframe) n = kSubframe;
    lane2 a[kLpSize];
    for (int k = 1; k <= kOrder; ++k) a[k] = lane2{first.a[k], second.a[k]};
    lane2 past[kOrder];
    for (int j = 0; j < kOrder; ++j)
        past[j] = lane2{first.mem[kOrder - 1 - j], second.mem[kOrder - 1 - j]};
    for (int i = 0; i < n; ++i) {
        lane2 s{first.x[i], second.x[i]};
        synthesis_step(s, a, past);
        first.y[i] = s[0];
        second.y[i] = s[1];
    }
    double newest_first[2][kOrder];
    for (int j = 0; j < kOrder; ++j) {
        newest_first[0][j] = past[j][0];
        newest_first[1][j] = past[j][1];
    }
    finish_job(first, newest_first[0]);
    finish_job(second, newest_first[1]);
}

void synthesis_filter_quad(const synthesis_job* jobs, int n) {
    if (n > kSubframe) n = kSubframe;
    if (wide_lanes()) {
        synthesis_filter_quad_avx(jobs, n);
        return;
    }
    // Two lane pairs step by step in one loop: still one chain's latency.
    lane2 a[2][kLpSize];
    lane2 past[2][kOrder];
    for (int g = 0; g < 2; ++g) {
        const synthesis_job& j0 = jobs[2 * g];
        const synthesis_job& j1 = jobs[2 * g + 1];
        for (int k = 1; k <= kOrder; ++k) a[g][k] = lane2{j0.a[k], j1.a[k]};
        for (int j = 0; j < kOrder; ++j)
            past[g][j] = lane2{j0.mem[kOrder - 1 - j], j1.mem[kOrder - 1 - j]};
    }
    for (int i = 0; i < n; ++i) {
        for (int g = 0; g < 2; ++g) {
            lane2 s{jobs[2 * g].x[i], jobs[2 * g + 1].x[i]};
            synthesis_step(s, a[g], past[g]);
            jobs[2 * g].y[i] = s[0];
            jobs[2 * g + 1].y[i] = s[1];
        }
    }
    for (int l = 0; l < 4; ++l) {
        double newest_first[kOrder];
        for (int j = 0; j < kOrder; ++j) newest_first[j] = past[l / 2][j][l % 2];
        finish_job(jobs[l], newest_first);
    }
}

void residual_filter(const double* a, const double* x, double* y, int n) {
    // Outputs are independent sums: eight at a time, in lane pairs (i, i + 1).
    int i = wide_lanes() ? residual_blocks_avx(a, x, y, n) : 0;
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
