// Input high-pass filter, windowed autocorrelation, lag window and Levinson-Durbin recursion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "dsp/filters.h"
#include "lpc/lp_analysis.h"
#include "support/test_support.h"
#include "tables/lp_tables.h"

namespace {

using namespace tarnel;

constexpr double kPi = 3.14159265358979323846;

std::vector<double> run_preprocess(const std::vector<double>& in) {
    double state[4] = {0.0, 0.0, 0.0, 0.0};
    std::vector<double> out = in;
    preprocess(state, out.data(), static_cast<int>(out.size()));
    return out;
}

TEST(Preprocess, ImpulseResponseStartsWithTheFeedForwardGain) {
    std::vector<double> x(4, 0.0);
    x[0] = 1000.0;
    const std::vector<double> y = run_preprocess(x);
    EXPECT_EQ(y[0], 1000.0 * 0.92727435);
    EXPECT_NEAR(y[1], 1000.0 * (1.9059465 * 0.92727435 - 1.8544941), 1e-9);
}

TEST(Preprocess, RemovesDcAndPassesVoiceBandAtUnitGain) {
    // The numerator is kept at full scale, so a 1 kHz tone keeps its level.
    std::vector<double> dc(4000, 1000.0), tone(4000);
    for (size_t n = 0; n < tone.size(); ++n)
        tone[n] = 10000.0 * std::sin(2.0 * kPi * 1000.0 * n / 8000.0);
    const std::vector<double> ydc = run_preprocess(dc), ytone = run_preprocess(tone);
    // The double zero at DC is not exact in the rounded coefficients: about 40 dB of rejection.
    EXPECT_LT(std::fabs(ydc.back()), 0.02 * 1000.0);
    double ein = 0.0, eout = 0.0;
    for (size_t n = 2000; n < tone.size(); ++n) {
        ein += tone[n] * tone[n];
        eout += ytone[n] * ytone[n];
    }
    EXPECT_NEAR(std::sqrt(eout / ein), 1.0, 0.03);
}

TEST(Preprocess, StateCarriesAcrossCalls) {
    std::mt19937 rng(7);
    std::vector<double> x(240);
    for (double& v : x) v = static_cast<double>(static_cast<int>(rng() % 20001) - 10000);
    const std::vector<double> whole = run_preprocess(x);
    double state[4] = {0.0, 0.0, 0.0, 0.0};
    std::vector<double> pieces = x;
    for (int f = 0; f < 3; ++f) preprocess(state, pieces.data() + 80 * f, 80);
    for (size_t n = 0; n < x.size(); ++n) ASSERT_EQ(pieces[n], whole[n]) << n;
}

TEST(Preprocess, FullScaleNegativeSampleIsNotClipped) {
    // Doubling is exact, so an unclipped -32768 gives exactly twice the response to -16384
    // (both far above the flush threshold over these samples).
    std::vector<double> full(100, 0.0), half(100, 0.0);
    full[0] = -32768.0;
    half[0] = -16384.0;
    const std::vector<double> yf = run_preprocess(full), yh = run_preprocess(half);
    EXPECT_EQ(yf[0], -32768.0 * 0.92727435);
    for (size_t n = 0; n < yf.size(); ++n) ASSERT_EQ(yf[n], 2.0 * yh[n]) << n;
}

TEST(Preprocess, DecayEndsInExactZerosWithFlushedMemory) {
    std::mt19937 rng(11);
    std::vector<double> x(6000, 0.0);
    for (int n = 0; n < 400; ++n)
        x[n] = static_cast<double>(static_cast<int>(rng() % 20001) - 10000);
    double state[4] = {0.0, 0.0, 0.0, 0.0};
    std::vector<double> y = x;
    preprocess(state, y.data(), static_cast<int>(y.size()));

    size_t first_small = 0;
    for (size_t n = 400; n < y.size() && first_small == 0; ++n)
        if (std::fabs(y[n]) < flush_threshold) first_small = n;
    ASSERT_GT(first_small, 0u) << "the tail never decayed below the flush threshold";
    for (size_t n = first_small; n < y.size(); ++n) ASSERT_EQ(y[n], 0.0) << n;
    EXPECT_EQ(state[2], 0.0);
    EXPECT_EQ(state[3], 0.0);
    EXPECT_EQ(state[0], 0.0);  // the input memories simply hold the last zero inputs
}

TEST(Autocorrelation, FloorRaisesOnlyTheEnergyAndSilenceGivesTheIdentityFilter) {
    for (double level : {0.0, 0.01}) {
        double x[240];
        for (double& v : x) v = level;
        double r[13];
        autocorrelation(x, 12, r);
        EXPECT_EQ(r[0], 1.0) << level;
        for (int k = 1; k <= 12; ++k) {
            EXPECT_GE(r[k], 0.0) << k;
            EXPECT_LT(r[k], 0.01) << k;
            EXPECT_EQ(r[k] > 0.0, level > 0.0) << k;
        }
    }
    double silent[240] = {}, r[13], a[11];
    // Levels whose energies (0.75 and 1.5) lie just below and above the floor of 1.
    for (double level : {0.0868, 0.1227}) {
        double x[240];
        for (double& v : x) v = level;
        autocorrelation(x, 0, r);
        EXPECT_EQ(level < 0.1, r[0] == 1.0) << level;
    }
    autocorrelation(silent, 12, r);
    lag_window(12, r);
    EXPECT_EQ(r[0], 1.0001);
    levinson(r, a);
    EXPECT_EQ(a[0], 1.0);
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(a[k], 0.0) << k;
}

TEST(LagWindow, MultipliesExactlyTheRequestedLags) {
    double r[13];
    for (double& v : r) v = 2.0;
    lag_window(0, r);
    EXPECT_EQ(r[0], 2.0 * 1.0001);
    for (int k = 1; k <= 12; ++k) EXPECT_EQ(r[k], 2.0) << k;
    for (double& v : r) v = 1.0;
    lag_window(12, r);
    for (int k = 0; k <= 12; ++k) EXPECT_EQ(r[k], lag_window_table[k]) << k;
}

// Frequency (Hz) at which the LP envelope 1/|A| peaks, on a 10 Hz grid.
double envelope_peak_hz(const double* a) {
    double best = 1e300, best_hz = 0.0;
    for (int hz = 0; hz <= 4000; hz += 10) {
        const double w = kPi * hz / 4000.0;
        double re = 0.0, im = 0.0;
        for (int k = 0; k <= 10; ++k) {
            re += a[k] * std::cos(k * w);
            im -= a[k] * std::sin(k * w);
        }
        if (re * re + im * im < best) {
            best = re * re + im * im;
            best_hz = hz;
        }
    }
    return best_hz;
}

// Second-order all-pole process with poles at radius 0.98 and 1 kHz.
constexpr double kArA1 = -2.0 * 0.98 * 0.70710678118654752;
constexpr double kArA2 = 0.98 * 0.98;

TEST(Levinson, ExactAutocorrelationOfAnAllPoleProcessGivesItsFilter) {
    // The autocorrelation of x[n] = -a1 x[n-1] - a2 x[n-2] + e[n] obeys the same recursion.
    double r[11];
    r[0] = 1.0;
    r[1] = -kArA1 / (1.0 + kArA2);
    for (int k = 2; k <= 10; ++k) r[k] = -kArA1 * r[k - 1] - kArA2 * r[k - 2];
    double a[11];
    levinson(r, a);
    EXPECT_EQ(a[0], 1.0);
    EXPECT_NEAR(a[1], kArA1, 1e-9);
    EXPECT_NEAR(a[2], kArA2, 1e-9);
    for (int k = 3; k <= 10; ++k) EXPECT_NEAR(a[k], 0.0, 1e-9) << k;
}

TEST(Autocorrelation, AnalysisFindsTheResonanceOfAnAllPoleProcess) {
    for (unsigned seed = 1; seed <= 8; ++seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> noise(-1000.0, 1000.0);
        double x[200 + 240] = {};
        for (int n = 2; n < 440; ++n) x[n] = -kArA1 * x[n - 1] - kArA2 * x[n - 2] + noise(rng);
        double r[11], a[11];
        autocorrelation(x + 200, 10, r);  // the first 200 samples let the process settle
        lag_window(10, r);
        levinson(r, a);
        EXPECT_NEAR(envelope_peak_hz(a), 1000.0, 100.0) << "seed " << seed;
    }
}

TEST(Levinson, SolvesTheNormalEquationsOnSpeech) {
    const std::vector<int16_t> pcm = tarnel::test::load_speech_sample();
    double state[4] = {0.0, 0.0, 0.0, 0.0};
    double buf[240] = {};
    int checked = 0;
    for (size_t f = 0; f + 1 < 300 && (f + 1) * 80 <= pcm.size(); ++f) {
        for (int n = 0; n < 80; ++n) buf[160 + n] = pcm[f * 80 + n];
        preprocess(state, buf + 160, 80);
        double r[13], a[11];
        autocorrelation(buf, 10, r);
        lag_window(10, r);
        levinson(r, a);
        for (int i = 1; i <= 10; ++i) {
            double s = 0.0;
            for (int j = 0; j <= 10; ++j) s += a[j] * r[std::abs(i - j)];
            ASSERT_NEAR(s / r[0], 0.0, 1e-9) << "frame " << f << " row " << i;
        }
        ++checked;
        copy_vector(buf + 80, buf, 160);
    }
    EXPECT_GT(checked, 200);
}

TEST(Levinson, NonPositiveErrorIsReplacedByTheFloor) {
    // With r1..r8 = 0 the first eight orders change nothing; order 9 has k = -r9 and leaves
    // the error 1 - r9^2, exactly 0 for r9 = 1 and negative for r9 = 2. Order 10 then sees
    // s = r10 and must divide it by the floor 0.001.
    for (double r9 : {1.0, 2.0}) {
        const double r[11] = {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, r9, 0.0005};
        double a[11];
        levinson(r, a);
        EXPECT_EQ(a[10], -0.0005 / 0.001) << r9;
        EXPECT_EQ(a[9], -r9) << r9;
        EXPECT_EQ(a[1], a[10] * -r9) << r9;
    }
}

}  // namespace
