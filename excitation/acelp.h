// Algebraic codebook: four signed pulses on interleaved tracks, 17 bits per subframe.
#pragma once

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
int acelp_search(const double* x, double* h, int t0, double sharp, double* code, double* y,
                 int* sign_out);

// Unsharpened code vector of the given sign and position indices.
void acelp_decode(int sign, int index, double* code);

}  // namespace tarnel
