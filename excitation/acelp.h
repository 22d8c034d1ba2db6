// Algebraic codebook: four signed pulses on interleaved tracks, 17 bits per subframe.
#pragma once

namespace tarnel {

// x: codebook target; h: impulse response, sharpened in place. Writes the sharpened code
// vector, its filtered version y and the 4-bit sign index; returns the 13-bit position index.
int acelp_search(const double* x, double* h, int t0, double sharp, double* code, double* y,
                 int* sign_out);

// Unsharpened code vector of the given sign and position indices.
void acelp_decode(int sign, int index, double* code);

}  // namespace tarnel
