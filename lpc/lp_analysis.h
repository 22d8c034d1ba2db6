// Encoder front end: input high-pass filter and per-frame LP analysis.
#pragma once

namespace tarnel {

// Lags of the frame's autocorrelation, all lag-windowed; the recursion uses r[0..10] only.
constexpr int kAnalysisLags = 12;

// state: x1, x2, y1, y2. Filters n samples in place.
void preprocess(double* state, double* signal, int n);

// Windowed autocorrelation r[0..m] of the 240-sample analysis buffer x (not modified).
void autocorrelation(const double* x, int m, double* r);

// r[k] *= lag_window_table[k], k = 0..m (entry 0 is the white-noise correction).
void lag_window(int m, double* r);

// Levinson-Durbin recursion, order 10: r[0..10] -> a[0..10].
void levinson(const double* r, double* a);

}  // namespace tarnel
