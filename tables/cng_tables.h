// Tables of the comfort-noise generator.
#pragma once

#include "dsp/frame.h"
#include "tables/lsp_predictor_tables.h"

namespace tarnel {

// Level of the noise for each 5-bit SID energy index.
inline constexpr double tab_Sidgain[32] = {
    0.502,    1.262,    2.0,      3.17,     5.024,    7.962,    12.619,   15.887,
    20.0,     25.179,   31.698,   39.905,   50.238,   63.246,   79.621,   100.237,
    126.191,  158.866,  200.0,    251.785,  316.979,  399.052,  502.377,  632.456,
    796.214,  1002.374, 1261.915, 1588.656, 2000.0,   2517.851, 3169.786, 3990.525,
};

// SID first-stage index -> row of lspcb1.
inline constexpr int PtrTab_1[32] = {
    96, 52, 20, 54, 86, 114, 82, 68, 36, 121, 48, 92,  18, 120, 94, 124,
    50, 125, 4, 100, 28, 76, 12, 117, 81, 22,  90, 116, 127, 21, 108, 66,
};

// SID second-stage index -> row of lspcb2, for LSF elements 0-4 (row 0) and 5-9 (row 1).
inline constexpr int PtrTab_2[2][16] = {
    {31, 21, 9, 3, 10, 2, 19, 26, 4, 3, 11, 29, 15, 27, 21, 12},
    {16, 1, 0, 0, 8, 25, 22, 20, 19, 23, 20, 31, 4, 31, 20, 31},
};

// Weight of the SID codebook vector, per predictor switch value. These are single-precision
// constants: the float literals round to the nearest float, then widen exactly.
inline constexpr double noise_fg_sum[kLspPredictorModes][kOrder] = {
    {0.2379833f, 0.2577898f, 0.2504044f, 0.25309f, 0.2479934f, 0.2587054f, 0.2577898f,
     0.2656026f, 0.2759789f, 0.2625813f},
    {0.3208838f, 0.3785027f, 0.39165014f, 0.3636098f, 0.34935763f, 0.35615712f, 0.33973816f,
     0.34520096f, 0.36146122f, 0.3493637f},
};

// MA predictor of the SID spectrum, per switch value: set 0 is the speech predictor's set 0,
// set 1 a 0.6 : 0.4 mix of its two sets. Built once, at compile time, and shared read-only.
struct noise_predictor {
    double fg[kLspPredictorModes][kLspPredictorOrder][kOrder];
};

constexpr noise_predictor cng_build_noise_predictor() {
    noise_predictor p{};
    for (int k = 0; k < kLspPredictorOrder; ++k) {
        for (int i = 0; i < kOrder; ++i) {
            p.fg[0][k][i] = fg[0][k][i];
            p.fg[1][k][i] = 0.6 * fg[0][k][i] + 0.4 * fg[1][k][i];
        }
    }
    return p;
}

inline constexpr noise_predictor noise_fg = cng_build_noise_predictor();

}  // namespace tarnel
