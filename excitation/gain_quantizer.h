// Joint 7-bit quantization of the pitch and code gains with MA-predicted code-gain energy.
#pragma once

namespace tarnel {

// g[2..4] of the gain correlations from the target x, filtered adaptive vector y1 and
// filtered code vector y2.
void code_gain_correlations(const double* x, const double* y1, const double* y2, double* g);

// mem: past quantized energies (dB), newest first. Returns the 7-bit gain index.
int gain_quantize(double* mem, const double* code, const double* g, int n, double* gp_out,
                  double* gc_out, bool tame);

void gain_decode(double* mem, int index, const double* code, int n, double* gp_out, double* gc_out);

// The pitch gain a 7-bit index names: unlike the code gain it needs no memory.
double gain_index_pitch(int index);

// 20 log10 of the code-gain correction factor a 7-bit index names: what gain_decode pushes
// into the memory, which needs no memory either.
double gain_index_correction_db(int index);

// The memory's value at reset (dB): the level of a past with no sound in it.
constexpr double kGainPredictorFloor = -14.0;

}  // namespace tarnel
