// LP <-> LSP conversion, LSF mapping and subframe interpolation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "lpc/lsp_conversion.h"
#include "lpc/lsp_conversion_internal.h"
#include "tables/lp_tables.h"

namespace {

using namespace tarnel;

constexpr double kPi = 3.14159265358979323846;

// A distinctive kPrevious-frame vector, so that a fallback is recognisable.
constexpr double kPrevious[10] = {0.95, 0.9, 0.7, 0.5, 0.2, -0.1, -0.3, -0.6, -0.8, -0.97};

// Random ordered LSP vectors whose frequencies keep at least min_gap apart and stay inside
// the search grid.
void random_lsp(std::mt19937& rng, double min_gap, double* lsp) {
    std::uniform_real_distribution<double> u(0.05, kPi - 0.05);
    for (;;) {
        double w[10];
        for (double& v : w) v = u(rng);
        std::sort(w, w + 10);
        bool ok = true;
        for (int i = 1; i < 10; ++i) ok = ok && w[i] - w[i - 1] >= min_gap;
        if (!ok) continue;
        for (int i = 0; i < 10; ++i) lsp[i] = std::cos(w[i]);
        return;
    }
}

TEST(ChebyshevEval, EqualsTheCosineSeries) {
    // At x = cos(w) the recurrence sums cos(5w) + f1 cos(4w) + ... + f4 cos(w) + f5 / 2.
    const double f[6] = {1.0, 0.3, -1.2, 0.45, 0.8, -0.6};
    for (int i = 0; i <= 100; ++i) {
        const double w = kPi * i / 100.0;
        double direct = 0.5 * f[5];
        for (int k = 0; k < 5; ++k) direct += f[k] * std::cos((5 - k) * w);
        EXPECT_NEAR(chebyshev_eval(std::cos(w), f), direct, 1e-12) << w;
    }
}

TEST(LspPolynomial, IsTheProductOfTheSecondOrderFactors) {
    // Every other entry of lsp: lsp[0], lsp[2], ..., lsp[8].
    const double lsp[10] = {0.9, 0.0, 0.6, 0.0, 0.1, 0.0, -0.4, 0.0, -0.85, 0.0};
    double full[11] = {1.0};
    for (int r = 0; r < 5; ++r) {
        const double q = lsp[2 * r];
        double next[11] = {};
        for (int i = 0; i <= 2 * r; ++i) {
            next[i] += full[i];
            next[i + 1] += -2.0 * q * full[i];
            next[i + 2] += full[i];
        }
        std::copy(next, next + 11, full);
    }
    double f[6];
    lsp_polynomial(lsp, f);
    // The product is symmetric; its first half is what the polynomial keeps.
    for (int i = 0; i <= 5; ++i) EXPECT_NEAR(f[i], full[i], 1e-12) << i;
}

TEST(LpToLsp, FlatFilterGivesEquallySpacedRoots) {
    const double a[11] = {1.0};
    double lsp[10];
    lp_to_lsp(a, lsp, kPrevious);
    for (int k = 1; k <= 10; ++k) EXPECT_NEAR(lsp[k - 1], std::cos(k * kPi / 11.0), 1e-4) << k;
    for (int i = 1; i < 10; ++i) EXPECT_LT(lsp[i], lsp[i - 1]) << i;

    double back[11];
    lsp_to_lp(lsp, back);
    EXPECT_EQ(back[0], 1.0);
    for (int k = 1; k <= 10; ++k) EXPECT_NEAR(back[k], 0.0, 1e-3) << k;
}

TEST(LspToLp, ResetVectorIsNearlyFlat) {
    double a[11];
    lsp_to_lp(lsp_reset, a);
    EXPECT_EQ(a[0], 1.0);
    for (int k = 1; k <= 10; ++k) EXPECT_NEAR(a[k], 0.0, 1e-3) << k;
}

TEST(LpToLsp, RoundTripRecoversTheRoots) {
    std::mt19937 rng(5);
    double worst = 0.0;
    for (int trial = 0; trial < 500; ++trial) {
        double lsp[10], a[11], back[10];
        random_lsp(rng, 0.04, lsp);
        lsp_to_lp(lsp, a);
        lp_to_lsp(a, back, kPrevious);
        for (int i = 0; i < 10; ++i) worst = std::max(worst, std::fabs(back[i] - lsp[i]));
    }
    // Two bisections leave a bracket a quarter of a grid step wide (about 0.016 rad); the
    // linear interpolation inside it is accurate to well under 1e-3 in the cosine domain.
    EXPECT_LT(worst, 1e-3);
}

TEST(LpToLsp, RootBeyondTheGridFallsBackToThePreviousFrame) {
    for (int end : {9, 0}) {
        double lsp[10], a[11], out[10];
        std::copy(lsp_reset, lsp_reset + 10, lsp);
        lsp[end] = end == 9 ? -0.9999 : 0.9999;
        lsp_to_lp(lsp, a);
        lp_to_lsp(a, out, kPrevious);
        for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], kPrevious[i]) << "end " << end << " i " << i;
    }
}

TEST(LpToLsp, UnstableFilterFallsBackToThePreviousFrame) {
    // A pole outside the unit circle destroys the interlacing of the roots.
    const double a[11] = {1.0, -2.5, 1.5};
    double out[10];
    lp_to_lsp(a, out, kPrevious);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], kPrevious[i]) << i;
}

TEST(InterpolateLspToLp, SubframesUseTheMidpointThenTheNewVector) {
    double a_sub[22], a_new[11];
    interpolate_lsp_to_lp(lsp_reset, lsp_reset, a_sub);
    for (int k = 0; k <= 10; ++k) EXPECT_EQ(a_sub[k], a_sub[11 + k]) << k;

    interpolate_lsp_to_lp(kPrevious, lsp_reset, a_sub);
    lsp_to_lp(lsp_reset, a_new);
    for (int k = 0; k <= 10; ++k) EXPECT_EQ(a_sub[11 + k], a_new[k]) << k;
    // The first subframe lies between the two frames' filters, not on either.
    double a_old[11];
    lsp_to_lp(kPrevious, a_old);
    EXPECT_EQ(a_sub[0], 1.0);
    bool differs = false;
    for (int k = 1; k <= 10; ++k)
        differs = differs || (a_sub[k] != a_new[k] && a_sub[k] != a_old[k]);
    EXPECT_TRUE(differs);
}

TEST(LsfMapping, InPlaceMatchesSeparateAndRoundTrips) {
    double lsf[10], sep[10], inplace[10], back[10];
    for (int i = 0; i < 10; ++i) lsf[i] = 0.28 * (i + 1);
    lsf_to_lsp(lsf, sep, 10);
    std::copy(lsf, lsf + 10, inplace);
    lsf_to_lsp(inplace, inplace, 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(inplace[i], sep[i]) << i;

    lsp_to_lsf(sep, back, 10);
    lsp_to_lsf(inplace, inplace, 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(inplace[i], back[i]) << i;
        EXPECT_NEAR(back[i], lsf[i], 1e-14) << i;
    }
}

}  // namespace
