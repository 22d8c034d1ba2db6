#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "excitation/acelp.h"
#include "excitation/gain_quantizer.h"
#include "excitation/gain_quantizer_internal.h"
#include "excitation/pitch.h"
#include "tables/gain_tables.h"

using namespace tarnel;

namespace {

struct predictor {
    double mem[4] = {-14.0, -14.0, -14.0, -14.0};
};

// Correlations whose weighted error g0 gp^2 + g1 gp + g2 gc^2 + g3 gc + g4 gp gc has its
// minimum at (bp, bc).
void with_optimum(double g0, double g2, double g4, double bp, double bc, double* g) {
    g[0] = g0;
    g[2] = g2;
    g[4] = g4;
    g[1] = -2.0 * g0 * bp - g4 * bc;
    g[3] = -2.0 * g2 * bc - g4 * bp;
}

double predicted(const double* mem, const double* code) {
    double gcode0;
    gain_predict(mem, code, 40, &gcode0);
    return gcode0;
}

int index_of(int r1, int r2) { return map1[r1] * 16 + map2[r2]; }

// Quantizes, then checks that the decoder rebuilds gains and predictor from the index.
int quantize_and_decode(predictor& enc, const double* code, const double* g, bool tame, double* gp,
                        double* gc) {
    predictor dec = enc;
    const int index = gain_quantize(enc.mem, code, g, 40, gp, gc, tame);
    double dgp, dgc;
    EXPECT_TRUE(index >= 0 && index < 128);
    gain_decode(dec.mem, index, code, 40, &dgp, &dgc);
    EXPECT_EQ(dgp, *gp);
    EXPECT_EQ(dgc, *gc);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(dec.mem[k], enc.mem[k]);
    EXPECT_EQ(gain_index_correction_db(index), dec.mem[0]);
    return index;
}

}  // namespace

TEST(GainPrediction, PredictedGainAndMemory) {
    double code[40];
    acelp_decode(6, 1234, code);  // four pulses: energy 4.01 with the offset
    const double after_reset = (36.0 - 10.0 * std::log10(4.01 / 40.0) - 1.79 * 14.0) / 20.0;
    const double g_reset = predicted(predictor().mem, code);
    EXPECT_NEAR(g_reset, std::pow(10.0, after_reset), 1e-12 * g_reset);
    EXPECT_NEAR(g_reset, 11.1, 0.05);

    double mem[4] = {-10.0, -20.0, 0.0, 5.0};  // the newest energy weighs most
    const double db =
        36.0 - 10.0 * std::log10(4.01 / 40.0) - 0.68 * 10.0 - 0.58 * 20.0 + 0.19 * 5.0;
    EXPECT_NEAR(predicted(mem, code), std::pow(10.0, db / 20.0), 1e-12 * g_reset);

    gain_update_rows(mem, 0, 1);  // the smallest factor: about -14.7 dB
    EXPECT_NEAR(mem[0], -14.65, 0.01);
    EXPECT_EQ(mem[1], -10.0);
    EXPECT_EQ(mem[3], 0.0);
}

TEST(GainPrediction, StoredLogarithmsGiveTheComputedPrediction) {
    // Unsharpened code vectors (four unit pulses) take their energy's logarithm from memory,
    // sharpened ones from the call; both must predict exactly what the formula computes.
    const struct {
        int t0;
        double sharp;
    } cases[] = {{40, 0.5}, {143, 0.7945}, {39, 0.2}, {20, 0.7945}, {25, 0.5}};
    const double mem[4] = {-3.5, 2.25, -14.0, 7.0};
    for (const auto& c : cases) {
        double code[40];
        acelp_decode(9, 5678, code);
        acelp_sharpen(code, c.t0, c.sharp);
        double e = 0.01;
        for (double v : code) e += v * v;
        double p = 36.0 - 10.0 * std::log10(e / 40.0);
        for (int i = 0; i < 4; ++i) p = p + gain_pred[i] * mem[i];
        EXPECT_EQ(std::pow(10.0, p / 20.0), predicted(mem, code)) << c.t0;
    }
}

TEST(GainPrediction, CorrectionEnergiesAreTheLibrarysOwnResults) {
    // The table stands in for the logarithm of every factor a row pair can form: it must hold
    // the very values the call would return, not approximations of them.
    const correction_energy_table& t = correction_energies();
    for (int r1 = 0; r1 < kGainRows1; ++r1)
        for (int r2 = 0; r2 < kGainRows2; ++r2)
            ASSERT_EQ(20.0 * std::log10(gbk1[r1].code + gbk2[r2].code), t.db[r1][r2]) << r1 << r2;
}

TEST(CodeGainCorrelations, OffsetsSitBeforeOrAfterTheDoubling) {
    double x[40], y1[40], y2[40] = {}, g[5];
    std::mt19937 gen(1);
    std::normal_distribution<double> dist(0.0, 100.0);
    for (int i = 0; i < 40; ++i) {
        x[i] = dist(gen);
        y1[i] = dist(gen);
    }
    code_gain_correlations(x, y1, y2, g);
    EXPECT_EQ(g[2], 0.01);
    EXPECT_EQ(g[3], -0.02);
    EXPECT_EQ(g[4], 0.02);
    pitch_gain(x, y2, g, 40);
    EXPECT_EQ(g[1], 0.01);
}

