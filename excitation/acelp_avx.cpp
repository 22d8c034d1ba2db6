#include "excitation/acelp_avx.h"

#include "dsp/recursion.h"
#include "dsp/wide_lanes.h"

namespace tarnel {

#if TARNEL_HAVE_WIDE_LANES

namespace {

TARNEL_WIDE_INLINE void rows(const double* hp, double (*run)[kSubframe], lane4* acc, int m) {
    const lane4 hm = splat4(hp[m]);
#pragma GCC unroll 10
    for (int g = 0; g < 10; ++g) {
        acc[g] += hm * load4(hp + m + 4 * g);
        store4(run[m + 1] + 4 * g, acc[g]);
    }
}

}  // namespace

TARNEL_WIDE void correlation_rows_avx(const double* hp, double (*run)[kSubframe],
                                      const synthesis_job* beside) {
    // Every lag's sum stays in a register from row to row; lanes past the triangle sum
    // products of the zero padding and are never read.
    lane4 acc[10];
    for (lane4& a : acc) a = splat4(0.0);
    if (!beside) {
        for (int m = 0; m < kSubframe; ++m) rows(hp, run, acc, m);
        return;
    }
    // The synthesis as synthesis_filter takes its steps, one beside each row: its chain of
    // dependent operations leaves the rows' arithmetic room.
    const synthesis_job& job = *beside;
    double past[kOrder];
    for (int j = 0; j < kOrder; ++j) past[j] = job.mem[kOrder - 1 - j];
    for (int m = 0; m < kSubframe; ++m) {
        double s = job.x[m];
        synthesis_step(s, job.a, past);
        job.y[m] = s;
        rows(hp, run, acc, m);
    }
    if (job.update) {
        double tail[kOrder];
        for (int j = 0; j < kOrder; ++j) tail[j] = past[kOrder - 1 - j];
        update_synthesis_memory(tail, job.mem);
    }
}

#else

void correlation_rows_avx(const double*, double (*)[kSubframe], const synthesis_job*) {}

#endif

}  // namespace tarnel
