// Steps of the gain quantizer that only its own tests call directly.
#pragma once

#include "excitation/gain_quantizer.h"
#include "tables/gain_tables.h"

namespace tarnel {

void gain_predict(const double* mem, const double* code, int n, double* gcode0_out);

// Shifts the energy memory and puts 20 log10 g in front, for g = gbk1[r1].code +
// gbk2[r2].code (from correction_energies()).
void gain_update_rows(double* mem, int r1, int r2);

struct correction_energy_table {
    double db[kGainRows1][kGainRows2];  // 20 log10(gbk1[r1].code + gbk2[r2].code)
};
const correction_energy_table& correction_energies();

}  // namespace tarnel
