// Joint 7-bit quantization of the pitch and code gains with MA-predicted code-gain energy.
#pragma once

namespace tarnel {

// g[2..4] of the gain correlations from the target x, filtered adaptive vector y1 and
// filtered code vector y2.
void code_gain_correlations(const double* x, const double* y1, const double* y2, double* g);

// mem: past quantized energies (dB), newest first. Returns the 7-bit gain index.
int gain_quantize(double* mem, const double* code, const double* g, int n, double* gp_out,
                  double* gc_out, bool tame);

void gain_decode(double* mem, int index, const double* code, int n, double* gp_out,
                 double* gc_out);

// The memory's value at reset (dB): the quietest past it is given when gains go missing.
constexpr double kGainPredictorFloor = -14.0;

// A subframe whose gains never arrived: the memory shifts in the mean of its entries lowered
// by db, not below the floor, so that the gain of the next received subframe is predicted
// from a past as loud as the one that was played.
void gain_predictor_fade(double* mem, double db);

}  // namespace tarnel
