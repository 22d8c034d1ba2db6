// Whole frames through the public codec calls, over the bundled sample in order; concealed
// frames from the states the decoder passes through; and the post-filter on traced synthesis
// frames.
#include "bench_trace.h"

#include <vector>

#include "dsp/wide_lanes.h"

namespace tarnel::bench {
namespace {

// One frame per iteration through a fresh state, started again at the end of the input;
// state.range(0) == 0 keeps to the plain two-lane code even where AVX is available.
template <class State, class Code>
void frames(::benchmark::State& state, size_t count, void (*init)(State*), Code&& code) {
    set_wide_lanes_enabled(state.range(0) != 0);
    State st;
    init(&st);
    size_t f = 0;
    for (auto _ : state) {
        code(&st, f);
        if (++f == count) {
            f = 0;
            init(&st);
        }
    }
    state.SetItemsProcessed(state.iterations());
    set_wide_lanes_enabled(true);
}

void bm_encode_frame(::benchmark::State& state) {
    uint8_t out[kSpeechFrameBytes];
    frames(state, speech().size() / kFrame, g729_encoder_init,
           [&](g729_encoder_state* st, size_t f) {
               int len;
               g729_encode_frame(st, &speech()[f * kFrame], out, &len);
               ::benchmark::DoNotOptimize(out);
           });
}
BENCHMARK(bm_encode_frame)->ArgName("wide")->Arg(1)->Arg(0);

void bm_decode_frame(::benchmark::State& state) {
    int16_t pcm[kFrame];
    frames(state, bitstream().size() / kSpeechFrameBytes, g729_decoder_init,
           [&](g729_decoder_state* st, size_t f) {
               g729_decode_frame(st, pcm, &bitstream()[f * kSpeechFrameBytes], kSpeechFrameBytes);
               ::benchmark::DoNotOptimize(pcm);
           });
}
BENCHMARK(bm_decode_frame)->ArgName("wide")->Arg(1)->Arg(0);

// The states a decoder is in over the sample, every eighth frame (a cache-sized set).
const std::vector<g729_decoder_state>& decoder_states() {
    static const std::vector<g729_decoder_state> states = [] {
        std::vector<g729_decoder_state> out;
        g729_decoder_state st;
        g729_decoder_init(&st);
        int16_t pcm[kFrame];
        for (size_t f = 0; f < bitstream().size() / kSpeechFrameBytes; ++f) {
            if (f % 8 == 0) out.push_back(st);
            g729_decode_frame(&st, pcm, &bitstream()[f * kSpeechFrameBytes], kSpeechFrameBytes);
        }
        return out;
    }();
    return states;
}

// A lost packet, two frames concealed, from each recorded state in turn; the state is copied
// from the record each time (bm_conceal_copies_only is that copy alone). Items are frames.
template <bool Conceal>
void conceal_packets(::benchmark::State& state) {
    g729_decoder_state st;
    int16_t pcm[kFrame];
    over_traces(state, decoder_states(), [&](const g729_decoder_state& from) {
        st = from;
        if (Conceal) {
            g729_conceal_frame(&st, pcm);
            g729_conceal_frame(&st, pcm);
        }
        ::benchmark::DoNotOptimize(pcm);
        ::benchmark::DoNotOptimize(st);
    });
    state.SetItemsProcessed(2 * state.iterations());
}
void bm_conceal_frame(::benchmark::State& state) { conceal_packets<true>(state); }
void bm_conceal_copies_only(::benchmark::State& state) { conceal_packets<false>(state); }
BENCHMARK(bm_conceal_frame);
BENCHMARK(bm_conceal_copies_only);

// The first frame received after such a packet, which rebuilds the pitch history the gap
// left; the concealed state is copied from a record each time, as above. Items are frames.
struct after_gap {
    g729_decoder_state st;
    size_t frame;  // the first frame received after the gap
};
void bm_decode_after_gap(::benchmark::State& state) {
    static const std::vector<after_gap> gaps = [] {
        std::vector<after_gap> out;
        int16_t pcm[kFrame];
        const size_t frames = bitstream().size() / kSpeechFrameBytes;
        for (size_t i = 0; i < decoder_states().size() && 8 * i + 2 < frames; ++i) {
            out.push_back({decoder_states()[i], 8 * i + 2});
            g729_conceal_frame(&out.back().st, pcm);
            g729_conceal_frame(&out.back().st, pcm);
        }
        return out;
    }();
    g729_decoder_state st;
    int16_t pcm[kFrame];
    over_traces(state, gaps, [&](const after_gap& g) {
        st = g.st;
        g729_decode_frame(&st, pcm, &bitstream()[g.frame * kSpeechFrameBytes], kSpeechFrameBytes);
        ::benchmark::DoNotOptimize(pcm);
        ::benchmark::DoNotOptimize(st);
    });
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(bm_decode_after_gap);

// The filter works in place: syn and its state are restored from the trace each time
// (about 2 kB of copies, the whole of bm_postfilter_copies_only).
template <bool Filter>
void postfilter_frames(::benchmark::State& state) {
    double syn[kFrame];
    postfilter_state pf;
    over_traces(state, decoder_traces(), [&](const decoder_trace& t) {
        std::copy(t.syn, t.syn + kFrame, syn);
        pf = t.pf;
        if (Filter) postfilter(&pf, syn, t.a_sub, t.lags, true);
        ::benchmark::DoNotOptimize(syn);
        ::benchmark::DoNotOptimize(pf);
    });
}
void bm_postfilter(::benchmark::State& state) { postfilter_frames<true>(state); }
void bm_postfilter_copies_only(::benchmark::State& state) { postfilter_frames<false>(state); }
BENCHMARK(bm_postfilter);
BENCHMARK(bm_postfilter_copies_only);

}  // namespace
}  // namespace tarnel::bench
