// Order-10 synthesis and residual filters, bandwidth expansion and vector helpers.
#pragma once

namespace tarnel {

// Recursive filter memories below this magnitude are stored as exactly 0.0, so that they
// never decay for ever through denormal-sized values.
constexpr double flush_threshold = 2e-5;

// y = x filtered by 1/A(z), n <= 40. mem[9] is y[-1] ... mem[0] is y[-10]. y may alias x,
// and mem may lie inside x or y. With update set, mem takes the last 10 outputs (flushed).
void synthesis_filter(const double* a, const double* x, double* y, int n, double* mem, int update);

// y = x filtered by A(z); reads x[-10..-1] from the caller's buffer. y must not overlap x.
void residual_filter(const double* a, const double* x, double* y, int n);

// ap[i] = a[i] * gamma^i, powers by repeated multiplication.
void weight_lp(const double* a, int m, double* ap, double gamma);

// Ascending copy: safe for moves towards the start of a buffer.
void copy_vector(const double* src, double* dst, int n);
void zero_vector(double* v, int n);

}  // namespace tarnel
