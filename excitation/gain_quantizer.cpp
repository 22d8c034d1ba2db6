#include "excitation/gain_quantizer.h"

#include <cmath>

#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "excitation/gain_quantizer_internal.h"
#include "tables/gain_tables.h"

namespace tarnel {

namespace {

// The energy of a subframe's code vector when it is four unit pulses, as every vector is that
// the pitch sharpening leaves alone: zeros add nothing to the sum, so it is 0.01 + 1 + 1 + 1 +
// 1 in that order wherever the pulses sit.
double unit_pulses_energy() {
    double e = 0.01;
    for (int i = 0; i < 4; ++i) e += 1.0 * 1.0;
    return e;
}

// log10 of that energy over 40, the library's own result, computed on first use: most
// subframes take their logarithm from here.
double unit_pulses_log_energy() {
    static const double log_energy = std::log10(unit_pulses_energy() / kSubframe);
    return log_energy;
}

// Number of leading thresholds that v exceeds strictly; a NaN v exceeds none.
int leading_count(double v, const double* thr, int count, double gcode0) {
    int k = 0;
    while (k < count && v > thr[k] * gcode0) ++k;
    return k;
}

}  // namespace

void code_gain_correlations(const double* x, const double* y1, const double* y2, double* g) {
    // The first two sums side by side, one per lane.
    lane2 s2x = splat2(0.01);
    double s12 = 0.01;
    for (int i = 0; i < kSubframe; ++i) {
        s2x += lane2{y2[i], x[i]} * splat2(y2[i]);
        s12 += y1[i] * y2[i];
    }
    const double s22 = s2x[0];
    const double sx2 = s2x[1];
    g[2] = s22;
    g[3] = -2.0 * sx2;
    g[4] = 2.0 * s12;
}

void gain_predict(const double* mem, const double* code, int n, double* gcode0_out) {
    double e = 0.01;
    for (int i = 0; i < n; ++i) e += code[i] * code[i];
    const double log_energy =
        n == kSubframe && e == unit_pulses_energy() ? unit_pulses_log_energy() : std::log10(e / n);
    double p = gain_mean_energy - 10.0 * log_energy;
    for (int i = 0; i < kGainPredictorOrder; ++i) p = p + gain_pred[i] * mem[i];
    *gcode0_out = std::pow(10.0, p / 20.0);
}

const correction_energy_table& correction_energies() {
    // A codebook pair can only form these 128 factors; the library's own results for them,
    // computed on first use, take the logarithm off every subframe's path.
    static const correction_energy_table table = [] {
        correction_energy_table t;
        for (int r1 = 0; r1 < kGainRows1; ++r1)
            for (int r2 = 0; r2 < kGainRows2; ++r2)
                t.db[r1][r2] = 20.0 * std::log10(gbk1[r1].code + gbk2[r2].code);
        return t;
    }();
    return table;
}

void gain_update_rows(double* mem, int r1, int r2) {
    for (int i = kGainPredictorOrder - 1; i > 0; --i) mem[i] = mem[i - 1];
    mem[0] = correction_energies().db[r1][r2];
}

double gain_index_pitch(int index) {
    return gbk1[imap1[(index >> 4) & 7]].pitch + gbk2[imap2[index & 15]].pitch;
}

double gain_index_correction_db(int index) {
    return correction_energies().db[imap1[(index >> 4) & 7]][imap2[index & 15]];
}

int gain_quantize(double* mem, const double* code, const double* g, int n, double* gp_out,
                  double* gc_out, bool tame) {
    double gcode0;
    gain_predict(mem, code, n, &gcode0);

    // Unconstrained optimum of the weighted error. When y1 and y2 coincide the denominator
    // vanishes and bp, bc become infinite or NaN: the pre-selection below then still lands
    // on a valid band, and the search only ever uses finite codebook gains.
    const double t = -1.0 / (4.0 * g[0] * g[2] - g[4] * g[4]);
    double bp = (2.0 * g[2] * g[1] - g[4] * g[3]) * t;
    const double bc = (2.0 * g[0] * g[3] - g[4] * g[1]) * t;
    if (tame && bp > 0.94) bp = 0.94;

    // Project the optimum onto the axes along which each codebook is sorted, and start each
    // band at the rows just below it.
    const double a = gain_coef[0][0] * bp;
    const double px = (bc - (a + gain_coef[1][1]) * gcode0) * gain_inv_coef;
    const double py =
        ((a - gain_coef[0][1]) * gain_coef[1][0] * gcode0 - gain_coef[0][0] * bc) * gain_inv_coef;
    const int cand1 = leading_count(py, thr1, 4, gcode0);
    const int cand2 = leading_count(px, thr2, 8, gcode0);

    int r1 = 0, r2 = 0;
    double best = 1e38;
    for (int i = cand1; i < cand1 + 4; ++i) {
        for (int j = cand2; j < cand2 + 8; ++j) {
            const double gp = gbk1[i].pitch + gbk2[j].pitch;
            const double gc = gcode0 * (gbk1[i].code + gbk2[j].code);
            if (tame && gp >= 0.9999) continue;
            const double err =
                (gp * gp) * g[0] + gp * g[1] + (gc * gc) * g[2] + gc * g[3] + gp * gc * g[4];
            if (err < best) {
                best = err;
                r1 = i;
                r2 = j;
            }
        }
    }

    *gp_out = gbk1[r1].pitch + gbk2[r2].pitch;
    const double f = gbk1[r1].code + gbk2[r2].code;
    *gc_out = gcode0 * f;
    gain_update_rows(mem, r1, r2);
    return map1[r1] * 16 + map2[r2];
}

void gain_decode(double* mem, int index, const double* code, int n, double* gp_out,
                 double* gc_out) {
    const int r1 = imap1[(index >> 4) & 7];
    const int r2 = imap2[index & 15];
    *gp_out = gbk1[r1].pitch + gbk2[r2].pitch;
    double gcode0;
    gain_predict(mem, code, n, &gcode0);
    const double f = gbk1[r1].code + gbk2[r2].code;
    *gc_out = gcode0 * f;
    gain_update_rows(mem, r1, r2);
}

}  // namespace tarnel
