#include <gtest/gtest.h>

#include <bitset>
#include <cmath>
#include <cstring>

#include "cng/comfort_noise.h"
#include "cng/comfort_noise_internal.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "tables/cng_tables.h"
#include "tables/lp_tables.h"
#include "tables/lsp_codebook1.h"
#include "tables/lsp_codebook2.h"
#include "tables/lsp_predictor_tables.h"

using namespace tarnel;

namespace {

// The parts of a freshly created decoder that the comfort-noise path touches.
struct decoder {
    cng_state st;
    double exc_buf[154 + 80] = {};
    double lsp_prev[10];
    double a_sub[22];
    int16_t seed = 11111;
    double predictor[4][10];

    decoder() {
        cng_init(&st);
        std::memcpy(lsp_prev, lsp_reset, sizeof lsp_prev);
        for (auto& row : predictor) std::memcpy(row, lsf_reset, sizeof row);
    }
    double* exc() { return exc_buf + 154; }
    void sid(bool new_burst, int energy_index, int sw = 0, int i1 = 3, int i2 = 7) {
        cng_decode_sid(&st, new_burst, sw, i1, i2, energy_index, exc(), lsp_prev, a_sub, &seed,
                       predictor);
    }
};

double energy(const double* x) {
    double e = 0.0;
    for (int i = 0; i < 40; ++i) e += x[i] * x[i];
    return e;
}

int16_t seed_after(int16_t seed, int draws) {
    for (int i = 0; i < draws; ++i) cng_random(&seed);
    return seed;
}

}  // namespace

TEST(CngRandom, StartsAsExpectedAndRunsThroughEveryValue) {
    int16_t seed = 11111;
    EXPECT_EQ(10260, cng_random(&seed));
    EXPECT_EQ(-3043, cng_random(&seed));
    EXPECT_EQ(-20782, cng_random(&seed));
    EXPECT_EQ(-20782, seed);

    std::bitset<65536> seen;
    for (int i = 0; i < 65536; ++i) seen.set(static_cast<uint16_t>(cng_random(&seed)));
    EXPECT_TRUE(seen.all());
    EXPECT_EQ(-20782, seed);
}

TEST(CngDraw, DecodesTheFieldsOfTheFirstThreeDraws) {
    int16_t seed = 11111;
    cng_subframe_draw d;
    cng_draw_subframe(&seed, &d);
    EXPECT_EQ(-1, d.frac);
    EXPECT_EQ(45, d.t0);
    const int pos[4] = {0, 11, 27, 4};
    const double sign[4] = {1.0, -1.0, 1.0, -1.0};
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(pos[j], d.pos[j]) << j;
        EXPECT_EQ(sign[j], d.sign[j]) << j;
    }
    EXPECT_EQ(0.2315673828125, d.gp);
    EXPECT_EQ(-20782, seed);
}

TEST(CngDraw, EverySeedGivesFieldsInRangeAndCodeThreeMeansNoFraction) {
    const int frac_of_code[4] = {-1, 0, 1, 0};
    for (int s = -32768; s <= 32767; ++s) {
        int16_t seed = static_cast<int16_t>(s);
        int16_t peek = seed;
        const int code = static_cast<uint16_t>(cng_random(&peek)) & 3;
        cng_subframe_draw d;
        cng_draw_subframe(&seed, &d);
        ASSERT_EQ(frac_of_code[code], d.frac) << s;
        ASSERT_TRUE(d.t0 >= 40 && d.t0 <= 103) << s;
        for (int j = 0; j < 4; ++j) {
            ASSERT_TRUE(d.pos[j] >= 0 && d.pos[j] < 40) << s;
            if (j < 3)
                ASSERT_EQ(j, d.pos[j] % 5) << s;
            else
                ASSERT_GE(d.pos[j] % 5, 3) << s;
        }
        ASSERT_TRUE(d.gp >= 0.0 && d.gp <= 8191.0 / 16384.0) << s;
    }
}

