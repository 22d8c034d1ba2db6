// Open-loop and closed-loop pitch searches, the adaptive codebook and the algebraic codebook
// search.
#include <cstring>

#include "bench_trace.h"
#include "excitation/acelp.h"
#include "excitation/pitch.h"

namespace tarnel::bench {
namespace {

void bm_pitch_open_loop(::benchmark::State& state) {
    over_traces(state, encoder_traces(), [](const frame_trace& t) {
        ::benchmark::DoNotOptimize(pitch_open_loop(t.wsp + kPitchMax, kFrame));
    });
}
BENCHMARK(bm_pitch_open_loop);

// One subframe's search with its fractional refinement; the excitation buffer it writes is
// restored from the trace each time (a 1.9 kB copy, included in the figure).
void bm_pitch_closed_loop(::benchmark::State& state) {
    double exc[kExcHistory + kFrame];
    over_traces(state, subframe_traces(), [&](const subframe_trace& sf) {
        std::memcpy(exc, sf.exc, sizeof exc);
        int frac;
        ::benchmark::DoNotOptimize(pitch_closed_loop(exc + kExcHistory + sf.sub, sf.x, sf.h,
                                                     kSubframe, sf.t_min, sf.t_max, sf.sub, &frac));
        ::benchmark::DoNotOptimize(frac);
    });
}
BENCHMARK(bm_pitch_closed_loop);

void bm_adaptive_codebook_vector(::benchmark::State& state) {
    double exc[kExcHistory + kFrame];
    over_traces(state, subframe_traces(), [&](const subframe_trace& sf) {
        std::memcpy(exc, sf.exc, sizeof exc);
        adaptive_codebook_vector(exc + kExcHistory, sf.t0, 1, kSubframe);
        ::benchmark::DoNotOptimize(exc);
    });
}
BENCHMARK(bm_adaptive_codebook_vector);

// Includes its correlation matrix.
void bm_acelp_search(::benchmark::State& state) {
    double h[kSubframe], code[kSubframe], y[kSubframe];
    over_traces(state, subframe_traces(), [&](const subframe_trace& sf) {
        std::memcpy(h, sf.h, sizeof h);  // sharpened in place
        int sign;
        ::benchmark::DoNotOptimize(acelp_search(sf.x2, h, sf.t0, sf.sharp, code, y, &sign));
        ::benchmark::DoNotOptimize(y);
    });
}
BENCHMARK(bm_acelp_search);

}  // namespace
}  // namespace tarnel::bench
