#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <random>
#include <utility>

#include "dsp/filters.h"
#include "excitation/pitch.h"
#include "tables/pitch_tables.h"

using namespace tarnel;

namespace {

// A subframe (or frame) buffer with 154 readable samples before index 0.
struct history {
    double buf[154 + 80] = {};
    double* now() { return buf + 154; }
};

void fill_random(double* v, int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> dist(0.0, 1000.0);
    for (int i = 0; i < n; ++i) v[i] = dist(gen);
}

int open_loop_of(std::initializer_list<std::pair<int, double>> pulses) {
    history w;
    for (const auto& p : pulses) w.now()[p.first] = p.second;
    return pitch_open_loop(w.now(), 80);
}

// Target that is exactly the filtered adaptive vector of (t0, frac) over random excitation;
// returns the search's lag and checks the vector it leaves against that of its own lag.
int closed_loop_of(int t0, int frac, int start, int t_min, int t_max, int* frac_out) {
    const double a[11] = {1.0, -0.9, 0.4, -0.1, 0.05};
    double h[40] = {1.0}, mem[10] = {}, x[40];
    synthesis_filter(a, h, h, 40, mem, false);
    history e;
    fill_random(e.buf, 154, 4);
    history ref = e;
    adaptive_codebook_vector(ref.now(), t0, frac, 40);
    for (int n = 0; n < 40; ++n) {
        x[n] = 0.0;
        for (int k = 0; k <= n; ++k) x[n] += h[k] * ref.now()[n - k];
    }
    const int found = pitch_closed_loop(e.now(), x, h, 40, t_min, t_max, start, frac_out);
    history own = ref;
    adaptive_codebook_vector(own.now(), found, *frac_out, 40);
    for (int j = 0; j < 40; ++j) EXPECT_EQ(e.now()[j], own.now()[j]) << j;
    return found;
}

}  // namespace

TEST(PitchOpenLoop, SectionsRefinementAndFavouring) {
    EXPECT_EQ(open_loop_of({}), 20);  // all correlations 0.0: the first lag of each section
    for (int lag : {27, 63, 100, 142}) EXPECT_EQ(open_loop_of({{0, 1.0}, {-lag, 1.0}}), lag);
    // Even scan sees 100 only; 101 beats it, and 99 (tried as 100 - 1) beats 101.
    EXPECT_EQ(open_loop_of({{0, 1.0}, {-100, 0.5}, {-101, 1.0}}), 101);
    EXPECT_EQ(open_loop_of({{0, 1.0}, {-100, 0.5}, {-101, 0.8}, {-99, 1.0}}), 99);
    // Normalised R(80) is 2.5 % above R(40), but 80 = 2 * 40 earns lag 40 a quarter of it.
    EXPECT_EQ(open_loop_of({{40, 1.0}, {0, 1.0}, {-40, 0.5}, {-80, 0.8}}), 40);
    EXPECT_EQ(open_loop_of({{0, 1.0}, {-40, 0.5}, {-100, 0.9}}), 100);  // no multiple
}

TEST(PitchSearchRange, SevenLagsInsideTheLagRange) {
    const int cases[][3] = {{20, 20, 26},    {21, 20, 26},    {24, 21, 27},   {100, 97, 103},
                            {140, 137, 143}, {141, 137, 143}, {142, 137, 143}};
    for (const auto& c : cases) {
        int lo = 0, hi = 0;
        pitch_search_range(c[0], &lo, &hi);
        EXPECT_EQ(lo, c[1]) << c[0];
        EXPECT_EQ(hi, c[2]) << c[0];
    }
}

TEST(AdaptiveCodebook, IntegerDelayIsASymmetricSmoothing) {
    history e;
    fill_random(e.buf, 154, 2);
    double expected[40];
    for (int j = 0; j < 40; ++j) {
        const double* c = e.now() + j - 57;
        expected[j] = inter_3l[0] * c[0];
        for (int k = 1; k <= 9; ++k) expected[j] += inter_3l[3 * k] * (c[-k] + c[k]);
    }
    adaptive_codebook_vector(e.now(), 57, 0, 40);
    for (int j = 0; j < 40; ++j) EXPECT_NEAR(e.now()[j], expected[j], 1e-9) << j;
}