TEST(CngGaussian, FloorsNegativeSumsAndReturnsTheEnergy) {
    int16_t seed = 11111, check = 11111;
    double e[40];
    const double eg = cng_gaussian(&seed, e);
    double sum_sq = 0.0;
    for (int n = 0; n < 40; ++n) {
        int s = 0;
        for (int i = 0; i < 12; ++i) s += cng_random(&check);
        EXPECT_EQ(std::floor(s / 128.0) / 512.0, e[n]) << n;
        sum_sq += e[n] * e[n];
    }
    EXPECT_EQ(sum_sq, eg);
    EXPECT_EQ(check, seed);
}

TEST(CngPulseGain, PicksTheSmallerRootPrefersTheSecondOnTiesAndClamps) {
    // 4G^2 + 2bG + c = 0 with b = 3, c = -10 (delta = b^2 - 4c = 49): roots 1 and -2.5.
    EXPECT_EQ(1.0, cng_pulse_gain(3.0, 49.0));
    EXPECT_EQ(-1.0, cng_pulse_gain(-3.0, 49.0));
    EXPECT_EQ(-2.0, cng_pulse_gain(0.0, 64.0));  // roots +2 and -2
    // Roots 7500 and 12500, then -7500 and -12500.
    EXPECT_EQ(5000.0, cng_pulse_gain(-40000.0, 1e8));
    EXPECT_EQ(-5000.0, cng_pulse_gain(40000.0, 1e8));
}

TEST(CngExcitation, EachSubframeCarriesTheTargetEnergy) {
    decoder dec;
    for (int i = 0; i < 154; ++i) dec.exc_buf[i] = 60.0 * std::sin(0.3 * i);
    const double g = 100.0;
    cng_excitation(dec.exc(), g, &dec.seed);
    EXPECT_NEAR(1.0, energy(dec.exc()) / (40.0 * g * g), 1e-12);
    EXPECT_NEAR(1.0, energy(dec.exc() + 40) / (40.0 * g * g), 1e-12);
    EXPECT_EQ(seed_after(11111, 966), dec.seed);
}

TEST(CngExcitation, WithoutHistoryTheFirstSubframeIsScaledGaussianPlusFourPulses) {
    decoder dec;
    const double g = 20.0;
    cng_excitation(dec.exc(), g, &dec.seed);

    // The three field draws come first, then the Gaussian draws; one scale factor for all.
    int16_t seed = 11111;
    cng_subframe_draw d;
    cng_draw_subframe(&seed, &d);
    double e[40];
    const double scale = (3.16227766 * g) / std::sqrt(cng_gaussian(&seed, e));
    for (int n = 0; n < 40; ++n) {
        const bool pulse = n == d.pos[0] || n == d.pos[1] || n == d.pos[2] || n == d.pos[3];
        if (pulse)
            EXPECT_NE(e[n] * scale, dec.exc()[n]) << n;
        else
            EXPECT_EQ(e[n] * scale, dec.exc()[n]) << n;
    }
}

TEST(CngExcitation, OverloudMixIsRebuiltFromTheGaussianPartAlone) {
    decoder a, b;
    for (int i = 0; i < 154; ++i) {
        a.exc_buf[i] = 1e5 * std::sin(0.2 * i);
        b.exc_buf[i] = 1e5 * std::cos(0.05 * i);
    }
    const double g = 0.502;
    cng_excitation(a.exc(), g, &a.seed);
    cng_excitation(b.exc(), g, &b.seed);
    for (int n = 0; n < 40; ++n) EXPECT_EQ(a.exc()[n], b.exc()[n]) << n;
    // The rebuild assumes the Gaussian quarter of the energy; it is met to the scale's digits.
    EXPECT_NEAR(1.0, energy(a.exc()) / (40.0 * g * g), 1e-8);
}

