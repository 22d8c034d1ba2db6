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

// Lag, pulses and adaptive gain of one subframe, taken from its first three draws.
struct cng_subframe_draw {
    int t0;          // 40..103
    int frac;        // -1, 0 or 1
    int pos[4];      // one pulse on each track 5n, 5n+1, 5n+2, 5n+3 or 5n+4
    double sign[4];  // +1.0 or -1.0
    double gp;       // 0 .. 8191/16384
};
void cng_draw_subframe(int16_t* seed, cng_subframe_draw* d);

// 40 Gaussian-like samples from 12 draws each, unscaled; returns their energy.
double cng_gaussian(int16_t* seed, double* e);

// Root of smaller magnitude of 4 G^2 + 2 b G + c = 0 given delta = b^2 - 4c >= 0,
// limited to +-5000; on equal magnitudes the root -(sqrt(delta) + b)/4 wins.
double cng_pulse_gain(double b, double delta);

// seed = seed * 31821 + 13849 modulo 2^16, as a signed 16-bit value; returns the new seed.
int16_t cng_random(int16_t* seed);

}  // namespace tarnel
