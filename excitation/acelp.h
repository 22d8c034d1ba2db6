// Algebraic codebook: four signed pulses on interleaved tracks, 17 bits per subframe.
#pragma once

#include "dsp/filters.h"
#include "dsp/frame.h"

namespace tarnel {

// Bounds of the pitch-sharpening factor carried from one subframe to the next; it starts at
// the lower bound, and comfort noise sets it back there.
constexpr double kSharpMin = 0.2;
constexpr double kSharpMax = 0.7945;

// A subframe's quantized pitch gain as the next subframe's sharpening factor.
double clip_pitch_sharp(double gp);

// Adds v[n - t0] * sharp to v[n] for n = t0..39 in increasing n (nothing for t0 >= 40), so
// that the code contributes periodicity.
void acelp_sharpen(double* v, int t0, double sharp);

// x: codebook target; h: impulse response, sharpened in place. Writes the sharpened code
// vector, its filtered version y and the 4-bit sign index; returns the 13-bit position index.
// Exactly acelp_correlate followed by acelp_search_correlated.
int acelp_search(const double* x, double* h, int t0, double sharp, double* code, double* y,
                 int* sign_out);

// The impulse correlations Phi(p, q) = sum over m = 0..39 - max(p, q) of h[m] h[m + |q - p|]
// are the running sums of each lag, walked from the start of the response: row m + 1 of
// `run` holds every lag's sum after term m, row 0 is zero.
struct acelp_correlations {
    double run[kSubframe + 1][kSubframe];
    double half[kSubframe];  // 0.5 * Phi(p, p)
};

// The first half of the search, which needs no target: sharpens h in place and builds its
// correlations. `beside`, an unrelated synthesis filter over 40 samples (or null), runs step
// by step between the correlations' rows, where the processor has AVX: each is a chain of
// dependent operations that leaves room for the other.
void acelp_correlate(double* h, int t0, double sharp, acelp_correlations* c,
                     const synthesis_job* beside);

// The second half, on the target x and the h and c acelp_correlate left.
int acelp_search_correlated(const double* x, const double* h, const acelp_correlations& c,
                            int t0, double sharp, double* code, double* y, int* sign_out);

// Unsharpened code vector of the given sign and position indices.
void acelp_decode(int sign, int index, double* code);

}  // namespace tarnel
