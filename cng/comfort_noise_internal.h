// Steps of the comfort-noise generator that only its own tests call directly.
#pragma once

#include <cstdint>

#include "cng/comfort_noise.h"

namespace tarnel {

void sid_lsf_decode(int sid_switch, int sid_index1, int sid_index2, double (*predictor)[kOrder],
                    double* lsp);

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

}  // namespace tarnel
