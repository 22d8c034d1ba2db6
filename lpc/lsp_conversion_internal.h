// Steps of the LSP conversion that only its own tests (and those of the quantizer) call
// directly.
#pragma once

#include "lpc/lsp_conversion.h"

namespace tarnel {

// Polynomial f[0..5] of the five LSPs lsp[0], lsp[2], ..., lsp[8] (every other entry).
void lsp_polynomial(const double* lsp, double* f);

// Evaluates the order-5 polynomial f at x by the Chebyshev recurrence.
double chebyshev_eval(double x, const double* f);

}  // namespace tarnel
