#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "lpc/postfilter.h"
#include "lpc/postfilter_internal.h"

using namespace tarnel;

namespace {

// A stable resonant LP filter for both subframes, and a flat one under which the short-term
// filters and the tilt compensation vanish, leaving the pitch post-filter and the gain control.
constexpr double kResonant[22] = {1.0, -1.2, 0.72, 0, 0, 0, 0, 0, 0, 0, 0,
                                  1.0, -1.2, 0.72, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr double kFlat[22] = {1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

void fill_voiced(double* x, int n, int start) {
    for (int i = 0; i < n; ++i)
        x[i] = 1200.0 * std::sin(0.157 * (start + i)) + 300.0 * std::sin(0.91 * (start + i));
}

bool same(const double* a, const double* b, int n) {
    return std::memcmp(a, b, n * sizeof(double)) == 0;
}

// Runs four frames of a pulse train with growing amplitudes and period `period` through the
// post-filter, once with and once without the long-term part; true when the outputs differ.
bool pitch_filter_engages(int lag, int period) {
    postfilter_state on, off;
    postfilter_init(&on);
    postfilter_init(&off);
    double f_on[80], f_off[80], input[80];
    const int lags[2] = {lag, lag};
    bool differ = false;
    for (int frame = 0; frame < 4; ++frame) {
        for (int i = 0; i < 80; ++i) {
            const int n = 80 * frame + i;
            input[i] = n % period == 0 ? 1000.0 * (1 + n / period) : 0.0;
        }
        std::memcpy(f_on, input, sizeof input);
        std::memcpy(f_off, input, sizeof input);
        postfilter(&on, f_on, kFlat, lags, true);
        postfilter(&off, f_off, kFlat, lags, false);
        differ = differ || !same(f_on, f_off, 80);
    }
    return differ;
}

}  // namespace

TEST(Postfilter, SilenceAfterCreationIsSilentAndRestartsGainFromZero) {
    postfilter_state st;
    postfilter_init(&st);
    double silent[80] = {};
    const int lags[2] = {60, 60};
    postfilter(&st, silent, kResonant, lags, true);
    for (double v : silent) EXPECT_EQ(0.0, v);
    for (double v : st.syn_tail) EXPECT_EQ(0.0, v);
    EXPECT_EQ(0.0, st.past_gain);

    // After the silent frame nothing but the gain differs from a fresh state.
    postfilter_state zero_gain, fresh;
    postfilter_init(&zero_gain);
    postfilter_init(&fresh);
    zero_gain.past_gain = 0.0;
    double a[80], b[80], c[80];
    fill_voiced(a, 80, 0);
    std::memcpy(b, a, sizeof a);
    std::memcpy(c, a, sizeof a);
    postfilter(&st, a, kResonant, lags, true);
    postfilter(&zero_gain, b, kResonant, lags, true);
    postfilter(&fresh, c, kResonant, lags, true);
    EXPECT_TRUE(same(a, b, 80));
    EXPECT_FALSE(same(a, c, 80));
}

TEST(Postfilter, SilenceAfterSpeechRingsOnWithAGainFedOnlyByThePast) {
    // Two identical histories whose gain levels differ by a factor 2: with no input energy
    // the new gain adds nothing, so the silent subframe's outputs differ by exactly 2.
    postfilter_state a, b;
    postfilter_init(&a);
    postfilter_init(&b);
    double fa[80], fb[80];
    const int lags[2] = {50, 50};
    fill_voiced(fa, 80, 0);
    fill_voiced(fb, 80, 0);
    postfilter(&a, fa, kResonant, lags, true);
    postfilter(&b, fb, kResonant, lags, true);
    b.past_gain = 2.0 * a.past_gain;

    std::memset(fa, 0, sizeof fa);
    std::memset(fb, 0, sizeof fb);
    postfilter(&a, fa, kResonant, lags, true);
    postfilter(&b, fb, kResonant, lags, true);
    double energy = 0.0;
    for (int i = 0; i < 40; ++i) {
        energy += fa[i] * fa[i];
        EXPECT_EQ(2.0 * fa[i], fb[i]) << i;
    }
    EXPECT_GT(energy, 0.0);
}

TEST(Postfilter, KeepsTheUnfilteredTailAndReadsItNextFrame) {
    postfilter_state st1, st2;
    postfilter_init(&st1);
    postfilter_init(&st2);
    st2.syn_tail[9] = 700.0;  // a different tail of the previous frame
    double f1[80], f2[80], input[80];
    fill_voiced(input, 80, 0);
    std::memcpy(f1, input, sizeof f1);
    std::memcpy(f2, input, sizeof f1);
    const int lags[2] = {40, 41};
    postfilter(&st1, f1, kResonant, lags, true);
    postfilter(&st2, f2, kResonant, lags, true);
    EXPECT_TRUE(same(st1.syn_tail, input + 70, 10));
    EXPECT_FALSE(same(f1, f2, 10));
    // Without the pitch stage the short-term stages still filter.
    postfilter_init(&st2);
    std::memcpy(f2, input, sizeof f1);
    postfilter(&st2, f2, kResonant, lags, false);
    EXPECT_FALSE(same(f2, input, 80));
}

TEST(Postfilter, PitchSearchRangeFollowsTheLagAndStopsAt143) {
    // Around lag 19 the range is 16..22.
    EXPECT_FALSE(pitch_filter_engages(19, 15));
    EXPECT_TRUE(pitch_filter_engages(19, 16));
    EXPECT_TRUE(pitch_filter_engages(19, 22));
    EXPECT_FALSE(pitch_filter_engages(19, 23));
    // 141, 142 and 143 all clamp to 137..143.
    for (int lag = 141; lag <= 143; ++lag) {
        EXPECT_FALSE(pitch_filter_engages(lag, 136)) << lag;
        EXPECT_TRUE(pitch_filter_engages(lag, 137)) << lag;
        EXPECT_TRUE(pitch_filter_engages(lag, 143)) << lag;
    }
}

TEST(PitchPostfilter, NegativeCorrelationsLeaveTheResidualAlone) {
    double buf[183];
    for (int i = 0; i < 143; ++i) buf[i] = -1.0;
    for (int i = 143; i < 183; ++i) buf[i] = 1.0;
    double p[40];
    pitch_postfilter(buf + 143, 50, 56, p);
    EXPECT_TRUE(same(p, buf + 143, 40));
    // The same residual against a positive history is filtered.
    for (int i = 0; i < 143; ++i) buf[i] = 0.5;
    pitch_postfilter(buf + 143, 50, 56, p);
    EXPECT_FALSE(same(p, buf + 143, 40));
    // There the pitch gain exceeds 1 and the fixed pair 2/3, 1/3 applies.
    EXPECT_NEAR(2.0 / 3.0 + 0.5 / 3.0, p[0], 1e-15);
}

TEST(PitchPostfilter, EqualCorrelationsKeepTheShorterLag) {
    double buf[183] = {};
    double* res = buf + 143;
    res[0] = 1.0;
    res[-50] = 2.0;  // c(50) = c(52) = 2
    res[-52] = 2.0;
    res[-48] = 0.3;  // tells the two lags apart: p[2] = g*res[2-t0], p[4] = g*res[4-t0]
    double p[40];
    pitch_postfilter(res, 48, 54, p);
    EXPECT_GT(p[2], 0.0);
    EXPECT_EQ(0.0, p[4]);
}

TEST(TiltCompensation, UsesUnmodifiedPreviousSamplesAndCarriesTheLast) {
    double p[40], orig[40];
    for (int i = 0; i < 40; ++i) orig[i] = p[i] = 10.0 + i * i;
    double mem = 3.0;
    tilt_compensation(p, 0.25, &mem);
    EXPECT_EQ(orig[0] - 0.25 * 3.0, p[0]);
    for (int i = 1; i < 40; ++i) EXPECT_EQ(orig[i] - 0.25 * orig[i - 1], p[i]) << i;
    EXPECT_EQ(orig[39], mem);
}

TEST(PostfilterAgc, SilentOutputResetsAndSilentInputDecays) {
    double out[40] = {}, x[40];
    for (int i = 0; i < 40; ++i) x[i] = 100.0;
    double gain = 0.7;
    postfilter_agc(&gain, out, x);
    EXPECT_EQ(0.0, gain);
    for (double v : out) EXPECT_EQ(0.0, v);

    double zero_in[40] = {};
    for (int i = 0; i < 40; ++i) out[i] = 5.0;
    gain = 1.0;
    postfilter_agc(&gain, out, zero_in);
    double g = 1.0;
    for (int i = 0; i < 40; ++i) {
        g *= 0.9;
        EXPECT_EQ(5.0 * g, out[i]) << i;
    }
    EXPECT_EQ(g, gain);
}

TEST(PostfilterAgc, RampsFromZeroTowardsTheInputLevel) {
    double out[40], x[40];
    for (int i = 0; i < 40; ++i) out[i] = x[i] = (i % 2 ? 1.0 : -1.0) * 50.0;
    double gain = 0.0;
    postfilter_agc(&gain, out, x);
    for (int i = 1; i < 40; ++i) EXPECT_GT(std::fabs(out[i]), std::fabs(out[i - 1]));
    EXPECT_NEAR(1.0 - std::pow(0.9, 40), gain, 1e-12);
}

TEST(Postprocess, SilenceStaysSilentAndStateCarriesAcrossCalls) {
    double state[4] = {};
    double zeros[80] = {};
    postprocess(state, zeros, 80);
    for (double v : zeros) EXPECT_EQ(0.0, v);
    for (double v : state) EXPECT_EQ(0.0, v);

    double whole[80], split[80];
    fill_voiced(whole, 80, 0);
    std::memcpy(split, whole, sizeof whole);
    double s1[4] = {}, s2[4] = {};
    postprocess(s1, whole, 80);
    postprocess(s2, split, 40);
    postprocess(s2, split + 40, 40);
    EXPECT_TRUE(same(whole, split, 80));
    EXPECT_TRUE(same(s1, s2, 4));
}

TEST(Postprocess, AttenuatesDcAndPassesSpeechBandAtUnityScale) {
    double dc_state[4] = {}, tone_state[4] = {};
    double dc[80], tone[80];
    double peak = 0.0;
    for (int frame = 0; frame < 50; ++frame) {
        for (int i = 0; i < 80; ++i) {
            dc[i] = 1000.0;
            tone[i] = 1000.0 * std::sin(0.25 * std::acos(-1.0) * (80 * frame + i));  // 1 kHz
        }
        postprocess(dc_state, dc, 80);
        postprocess(tone_state, tone, 80);
        if (frame >= 40)
            for (double v : tone) peak = std::max(peak, std::fabs(v));
    }
    EXPECT_LT(std::fabs(dc[79]), 20.0);  // about 40 dB down: the zeros sit just off z = 1
    EXPECT_NEAR(1000.0, peak, 50.0);
}
