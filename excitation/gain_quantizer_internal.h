// Steps of the gain quantizer that only its own tests call directly.
#pragma once

#include "excitation/gain_quantizer.h"

namespace tarnel {

void gain_predict(const double* mem, const double* code, int n, double* gcode0_out);
void gain_update(double* mem, double g);

}  // namespace tarnel
