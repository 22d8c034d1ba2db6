// Inputs of every benchmarked stage, recorded from the encoder and decoder running over the
// bundled speech sample, so that each stage is timed on the data it really sees; and the loop
// every benchmark runs over them.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "lpc/lp_analysis.h"

namespace tarnel::bench {

// One encoder subframe at the point where its closed-loop pitch search starts.
struct subframe_trace {
    double exc[kExcHistory + kFrame];  // excitation buffer, this subframe at 154 + sub
    double x[kSubframe];               // pitch target
    double h[kSubframe];               // impulse response of the weighted synthesis filter
    double x2[kSubframe];              // codebook target
    int t_min, t_max, sub;
    int t0;
    double sharp;
};

struct frame_trace {
    g729_encoder_state enc;       // state as the frame's analysis starts
    double r[kAnalysisLags + 1];  // autocorrelations after the lag window
    double a[kLpSize];            // LP vector
    double lsp_new[kOrder];
    double wsp[kPitchMax + kFrame];  // weighted speech, current frame at 143
    subframe_trace sf[kSubframes];
};

struct decoder_trace {
    double syn[kFrame];  // synthesis before the post-filter
    double a_sub[kLpPair];
    int lags[kSubframes];
    postfilter_state pf;  // post-filter state before the frame
};

const std::vector<int16_t>& speech();
const std::vector<uint8_t>& bitstream();
const std::vector<frame_trace>& encoder_traces();
const std::vector<subframe_trace>& subframe_traces();  // both subframes of every frame
const std::vector<decoder_trace>& decoder_traces();

// Runs step on one trace per iteration, cycling through them.
template <class Trace, class Step>
void over_traces(::benchmark::State& state, const std::vector<Trace>& traces, Step&& step) {
    size_t i = 0;
    for (auto _ : state) {
        step(traces[i]);
        if (++i == traces.size()) i = 0;
    }
}

}  // namespace tarnel::bench
