#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "dsp/filters.h"
#include "excitation/acelp.h"
#include "excitation/pitch.h"

using namespace tarnel;

namespace {

// A weighted synthesis filter of realistic shape: five resonances, bandwidth-expanded.
struct weighted_filter {
    double ap[11], h[40] = {1.0};
    weighted_filter() {
        const double radius[5] = {0.95, 0.9, 0.85, 0.8, 0.7};
        const double angle[5] = {0.3, 0.9, 1.5, 2.1, 2.7};
        double a[11] = {1.0}, mem[10] = {};
        for (int s = 0; s < 5; ++s)
            for (int k = 2 * s + 2; k >= 1; --k)
                a[k] += -2.0 * radius[s] * std::cos(angle[s]) * a[k - 1] +
                        (k >= 2 ? radius[s] * radius[s] * a[k - 2] : 0.0);
        weight_lp(a, ap, lp_weights_for(0.75));
        synthesis_filter(ap, h, h, 40, mem, false);
    }
    void filter(const double* in, double* out) const {
        double mem[10] = {};
        synthesis_filter(ap, in, out, 40, mem, false);
    }
};

struct search_result {
    int index, sign;
    double code[40], y[40], h[40];
};

search_result search(const double* x, const double* h, int t0, double sharp) {
    search_result r;
    for (int i = 0; i < 40; ++i) r.h[i] = h[i];
    r.index = acelp_search(x, r.h, t0, sharp, r.code, r.y, &r.sign);
    return r;
}

// Decoded pulses with the decoder's own pitch sharpening.
void decode_sharpened(int sign, int index, int t0, double sharp, double* code) {
    acelp_decode(sign, index, code);
    for (int i = t0; i < 40; ++i) code[i] += sharp * code[i - t0];
}

int position_index(const int* pos) {
    return pos[0] / 5 + 8 * (pos[1] / 5) + 64 * (pos[2] / 5) +
           512 * (2 * (pos[3] / 5) + pos[3] % 5 - 3);
}

// The focused search restated on whole filtered vectors: each candidate set is scored by
// (x.y)^2 / (y.y) of its filtered code vector y instead of through the correlation matrix.
// Same candidates and scan order, so it agrees with the search wherever no scores tie.
struct reference_search {
    const double *x, *h;
    double d[40];

    void consider(const int* set, int count, int* best, double* best_sq, double* best_en) const {
        double y[40] = {}, ps = 0.0, en = 0.0;
        for (int n = 0; n < count; ++n)
            for (int m = 0; m + set[n] < 40; ++m)
                y[set[n] + m] += (d[set[n]] >= 0.0 ? 1.0 : -1.0) * h[m];
        for (int i = 0; i < 40; ++i) {
            ps += x[i] * y[i];
            en += y[i] * y[i];
        }
        if (*best_sq >= 0.0 && ps * ps * *best_en <= *best_sq * en) return;
        *best_sq = ps * ps;
        *best_en = en;
        for (int n = 0; n < count; ++n) best[n] = set[n];
    }

    void one_search(int ta, int tb, int tc, int td, int* best, double* sq, double* en) const {
        int cand[2] = {ta, -1}, pair[2] = {}, quad[4] = {};
        for (int p = ta + 5; p < 40; p += 5)
            if (std::fabs(d[p]) > std::fabs(d[cand[0]])) cand[0] = p;
        for (int p = ta; p < 40; p += 5)
            if (p != cand[0] && (cand[1] < 0 || std::fabs(d[p]) > std::fabs(d[cand[1]])))
                cand[1] = p;
        double s = -1.0, e = 1.0;
        for (int c : cand) {
            for (int p = tb; p < 40; p += 5) {
                const int set[2] = {c, p};
                consider(set, 2, pair, &s, &e);
            }
        }
        s = -1.0;
        for (int p = tc; p < 40; p += 5) {
            for (int q = td; q < 40; q += 5) {
                const int set[4] = {pair[0], pair[1], p, q};
                consider(set, 4, quad, &s, &e);
            }
        }
        int ordered[4];
        for (int p : quad) ordered[p % 5 < 3 ? p % 5 : 3] = p;
        consider(ordered, 4, best, sq, en);
    }

    int run(const double* target, const double* response) {
        x = target;
        h = response;
        target_correlation(h, x, d);
        int best[4] = {0, 1, 2, 3};
        double sq = -1.0, en = 1.0;
        for (int t3 = 3; t3 <= 4; ++t3) {
            one_search(2, t3, 0, 1, best, &sq, &en);
            one_search(t3, 0, 1, 2, best, &sq, &en);
        }
        return position_index(best);
    }
};

}  // namespace