TEST(AdaptiveCodebook, FractionalDelaysFollowASlowSinusoid) {
    const double w = 2.0 * 3.14159265358979 * 0.015;
    for (int frac = -1; frac <= 1; ++frac) {
        for (int t0 : {51, 85, 143}) {  // from 51 on no tap reaches the subframe itself
            history e;
            for (int i = -154; i < 0; ++i) e.now()[i] = std::sin(w * i);
            adaptive_codebook_vector(e.now(), t0, frac, 40);
            for (int j = 0; j < 40; ++j)
                EXPECT_NEAR(e.now()[j], std::sin(w * (j - t0 - frac / 3.0)), 0.01) << t0 << frac;
        }
    }
}

TEST(AdaptiveCodebook, ShortLagRepeatsSamplesBuiltInThisSubframe) {
    // Old subframe content must not leak in: every read at a non-negative index must see an
    // output already written, so the result is a fixed point of the interpolation.
    for (int frac = -1; frac <= 1; ++frac) {
        history e;
        fill_random(e.buf, 154, 3);
        for (int j = 0; j < 40; ++j) e.now()[j] = 1e9;
        adaptive_codebook_vector(e.now(), 20, frac, 40);
        const int p = frac > 0 ? 2 : -frac, base = frac > 0 ? -21 : -20;
        for (int j = 0; j < 40; ++j) {
            double v = 0.0;
            for (int i = 0; i < 10; ++i)
                v += e.now()[base + j - i] * inter_3l[p + 3 * i] +
                     e.now()[base + j + 1 + i] * inter_3l[3 - p + 3 * i];
            EXPECT_NEAR(e.now()[j], v, 1e-6) << j;
            EXPECT_LT(std::fabs(e.now()[j]), 1e5);
        }
    }
}

TEST(PitchClosedLoop, FindsTheLagOfAPurePitchTarget) {
    const int cases[][5] = {// t0, frac, subframe start, range
                            {60, -1, 40, 55, 64}, {60, 0, 40, 55, 64},    {60, 1, 40, 55, 64},
                            {84, 1, 0, 81, 87},   {84, -1, 0, 81, 87},    {30, 1, 0, 27, 33},
                            {25, 0, 40, 20, 29},  {137, 1, 40, 134, 143}, {100, 1, 40, 95, 104}};
    for (const auto& c : cases) {
        int frac = 9;
        EXPECT_EQ(closed_loop_of(c[0], c[1], c[2], c[3], c[4], &frac), c[0]) << c[0];
        EXPECT_EQ(frac, c[1]) << c[0] << "," << c[1];
    }
    // From 85 on, the first subframe codes whole samples only.
    int frac = 9;
    EXPECT_EQ(closed_loop_of(85, 1, 0, 82, 88, &frac), 85);
    EXPECT_EQ(frac, 0);
    EXPECT_EQ(closed_loop_of(100, 1, 0, 97, 103, &frac), 100);
    EXPECT_EQ(frac, 0);
}

TEST(PitchClosedLoop, TiesKeepTheFirstLagAndFractionZero) {
    history e;  // silent: every lag and fraction correlates to exactly 0.1
    double h[40] = {1.0, 0.5}, x[40];
    fill_random(x, 40, 8);
    for (int start : {0, 40}) {
        int frac = 9;
        EXPECT_EQ(pitch_closed_loop(e.now(), x, h, 40, 61, 70, start, &frac), 61);
        EXPECT_EQ(frac, 0);
    }
}

TEST(LagCoding, EdgeIndicesAndSecondRange) {
    int lo = 0, hi = 0;
    EXPECT_EQ(encode_lag(20, -1, &lo, &hi, 20, 143, 0), 1);
    EXPECT_EQ(encode_lag(85, 0, &lo, &hi, 20, 143, 0), 197);
    EXPECT_EQ(encode_lag(86, 0, &lo, &hi, 20, 143, 0), 198);
    EXPECT_EQ(encode_lag(143, 0, &lo, &hi, 20, 143, 0), 255);
    const int ranges[][3] = {{140, 134, 143}, {22, 20, 29}, {70, 65, 74}, {138, 133, 142}};
    for (const auto& r : ranges) {
        encode_lag(r[0], 0, &lo, &hi, 20, 143, 0);
        EXPECT_EQ(lo, r[1]) << r[0];
        EXPECT_EQ(hi, r[2]) << r[0];
    }
}

