// Frame-level LP analysis: autocorrelation, lag window, Levinson, LSP conversion, quantizer.
#include <cstring>

#include "bench_trace.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"

namespace tarnel::bench {
namespace {

void bm_autocorrelation(::benchmark::State& state) {
    double r[kAnalysisLags + 1];
    over_traces(state, encoder_traces(), [&](const frame_trace& t) {
        autocorrelation(t.enc.speech, kAnalysisLags, r);
        ::benchmark::DoNotOptimize(r);
    });
}
BENCHMARK(bm_autocorrelation);

void bm_lag_window(::benchmark::State& state) {
    double r[kAnalysisLags + 1];
    std::memcpy(r, encoder_traces()[0].r, sizeof r);
    for (auto _ : state) {
        lag_window(kAnalysisLags, r);
        ::benchmark::DoNotOptimize(r);
        ::benchmark::ClobberMemory();
    }
}
BENCHMARK(bm_lag_window);

void bm_levinson(::benchmark::State& state) {
    double a[kLpSize];
    over_traces(state, encoder_traces(), [&](const frame_trace& t) {
        levinson(t.r, a);
        ::benchmark::DoNotOptimize(a);
    });
}
BENCHMARK(bm_levinson);

void bm_lp_to_lsp(::benchmark::State& state) {
    double lsp[kOrder];
    over_traces(state, encoder_traces(), [&](const frame_trace& t) {
        lp_to_lsp(t.a, lsp, t.enc.lsp_old);
        ::benchmark::DoNotOptimize(lsp);
    });
}
BENCHMARK(bm_lp_to_lsp);

// The four steps in a row, as the encoder runs them once per frame.
void bm_lp_analysis(::benchmark::State& state) {
    double r[kAnalysisLags + 1], a[kLpSize], lsp[kOrder];
    over_traces(state, encoder_traces(), [&](const frame_trace& t) {
        autocorrelation(t.enc.speech, kAnalysisLags, r);
        lag_window(kAnalysisLags, r);
        levinson(r, a);
        lp_to_lsp(a, lsp, t.enc.lsp_old);
        ::benchmark::DoNotOptimize(lsp);
    });
}
BENCHMARK(bm_lp_analysis);

void bm_lsp_quantize(::benchmark::State& state) {
    double predictor[kLspPredictorOrder][kOrder], lsp_q[kOrder];
    int idx[2];
    over_traces(state, encoder_traces(), [&](const frame_trace& t) {
        std::memcpy(predictor, t.enc.lsp_predictor, sizeof predictor);
        lsp_quantize(predictor, t.lsp_new, lsp_q, idx);
        ::benchmark::DoNotOptimize(lsp_q);
        ::benchmark::DoNotOptimize(idx);
    });
}
BENCHMARK(bm_lsp_quantize);

void bm_interpolate_lsp_to_lp(::benchmark::State& state) {
    double a_sub[kLpPair];
    over_traces(state, encoder_traces(), [&](const frame_trace& t) {
        interpolate_lsp_to_lp(t.enc.lsp_old_q, t.lsp_new, a_sub);
        ::benchmark::DoNotOptimize(a_sub);
    });
}
BENCHMARK(bm_interpolate_lsp_to_lp);

}  // namespace
}  // namespace tarnel::bench
