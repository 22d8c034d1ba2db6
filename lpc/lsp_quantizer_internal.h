// Steps of the LSP quantizer that only its own tests call directly.
#pragma once

#include "lpc/lsp_quantizer.h"

namespace tarnel {

void lsf_weights(const double* lsf, double* w);
void lsf_space_low(double* buf, double gap);   // pairs 1..4
void lsf_space_high(double* buf, double gap);  // pairs 5..9
void lsf_reconstruct(int l1, int l2, int l3, int mode, double (*predictor)[kOrder], double* lsf_q);

}  // namespace tarnel
