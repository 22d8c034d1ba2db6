// Comfort noise from SID frames: spectrum, smoothed level and random excitation.
#pragma once

#include <cstdint>

#include "dsp/frame.h"

namespace tarnel {

struct cng_state {
    double cur_gain;         // level now generated: subframe energy is 40 * cur_gain^2
    double sid_lsp[kOrder];  // LSPs of the last SID frame
    double sid_gain;         // level sent in the last SID frame
};
constexpr int kCngStateDoubles = 1 + kOrder + 1;
static_assert(sizeof(cng_state) == kCngStateDoubles * sizeof(double),
              "cng_state is the listed doubles");

void cng_init(cng_state* st);

// One SID frame: writes 80 excitation samples (past excitation readable before exc),
// updates lsp_prev to the SID LSPs, pushes the SID codebook vector into the LSP predictor
// memory and writes the two subframes' LP vectors to a_sub. new_burst: the previous frame
// was speech, so the noise starts at the sent level instead of gliding towards it.
void cng_decode_sid(cng_state* st, bool new_burst, int sid_switch, int sid_index1, int sid_index2,
                    int energy_index, double* exc, double* lsp_prev, double* a_sub, int16_t* seed,
                    double (*predictor)[kOrder]);

// A frame of a silence period that brought no SID frame: the noise goes on with the last SID
// frame's spectrum, its level still gliding towards the last sent one. Writes the excitation,
// lsp_prev and a_sub as cng_decode_sid does; the LSP predictor memory is left alone.
void cng_continue(cng_state* st, double* exc, double* lsp_prev, double* a_sub, int16_t* seed);

// seed = seed * 31821 + 13849 modulo 2^16, as a signed 16-bit value; returns the new seed.
int16_t cng_random(int16_t* seed);

}  // namespace tarnel
