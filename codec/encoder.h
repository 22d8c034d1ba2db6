// Encoder frame pipeline: 80 linear samples in, one 10-byte speech frame out.
#pragma once

#include <cstdint>

#include "codec/bitstream.h"
#include "dsp/filters.h"
#include "dsp/frame.h"
#include "excitation/pitch.h"

namespace tarnel {

// Where the frame being coded and the newest samples sit in the analysis window; the 40
// samples after the frame are the analysis' look-ahead.
constexpr int kCurrentSpeech = kAnalysisWindow - kFrame - kSubframe;
constexpr int kNewSpeech = kAnalysisWindow - kFrame;

struct g729_encoder_state {
    double speech[kAnalysisWindow];    // analysis window; current frame at 120, new samples at 160
    double wsp[kPitchMax + kFrame];    // weighted speech: 143 past, then the current frame
    double exc[kExcHistory + kFrame];  // excitation: 154 past, then the current frame
    double lsp_old[kOrder];            // previous unquantized LSPs (root-search fallback)
    double lsp_old_q[kOrder];          // previous quantized LSPs (interpolation start)
    double target_mem[kOrder];         // weighted synthesis filter memory for the pitch target
    double weight_mem[kOrder];         // memory of the weighted-speech filter
    double pitch_sharp;                // last quantized pitch gain, clipped to 0.2..0.7945
    double lsp_predictor[kLspPredictorOrder][kOrder];   // MA memory of the LSP quantizer
    double taming_memory[kTamingZones];                 // taming zones, newest first
    double gain_predictor_memory[kGainPredictorOrder];  // past quantized code-gain energies (dB)
    double preprocess_state[kBiquadMemory];             // x1, x2, y1, y2 of the input high-pass
};
constexpr int kEncoderStateDoubles =
    kAnalysisWindow + (kPitchMax + kFrame) + (kExcHistory + kFrame) + 4 * kOrder + 1 +
    kLspPredictorOrder * kOrder + kTamingZones + kGainPredictorOrder + kBiquadMemory;
static_assert(sizeof(g729_encoder_state) == kEncoderStateDoubles * sizeof(double),
              "g729_encoder_state is the listed doubles");

void g729_encoder_init(g729_encoder_state* st);
int g729_encode_frame(g729_encoder_state* st, const int16_t* pcm, uint8_t* out, int* out_len);

// The analysis of the frame whose new samples are already in place at kNewSpeech (high-pass
// filtered), as g729_encode_frame runs it.
void g729_analyse_frame(g729_encoder_state* st, g729_params* params);

}  // namespace tarnel
