// Proofs of the constant tables: quoted samples, the relations between tables, and the
// formulas the tables were rounded from.
#include <gtest/gtest.h>

#include <cmath>

#include "tables/cng_tables.h"
#include "tables/lp_tables.h"
#include "tables/lsp_codebook1.h"
#include "tables/lsp_codebook2.h"
#include "tables/lsp_predictor_tables.h"

namespace {

using namespace tarnel;

constexpr double kPi = 3.14159265358979323846;

constexpr bool rows_equal(const double* row, std::initializer_list<double> expected) {
    int i = 0;
    for (double v : expected)
        if (row[i++] != v) return false;
    return true;
}

// A wrong literal in any of these fails the build.
static_assert(rows_equal(lspcb1[0], {0.1814, 0.2647, 0.458, 1.1077, 1.4813, 1.7022, 2.1953, 2.3405,
                                     2.5867, 2.6636}));
static_assert(lspcb1[127][9] == 2.4328);
static_assert(rows_equal(lspcb2[0], {-0.0532, -0.0995, -0.0906, 0.1261, -0.0633, 0.0711, -0.1467,
                                     0.1012, 0.0106, 0.047}));
static_assert(rows_equal(fg[0][0], {0.257, 0.278, 0.28}));
static_assert(rows_equal(fg[1][0], {0.236, 0.2405, 0.2499}));
static_assert(fg_sum[0][0] == 0.2380000054836 && fg_sum[1][0] == 0.4451000094414);
static_assert(fg_sum_inv[0][0] == 4.2016806602478 && fg_sum_inv[1][0] == 2.2466859817505);
static_assert(lp_window[0] == 0.08 && lp_window[3] == 0.08051321 && lp_window[100] == 0.54181033 &&
              lp_window[199] == 0.99998569 && lp_window[200] == 1.0 &&
              lp_window[239] == 0.02963307);
static_assert(rows_equal(lag_window_table, {1.0001, 0.99889028, 0.99556851, 0.99005681, 0.9823916,
                                            0.97262347, 0.96081644, 0.94704735, 0.93140495,
                                            0.91398895, 0.89490914, 0.8742858, 0.8522135}));
static_assert(lsp_grid[0] == 0.9997559 && lsp_grid[1] == 0.9980267 && lsp_grid[25] == 0.0 &&
              lsp_grid[50] == -0.9997559);
static_assert(lsp_grid[3] == 0.9822872 && lsp_grid[15] == 0.5877852 && lsp_grid[19] == 0.3681245 &&
              lsp_grid[31] == -0.3681245 && lsp_grid[35] == -0.5877852 &&
              lsp_grid[47] == -0.9822872);
static_assert(rows_equal(lsp_reset, {0.9595, 0.8413, 0.6549, 0.4154, 0.1423, -0.1423, -0.4154,
                                     -0.6549, -0.8413, -0.9595}));
static_assert(rows_equal(lsf_reset, {0.285599, 0.571199, 0.856798, 1.142397, 1.427997, 1.713596,
                                     1.999195, 2.284795, 2.570394, 2.855993}));

// The quantizer's output ordering relies on every first-stage row being ordered.
constexpr bool lspcb1_rows_increase() {
    for (const auto& row : lspcb1)
        for (int i = 1; i < 10; ++i)
            if (!(row[i] > row[i - 1])) return false;
    return true;
}
static_assert(lspcb1_rows_increase());

TEST(PredictorTables, SumsAndInversesMatchTheCoefficients) {
    for (int m = 0; m < 2; ++m) {
        for (int i = 0; i < 10; ++i) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) sum += fg[m][k][i];
            EXPECT_NEAR(fg_sum[m][i], 1.0 - sum, 1e-6) << "mode " << m << " i " << i;
            EXPECT_NEAR(fg_sum_inv[m][i] * fg_sum[m][i], 1.0, 3e-7) << "mode " << m << " i " << i;
        }
    }
}

