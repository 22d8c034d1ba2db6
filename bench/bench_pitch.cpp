// Open-loop and closed-loop pitch searches.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_trace.h"
#include "excitation/pitch.h"

using namespace tarnel;
using namespace tarnel_bench;

namespace {

void BM_PitchOpenLoop(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pitch_open_loop(t[i].wsp + 143, 80));
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_PitchOpenLoop);

// One subframe's search with its fractional refinement; the excitation buffer it writes is
// restored from the trace each time (a 1.9 kB copy, included in the figure).
void BM_PitchClosedLoop(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    int s = 0;
    double exc[234];
    for (auto _ : state) {
        const subframe_trace& sf = t[i].sf[s];
        std::memcpy(exc, sf.exc, sizeof exc);
        int frac;
        benchmark::DoNotOptimize(pitch_closed_loop(exc + 154 + sf.sub, sf.x, sf.h, 40, sf.t_min,
                                                   sf.t_max, sf.sub, &frac));
        benchmark::DoNotOptimize(frac);
        if (++s == 2) {
            s = 0;
            if (++i == t.size()) i = 0;
        }
    }
}
BENCHMARK(BM_PitchClosedLoop);

void BM_AdaptiveCodebookVector(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    double exc[234];
    for (auto _ : state) {
        const subframe_trace& sf = t[i].sf[0];
        std::memcpy(exc, sf.exc, sizeof exc);
        adaptive_codebook_vector(exc + 154, sf.t0, 1, 40);
        benchmark::DoNotOptimize(exc);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_AdaptiveCodebookVector);

}  // namespace
