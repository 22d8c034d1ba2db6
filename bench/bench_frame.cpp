// Whole frames through the public codec calls, over the bundled sample in order.
#include <benchmark/benchmark.h>

#include "bench_trace.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "dsp/wide_lanes.h"

using namespace tarnel;
using namespace tarnel_bench;

namespace {

// state.range(0) == 0 keeps to the plain two-lane code even where AVX is available.
void BM_EncodeFrame(benchmark::State& state) {
    set_wide_lanes_enabled(state.range(0) != 0);
    const auto& pcm = speech();
    const size_t frames = pcm.size() / kFrame;
    g729_encoder_state st;
    g729_encoder_init(&st);
    size_t f = 0;
    uint8_t out[10];
    int len;
    for (auto _ : state) {
        g729_encode_frame(&st, &pcm[f * kFrame], out, &len);
        benchmark::DoNotOptimize(out);
        if (++f == frames) {
            f = 0;
            g729_encoder_init(&st);
        }
    }
    state.SetItemsProcessed(state.iterations());
    set_wide_lanes_enabled(true);
}
BENCHMARK(BM_EncodeFrame)->ArgName("wide")->Arg(1)->Arg(0);

void BM_DecodeFrame(benchmark::State& state) {
    set_wide_lanes_enabled(state.range(0) != 0);
    const auto& bits = bitstream();
    const size_t frames = bits.size() / 10;
    g729_decoder_state st;
    g729_decoder_init(&st);
    size_t f = 0;
    int16_t pcm[kFrame];
    for (auto _ : state) {
        g729_decode_frame(&st, pcm, &bits[f * 10], 10);
        benchmark::DoNotOptimize(pcm);
        if (++f == frames) {
            f = 0;
            g729_decoder_init(&st);
        }
    }
    state.SetItemsProcessed(state.iterations());
    set_wide_lanes_enabled(true);
}
BENCHMARK(BM_DecodeFrame)->ArgName("wide")->Arg(1)->Arg(0);

}  // namespace
