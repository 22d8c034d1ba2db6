// Long-term predictor: open- and closed-loop pitch search, adaptive codebook, lag coding,
// pitch gain and the taming of the pitch gain.
#pragma once

#include "dsp/frame.h"

namespace tarnel {

// wsp: the frame's n = 80 weighted speech samples, with 143 readable before them.
// (Implemented in pitch_open_loop.cpp.)
int pitch_open_loop(const double* wsp, int n);

// First-subframe closed-loop range around the open-loop lag: always 7 lags in 20..143.
void pitch_search_range(int t_op, int* t_min, int* t_max);

// d[i] = sum over j = i..39 of x[j] * h[j - i].
void target_correlation(const double* h, const double* x, double* d);

// Returns T0 and writes frac; exc[0..39] then holds the adaptive-codebook vector.
int pitch_closed_loop(double* exc, const double* x, const double* h, int n, int t_min, int t_max,
                      int subframe_start, int* frac_out);

// Overwrites exc[0..n-1] with the past excitation interpolated at delay t0 + frac/3.
void adaptive_codebook_vector(double* exc, int t0, int frac, int n);

// Pitch index; in the first subframe also sets the second subframe's range.
int encode_lag(int t0, int frac, int* t_min_io, int* t_max_io, int pit_min, int pit_max,
               int subframe_start);

// In the second subframe t0_io holds the first subframe's T0 on entry.
void decode_lag(int index, int pit_min, int pit_max, int subframe_start, int* t0_io, int* frac_out);

// Unquantized pitch gain in [0, 1.2]; writes g_coeff[0] and g_coeff[1].
double pitch_gain(const double* x, const double* y1, double* g_coeff, int n);

// Zones of 40 past excitation samples the taming memory follows, newest first.
constexpr int kTamingZones = 4;

// taming_memory e[0..3], e[0] the most recent subframe. True when the pitch gain must be held
// down in this subframe.
bool taming_test(const double* taming_memory, int t0, int frac);
void taming_update(double* taming_memory, int t0, double gp);

}  // namespace tarnel
