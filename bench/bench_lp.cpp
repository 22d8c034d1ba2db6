// Frame-level LP analysis: autocorrelation, lag window, Levinson, LSP conversion, quantizer.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_trace.h"
#include "lpc/lp_analysis.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"

using namespace tarnel;
using namespace tarnel_bench;

namespace {

void BM_Autocorrelation(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    double r[13];
    for (auto _ : state) {
        autocorrelation(t[i].enc.speech, 12, r);
        benchmark::DoNotOptimize(r);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_Autocorrelation);

void BM_LagWindow(benchmark::State& state) {
    const auto& t = encoder_traces();
    double r[13];
    std::memcpy(r, t[0].r, sizeof r);
    for (auto _ : state) {
        lag_window(12, r);
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LagWindow);

void BM_Levinson(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    double a[11];
    for (auto _ : state) {
        levinson(t[i].r, a);
        benchmark::DoNotOptimize(a);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_Levinson);

void BM_LpToLsp(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    double lsp[10];
    for (auto _ : state) {
        lp_to_lsp(t[i].a, lsp, t[i].enc.lsp_old);
        benchmark::DoNotOptimize(lsp);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_LpToLsp);

// The four steps in a row, as the encoder runs them once per frame.
void BM_LpAnalysis(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    double r[13], a[11], lsp[10];
    for (auto _ : state) {
        autocorrelation(t[i].enc.speech, 12, r);
        lag_window(12, r);
        levinson(r, a);
        lp_to_lsp(a, lsp, t[i].enc.lsp_old);
        benchmark::DoNotOptimize(lsp);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_LpAnalysis);

void BM_LspQuantize(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    double predictor[4][10], lsp_q[10];
    int idx[2];
    for (auto _ : state) {
        std::memcpy(predictor, t[i].enc.lsp_predictor, sizeof predictor);
        lsp_quantize(predictor, t[i].lsp_new, lsp_q, idx);
        benchmark::DoNotOptimize(lsp_q);
        benchmark::DoNotOptimize(idx);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_LspQuantize);

void BM_InterpolateLspToLp(benchmark::State& state) {
    const auto& t = encoder_traces();
    size_t i = 0;
    double a_sub[22];
    for (auto _ : state) {
        interpolate_lsp_to_lp(t[i].enc.lsp_old_q, t[i].lsp_new, a_sub);
        benchmark::DoNotOptimize(a_sub);
        if (++i == t.size()) i = 0;
    }
}
BENCHMARK(BM_InterpolateLspToLp);

}  // namespace