TEST(GainQuantize, DecoderFollowsOverARunOfSubframes) {
    std::mt19937 gen(2);
    std::normal_distribution<double> dist(0.0, 1.0);
    predictor enc;
    for (int sub = 0; sub < 400; ++sub) {
        double x[40], y1[40], y2[40], code[40], g[5], gp, gc;
        const double a = 0.1 * (sub % 13), b = 0.5 * (sub % 7), s = 50.0 + 10.0 * (sub % 17);
        for (int i = 0; i < 40; ++i) {
            y1[i] = s * dist(gen);
            y2[i] = 30.0 * dist(gen);
            x[i] = a * y1[i] + b * y2[i] + 20.0 * dist(gen);
        }
        pitch_gain(x, y1, g, 40);
        code_gain_correlations(x, y1, y2, g);
        acelp_decode(sub & 15, (sub * 37) & 8191, code);
        quantize_and_decode(enc, code, g, sub % 5 == 0, &gp, &gc);
    }
}

TEST(GainQuantize, OptimumOnARowPairSelectsThatPair) {
    // The pre-selection follows GA's code parts and GB's pitch parts, so it misses pairs
    // whose GB code part is far off that trend: GB row 11 (code 1.742757) with GA rows 0..3
    // and GB row 12 (code 0.029027) with GA row 5.
    const auto outside_band = [](int r1, int r2) {
        return (r2 == 11 && r1 <= 3) || (r2 == 12 && r1 == 5);
    };
    double code[40];
    acelp_decode(9, 777, code);
    const double gcode0 = predicted(predictor().mem, code);
    for (int r1 = 0; r1 < 8; ++r1) {
        for (int r2 = 0; r2 < 16; ++r2) {
            const double bp = gbk1[r1].pitch + gbk2[r2].pitch;
            const double bc = gcode0 * (gbk1[r1].code + gbk2[r2].code);
            double g[5], gp, gc;
            with_optimum(4000.0, 300.0, 200.0, bp, bc, g);
            predictor p, tamed;
            const int index = quantize_and_decode(p, code, g, false, &gp, &gc);
            EXPECT_EQ(index == index_of(r1, r2), !outside_band(r1, r2)) << r1 << " " << r2;
            // Taming holds every pitch gain below 0.9999, the largest pair's 1.35594 too.
            quantize_and_decode(tamed, code, g, true, &gp, &gc);
            EXPECT_LT(gp, 0.9999) << r1 << " " << r2;
        }
    }
}

TEST(GainQuantize, PreselectionBandsAtTheCodebookEnds) {
    double code[40], g[5], gp, gc;
    acelp_decode(3, 4000, code);
    const double gcode0 = predicted(predictor().mem, code);
    struct pcase {
        double g0, g2, bp, bc_factor;
        bool tame;
        int r1, r2;
    };
    const pcase cases[] = {
        // Code gain far above the prediction: GA rows 4..7 and GB rows 0..7, so the largest
        // code part of GB (row 11) is out of reach.
        {1.0, 1000.0, 0.5, 50.0, false, 7, 4},
        // Pitch gain far above, code gain zero, pitch error dominant: GA rows 0..3, GB rows
        // 8..15, so the largest pitch part of GA (row 5) is out of reach.
        {1e6, 1.0, 3.0, 0.0, false, 2, 15},
        // Tamed: 1.5 is capped at 0.94 before pre-selection, giving GA rows 4..7 and GB rows
        // 0..7 (from 1.5 itself GB would be rows 7..14 with pitch gains up to 0.98).
        {1e8, 1.0, 1.5, 20.0, true, 5, 7},
        // Just above the cap, 0.945 is taken as 0.94 too; from 0.945 itself the bands would
        // hold GA row 0 with GB row 10, the pair chosen then.
        {100.0, 100.0, 0.945, 0.75, true, 2, 7},
    };
    for (const auto& c : cases) {
        with_optimum(c.g0, c.g2, 0.0, c.bp, c.bc_factor * gcode0, g);
        predictor p;
        EXPECT_EQ(quantize_and_decode(p, code, g, c.tame, &gp, &gc), index_of(c.r1, c.r2))
            << c.bp << " " << c.bc_factor;
    }
}

TEST(GainQuantize, VanishingDenominatorStillGivesAValidPair) {
    // y1 == y2 makes 4 g0 g2 - g4^2 exactly zero: the optimum is infinite or NaN, but
    // every comparison stays defined and only codebook rows reach the results.
    std::mt19937 gen(3);
    std::normal_distribution<double> dist(0.0, 100.0);
    double code[40];
    acelp_decode(6, 5000, code);
    for (int trial = 0; trial < 8; ++trial) {
        double x[40], y[40], g[5], gp, gc;
        for (int i = 0; i < 40; ++i) {
            y[i] = dist(gen);
            x[i] = trial % 2 ? 0.7 * y[i] : dist(gen);
        }
        pitch_gain(x, y, g, 40);
        code_gain_correlations(x, y, y, g);
        ASSERT_EQ(4.0 * g[0] * g[2] - g[4] * g[4], 0.0);
        for (bool tame : {false, true}) {
            predictor p;
            quantize_and_decode(p, code, g, tame, &gp, &gc);
            EXPECT_TRUE(std::isfinite(gp) && std::isfinite(gc));
            for (double m : p.mem) EXPECT_TRUE(std::isfinite(m));
        }
    }
    // Numerators zero as well: both optimal gains are 0 * inf = NaN.
    const double g[5] = {1.0, 3.0, 1.0, 3.0, 2.0};
    predictor p;
    double gp, gc;
    quantize_and_decode(p, code, g, false, &gp, &gc);
    EXPECT_TRUE(std::isfinite(gp) && std::isfinite(gc) && std::isfinite(p.mem[0]));
}
