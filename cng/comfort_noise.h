// Comfort noise from SID frames: spectrum, smoothed level and random excitation.
#pragma once

#include <cstdint>

namespace tarnel {

struct cng_state {
    double cur_gain;            // level now generated: subframe energy is 40 * cur_gain^2
    double sid_lsp[10];         // LSPs of the last SID frame
    double sid_gain;            // level sent in the last SID frame
    double noise_fg[2][4][10];  // MA predictor of the SID spectrum, per switch value
};

void cng_build_noise_predictor(double (*noise_fg)[4][10]);
void cng_init(cng_state* st);

// One SID frame: writes 80 excitation samples (past excitation readable before exc),
// updates lsp_prev to the SID LSPs and writes the two subframes' LP vectors to a_sub.
void cng_decode_sid(cng_state* st, int prev_frame_type, int sid_switch, int sid_index1,
                    int sid_index2, int energy_index, double* exc, double* lsp_prev,
                    double* a_sub, int16_t* seed, double (*predictor)[10]);

void sid_lsf_decode(const double (*noise_fg)[4][10], int sid_switch, int sid_index1,
                    int sid_index2, double (*predictor)[10], double* lsp);

void cng_excitation(double* exc, double gain, int16_t* seed);

// seed = seed * 31821 + 13849 modulo 2^16, as a signed 16-bit value; returns the new seed.
int16_t cng_random(int16_t* seed);

}  // namespace tarnel