TEST(LagCoding, EveryIndexRoundTrips) {
    for (int index = 1; index <= 255; ++index) {
        int t0 = 0, frac = 0, lo = 0, hi = 0;
        decode_lag(index, 20, 143, 0, &t0, &frac);
        ASSERT_TRUE(t0 >= 20 && t0 <= 143 && frac >= -1 && frac <= 1) << index;
        EXPECT_EQ(encode_lag(t0, frac, &lo, &hi, 20, 143, 0), index);
    }
    for (int t_prev = 20; t_prev <= 143; ++t_prev) {
        int lo = 0, hi = 0;
        encode_lag(t_prev, 0, &lo, &hi, 20, 143, 0);
        for (int index = 1; index <= 30; ++index) {
            int t0 = t_prev, frac = 0;
            decode_lag(index, 20, 143, 40, &t0, &frac);
            EXPECT_TRUE(t0 >= lo && t0 <= hi) << t_prev << " " << index;
            EXPECT_EQ(encode_lag(t0, frac, &lo, &hi, 20, 143, 40), index) << t_prev;
        }
    }
}

TEST(LagCoding, IndicesNeverSentStillDecodeInsideTheBuffer) {
    int t0 = 0, frac = 0;
    decode_lag(0, 20, 143, 0, &t0, &frac);
    EXPECT_EQ(t0, 19);
    EXPECT_EQ(frac, 1);
    for (int t_prev : {20, 80, 143}) {
        int lo = 0, hi = 0;
        encode_lag(t_prev, 0, &lo, &hi, 20, 143, 0);
        t0 = t_prev;
        decode_lag(0, 20, 143, 40, &t0, &frac);
        EXPECT_EQ(t0, lo - 1);
        EXPECT_EQ(frac, 1);
        t0 = t_prev;
        decode_lag(31, 20, 143, 40, &t0, &frac);
        EXPECT_EQ(t0, lo + 10);
        EXPECT_EQ(frac, -1);
        EXPECT_LE(t0 + 1 + 9, 154);  // delay with its taps stays in the history
    }
}

TEST(PitchGain, ZeroClampsAndCorrelations) {
    double x[40], y1[40] = {}, g[2], scaled[40];
    fill_random(x, 40, 5);
    EXPECT_EQ(pitch_gain(x, y1, g, 40), 0.0);
    EXPECT_EQ(g[0], 0.01);
    EXPECT_EQ(g[1], 0.01);
    fill_random(y1, 40, 6);
    for (const double f : {0.5, 2.0, -1.0}) {
        for (int i = 0; i < 40; ++i) scaled[i] = f * y1[i];
        const double gain = pitch_gain(scaled, y1, g, 40);
        EXPECT_NEAR(gain, f < 0.0 ? 0.0 : f > 1.2 ? 1.2 : f, 1e-9);
        EXPECT_NEAR(g[1], -2.0 * f * (g[0] - 0.01) + 0.01, 1e-9 * g[0]);
    }
}

TEST(Taming, TestLooksOnlyAtTheZonesTheLagReaches) {
    struct tcase {
        double e[4];
        int t0, frac, expected;
    };
    const tcase cases[] = {
        {{60000.0, 1e9, 1e9, 1e9}, 20, 0, 0},  // zone 0 only; 60000 is not above the limit
        {{60000.5, 1.0, 1.0, 1.0}, 20, 0, 1}, {{1e9, 1e9, 1.0, 1.0}, 143, 1, 0},  // zones 2..3
        {{1.0, 1.0, 1.0, 7e4}, 143, 1, 1},    {{1.0, 1.0, 7e4, 1.0}, 143, 0, 1},
        {{1e9, 1.0, 1.0, 1e9}, 92, 0, 0},  // zones 1..2
        {{1.0, 1.0, 1e5, 1.0}, 71, 0, 0},  // zones 0..1
        {{1.0, 1.0, 1e5, 1.0}, 71, 1, 1},  // t1 = 72 reaches zone 2
    };
    for (const auto& c : cases) EXPECT_EQ(taming_test(c.e, c.t0, c.frac), c.expected) << c.t0;
}

TEST(Taming, UpdateChainsShortLagsAndShiftsZones) {
    double e[4] = {10.0, 20.0, 30.0, 40.0};
    taming_update(e, 39, 0.5);  // 1 + g e0 = 6 beats 1 + g * 6 = 4
    EXPECT_EQ(e[0], 6.0);
    EXPECT_EQ(e[1], 10.0);
    EXPECT_EQ(e[3], 30.0);
    taming_update(e, 39, 2.0);  // 1 + 2 * (1 + 2 * 6)
    EXPECT_EQ(e[0], 27.0);
    taming_update(e, 40, 2.0);  // zone 0 only
    EXPECT_EQ(e[0], 55.0);
    double l[4] = {1e6, 1e6, 3.0, 5.0};
    taming_update(l, 143, 1.0);  // zones 2..3
    EXPECT_EQ(l[0], 6.0);
}
