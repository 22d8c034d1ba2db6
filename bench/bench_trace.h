// Inputs of every benchmarked stage, recorded from the encoder and decoder running over the
// bundled speech sample, so that each stage is timed on the data it really sees.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"

namespace tarnel_bench {

// One encoder subframe at the point where its closed-loop pitch search starts.
struct subframe_trace {
    double exc[234];     // excitation buffer, this subframe at 154
    double x[40];        // pitch target
    double h[40];        // impulse response of the weighted synthesis filter
    double x2[40];       // codebook target
    int t_min, t_max, sub;
    int t0;
    double sharp;
};

struct frame_trace {
    tarnel::g729_encoder_state enc;  // state as the frame's analysis starts
    double r[13];                    // autocorrelations after the lag window
    double a[11];                    // LP vector
    double lsp_new[10];
    double wsp[223];                 // weighted speech, current frame at 143
    subframe_trace sf[2];
};

struct decoder_trace {
    tarnel::g729_decoder_state dec;  // state before the frame
    uint8_t bits[10];
    double syn[90];                  // synthesis before the post-filter, frame at 10
    double a_sub[22];
    int lags[2];
    tarnel::postfilter_state pf;     // post-filter state before the frame
};

const std::vector<int16_t>& speech();
const std::vector<frame_trace>& encoder_traces();
const std::vector<uint8_t>& bitstream();
const std::vector<decoder_trace>& decoder_traces();

}  // namespace tarnel_bench