TEST(PredictorTables, NoiseWeightsAreTheSumsOfTheMixedPredictors) {
    for (int i = 0; i < 10; ++i) {
        double plain = 0.0, mixed = 0.0;
        for (int k = 0; k < 4; ++k) {
            plain += fg[0][k][i];
            mixed += 0.6 * fg[0][k][i] + 0.4 * fg[1][k][i];
        }
        EXPECT_NEAR(noise_fg_sum[0][i], 1.0 - plain, 1e-4) << i;
        EXPECT_NEAR(noise_fg_sum[1][i], 1.0 - mixed, 1e-4) << i;
        // The compile-time mixed predictor is bit for bit the run-time mix.
        for (int k = 0; k < 4; ++k) {
            volatile double f0 = fg[0][k][i], f1 = fg[1][k][i];
            EXPECT_EQ(noise_fg.fg[0][k][i], f0) << k << " " << i;
            EXPECT_EQ(noise_fg.fg[1][k][i], 0.6 * f0 + 0.4 * f1) << k << " " << i;
        }
    }
}

TEST(PredictorTables, ResetRowIsEvenlySpacedFrequencies) {
    for (int k = 1; k <= 10; ++k) EXPECT_NEAR(lsf_reset[k - 1], k * kPi / 11.0, 5e-7) << k;
}

TEST(LpTables, WindowFollowsItsFormula) {
    for (int n = 0; n < 240; ++n) {
        const double w = n < 200 ? 0.54 - 0.46 * std::cos(2.0 * kPi * n / 399.0)
                                 : std::cos(2.0 * kPi * (n - 200) / 159.0);
        EXPECT_NEAR(lp_window[n], w, 1e-6) << n;
    }
}

TEST(LpTables, LagWindowFollowsTheGaussian) {
    // Lags 1-10 carry the rounding of a single-precision evaluation; the stored values of
    // lags 11 and 12 are known to sit further from the formula and are pinned above.
    for (int k = 1; k <= 12; ++k) {
        const double f = 2.0 * kPi * 60.0 * k / 8000.0;
        EXPECT_NEAR(lag_window_table[k], std::exp(-0.5 * f * f), k <= 10 ? 5e-8 : 3e-5) << k;
    }
}

TEST(LpTables, GridIsRoundedCosineWithTheListedExceptions) {
    EXPECT_EQ(lsp_grid[0], 0.9997559);
    EXPECT_EQ(lsp_grid[50], -0.9997559);
    // These six are one unit smaller in magnitude than correct rounding gives.
    const int short_by_one_unit[] = {3, 15, 19, 31, 35, 47};
    for (int k = 1; k < 50; ++k) {
        double expected = std::round(std::cos(kPi * k / 50.0) * 1e7);
        for (int e : short_by_one_unit)
            if (k == e) expected -= std::copysign(1.0, expected);
        EXPECT_EQ(std::round(lsp_grid[k] * 1e7), expected) << k;
        EXPECT_NEAR(lsp_grid[k] * 1e7, expected, 1e-6) << k;  // no digits beyond the 7th
    }
    EXPECT_EQ(lsp_grid[25], 0.0);
}

TEST(LpTables, LspResetIsRoundedCosine) {
    for (int k = 1; k <= 10; ++k)
        EXPECT_NEAR(lsp_reset[k - 1], std::cos(k * kPi / 11.0), 5e-5) << k;
}

TEST(CngTables, SidLevelsRiseInSteadyStepsToThreeDecimals) {
    // Level k is 2·10^(x/10) to three decimals, x = -6, -2, 0, 2, 4, 6, 8, 9, 10 ... 33: the
    // levels are 8 dB apart at the bottom, then 4 dB, and 2 dB from the eighth up.
    for (int k = 0; k < 32; ++k) {
        const int x = k == 0 ? -6 : k < 7 ? 2 * k - 4 : k + 2;
        EXPECT_EQ(tab_Sidgain[k], std::round(2.0 * std::pow(10.0, x / 10.0) * 1000.0) / 1000.0)
            << k;
    }
}

}  // namespace
