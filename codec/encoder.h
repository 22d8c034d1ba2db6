// Encoder frame pipeline: 80 linear samples in, one 10-byte speech frame out.
#pragma once

#include <cstdint>

#include "codec/bitstream.h"
#include "dsp/frame.h"

namespace tarnel {

struct g729_encoder_state {
    double speech[240];          // analysis window; current frame at 120, new samples at 160
    double wsp[223];             // weighted speech: 143 past, then the current frame at 143
    double exc[234];             // excitation: 154 past, then the current frame at 154
    double lsp_old[10];          // previous unquantized LSPs (root-search fallback)
    double lsp_old_q[10];        // previous quantized LSPs (interpolation start)
    double target_mem[10];       // weighted synthesis filter memory for the pitch target
    double weight_mem[10];       // memory of the weighted-speech filter
    double zero_mem[10];         // stays zero
    double pitch_sharp;          // last quantized pitch gain, clipped to 0.2..0.7945
    double lsp_predictor[4][10]; // MA memory of the LSP quantizer
    double taming_memory[4];     // taming zones, newest first
    double gain_predictor_memory[4];  // past quantized code-gain energies (dB)
    double preprocess_state[4];  // x1, x2, y1, y2 of the input high-pass filter
};

void g729_encoder_init(g729_encoder_state* st);
int g729_encode_frame(g729_encoder_state* st, const int16_t* pcm, uint8_t* out, int* out_len);
void g729_analyse_frame(g729_encoder_state* st, g729_params* params);

}  // namespace tarnel