TEST(AcelpDecode, ExtremeIndices) {
    double code[40], expected[40] = {};
    acelp_decode(0, 0, code);
    for (int p : {0, 1, 2, 3}) expected[p] = -1.0;
    for (int i = 0; i < 40; ++i) EXPECT_EQ(code[i], expected[i]) << i;
    acelp_decode(15, 8191, code);
    for (int i = 0; i < 40; ++i) expected[i] = i >= 35 && i != 38 ? 1.0 : 0.0;
    for (int i = 0; i < 40; ++i) EXPECT_EQ(code[i], expected[i]) << i;
}

TEST(AcelpSearch, EveryPulseSetCodesAndDecodesToItself) {
    // With an impulse for h the correlation matrix is diagonal and d is the target itself:
    // a target of four pulses is the unique best set, and the search must return it.
    const double h[40] = {1.0};
    for (int index = 0; index < 8192; ++index) {
        int pos[4];
        double x[40];
        acelp_decode(0, index, x);
        for (int i = 0; i < 40; ++i)
            if (x[i] != 0.0) pos[i % 5 < 3 ? i % 5 : 3] = i;
        ASSERT_EQ(position_index(pos), index);  // decoder and data layout agree
        for (int sign = 0; sign < 16; ++sign) {
            acelp_decode(sign, index, x);
            const search_result r = search(x, h, 60, 0.5);
            ASSERT_EQ(r.index, index);
            ASSERT_EQ(r.sign, sign);
        }
    }
}

TEST(AcelpSearch, FindsTheFourPulsesBehindAFilteredTarget) {
    const weighted_filter wf;
    const int sets[][5] = {// positions in track order, sign index
                           {15, 6, 22, 33, 11},
                           {0, 36, 7, 14, 4},
                           {35, 21, 2, 39, 15},
                           {10, 1, 32, 8, 0},
                           {25, 16, 12, 24, 6}};
    for (int t0 : {25, 60}) {
        for (const auto& s : sets) {
            double code[40], x[40];
            decode_sharpened(s[4], position_index(s), t0, 0.6, code);
            wf.filter(code, x);
            const search_result r = search(x, wf.h, t0, 0.6);
            EXPECT_EQ(r.index, position_index(s)) << s[0] << "," << s[1] << "," << s[2];
            EXPECT_EQ(r.sign, s[4]);
        }
    }
}

TEST(AcelpSearch, AgreesWithAScanOverFilteredVectors) {
    const weighted_filter wf;
    std::mt19937 gen(13);
    std::normal_distribution<double> dist(0.0, 500.0);
    for (int trial = 0; trial < 400; ++trial) {
        double x[40];
        for (double& v : x) v = dist(gen);
        const search_result r = search(x, wf.h, 20 + trial % 124, 0.2 + 0.001 * trial);
        reference_search ref;
        EXPECT_EQ(r.index, ref.run(x, r.h)) << trial;
    }
}

TEST(AcelpSearch, TiesKeepTheFirstCandidate) {
    // Zero target: all positions count as positive, and the first combination tried,
    // pulses 0, 1, 2, 3, is never beaten.
    const weighted_filter wf;
    const double zero[40] = {};
    search_result r = search(zero, wf.h, 80, 0.2);
    EXPECT_EQ(r.index, 0);
    EXPECT_EQ(r.sign, 15);

    // Positions 7 and 27 of track 2 tie for the largest d: the lower one is taken.
    const double h[40] = {1.0};
    double x[40] = {};
    for (int p : {5, 11, 7, 27, 18}) x[p] = 1.0;
    r = search(x, h, 60, 0.2);
    const int pos[4] = {5, 11, 7, 18};
    EXPECT_EQ(r.index, position_index(pos));
}

TEST(AcelpSearch, SharpenedOutputsMatchDecoderAndSynthesisFilter) {
    const weighted_filter wf;
    std::mt19937 gen(7);
    std::normal_distribution<double> dist(0.0, 300.0);
    for (int t0 : {20, 33, 39, 40, 143}) {
        double x[40], decoded[40], filtered[40];
        for (double& v : x) v = dist(gen);
        const double sharp = 0.7945;
        const search_result r = search(x, wf.h, t0, sharp);
        // h gets the scaled copy of its start exactly once, and only for lags below 40.
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(r.h[i], t0 < 40 && i >= t0 ? wf.h[i - t0] * sharp + wf.h[i] : wf.h[i]);
        decode_sharpened(r.sign, r.index, t0, sharp, decoded);
        wf.filter(r.code, filtered);
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(r.code[i], decoded[i]) << t0 << " " << i;
            EXPECT_NEAR(r.y[i], filtered[i], 1e-10) << t0 << " " << i;
        }
    }
}