TEST(CngExcitation, VeryLoudNoiseFallsShortOnceThePulseGainClamps) {
    decoder dec;
    const double g = tab_Sidgain[31];
    cng_excitation(dec.exc(), g, &dec.seed);
    EXPECT_LT(energy(dec.exc()), 0.9 * 40.0 * g * g);
    EXPECT_LT(energy(dec.exc() + 40), 0.9 * 40.0 * g * g);
}

TEST(CngDecodeSid, FirstFrameAfterCreationTakesTheSentLevelAndInterpolatesFromReset) {
    decoder dec;
    dec.sid(true, 17, 1, 9, 12);
    EXPECT_EQ(tab_Sidgain[17], dec.st.cur_gain);
    EXPECT_EQ(tab_Sidgain[17], dec.st.sid_gain);
    EXPECT_EQ(0, std::memcmp(dec.lsp_prev, dec.st.sid_lsp, sizeof dec.lsp_prev));
    double a_expected[22];
    interpolate_lsp_to_lp(lsp_reset, dec.st.sid_lsp, a_expected);
    EXPECT_EQ(0, std::memcmp(a_expected, dec.a_sub, sizeof a_expected));
    EXPECT_EQ(seed_after(11111, 966), dec.seed);
    const double target = 40.0 * tab_Sidgain[17] * tab_Sidgain[17];
    EXPECT_NEAR(1.0, energy(dec.exc()) / target, 1e-8);
    EXPECT_NEAR(1.0, energy(dec.exc() + 40) / target, 1e-8);
}

TEST(CngDecodeSid, PushesTheSidCodebookVectorIntoThePredictor) {
    decoder dec;
    dec.predictor[0][0] = 0.3;  // mark the newest row to see it move down
    double old[4][10];
    std::memcpy(old, dec.predictor, sizeof old);
    dec.sid(true, 0, 0, 30, 11);
    double u[10];
    for (int j = 0; j < 10; ++j)
        u[j] = lspcb1[PtrTab_1[30]][j] + lspcb2[PtrTab_2[j < 5 ? 0 : 1][11]][j];
    lsf_space(u, 0.0012);
    EXPECT_EQ(0, std::memcmp(u, dec.predictor[0], sizeof u));
    EXPECT_EQ(0, std::memcmp(old[0], dec.predictor[1], sizeof u));
    EXPECT_EQ(0, std::memcmp(old[2], dec.predictor[3], sizeof u));
}

TEST(CngDecodeSid, LevelGlidesWithinABurstAndJumpsAfterSpeech) {
    decoder dec;
    dec.sid(true, 0);
    EXPECT_EQ(0.502, dec.st.cur_gain);
    dec.sid(false, 31);
    EXPECT_EQ(0.875 * 0.502 + 0.125 * 3990.525, dec.st.cur_gain);
    dec.sid(true, 5);  // a speech frame came in between
    EXPECT_EQ(tab_Sidgain[5], dec.st.cur_gain);
}

TEST(SidLsfDecode, EveryIndexGivesAnOrderedStableSpectrum) {
    for (int sw = 0; sw < 2; ++sw) {
        for (int i1 = 0; i1 < 32; ++i1) {
            for (int i2 = 0; i2 < 16; ++i2) {
                double pred[4][10];
                for (auto& row : pred) std::memcpy(row, lsf_reset, sizeof row);
                double lsp[10];
                sid_lsf_decode(sw, i1, i2, pred, lsp);
                double lsf[10];
                lsp_to_lsf(lsp, lsf, 10);
                ASSERT_GE(lsf[0], 0.005 - 1e-12);
                ASSERT_LE(lsf[9], 3.135 + 1e-12);
                for (int j = 0; j < 8; ++j) ASSERT_GE(lsf[j + 1] - lsf[j], 0.0392 - 1e-9);
                ASSERT_GT(lsf[9], lsf[8]);
            }
        }
    }
}
