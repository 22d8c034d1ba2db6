// Algebraic codebook search, including its correlation matrix.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_trace.h"
#include "excitation/acelp.h"

using namespace tarnel;
using namespace tarnel_bench;

namespace {

void BM_AcelpSearch(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    int s = 0;
    double h[40], code[40], y[40];
    for (auto _ : state) {
        const subframe_trace& sf = t[i].sf[s];
        std::memcpy(h, sf.h, sizeof h);  // sharpened in place
        int sign;
        benchmark::DoNotOptimize(acelp_search(sf.x2, h, sf.t0, sf.sharp, code, y, &sign));
        benchmark::DoNotOptimize(y);
        if (++s == 2) {
            s = 0;
            if (++i == t.size()) i = 0;
        }
    }
}
BENCHMARK(BM_AcelpSearch);

}  // namespace
