// Decoder post-filter on traced synthesis frames.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_trace.h"
#include "lpc/postfilter.h"

using namespace tarnel;
using namespace tarnel_bench;

namespace {

// The filter works in place: syn and its state are restored from the trace each time
// (about 2 kB of copies, included in the figure).
void BM_Postfilter(benchmark::State& state) {
    const auto& t = decoder_traces();
    size_t i = 0;
    double syn[90];
    postfilter_state pf;
    for (auto _ : state) {
        std::memcpy(syn, t[i].syn, sizeof syn);
        pf = t[i].pf;
        postfilter(&pf, syn + 10, t[i].a_sub, t[i].lags, 1);
        benchmark::DoNotOptimize(syn);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_Postfilter);

void BM_PostfilterCopiesOnly(benchmark::State& state) {
    const auto& t = decoder_traces();
    size_t i = 0;
    double syn[90];
    postfilter_state pf;
    for (auto _ : state) {
        std::memcpy(syn, t[i].syn, sizeof syn);
        pf = t[i].pf;
        benchmark::DoNotOptimize(syn);
        benchmark::DoNotOptimize(pf);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_PostfilterCopiesOnly);

}  // namespace
