#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "dsp/filters.h"

using namespace tarnel;

namespace {

// A stable order-10 LP vector (a gentle resonance) for filter tests, and the identity filter.
constexpr double kA[11] = {1.0, -0.9, 0.4, -0.1, 0.05, -0.02, 0.01, 0.0, 0.003, -0.002, 0.001};
constexpr double kIdentity[11] = {1.0};

void fill_signal(double* x, int n, double scale) {
    for (int i = 0; i < n; ++i)
        x[i] = scale * std::sin(0.37 * i) + 0.25 * scale * std::cos(1.9 * i);
}

bool same(const double* a, const double* b, int n) {
    return std::memcmp(a, b, n * sizeof(double)) == 0;
}

}  // namespace

TEST(SynthesisFilter, AliasedBuffersAndMemoryGiveTheSeparateResult) {
    // Reference: separate input, output and memory, without update (twice: repeatable).
    double buf[50];
    fill_signal(buf, 50, 300.0);
    double mem[10] = {1, -2, 3, -4, 5, -6, 7, -8, 9, -10}, saved[10], ref[40], again[40];
    std::memcpy(saved, mem, sizeof mem);
    synthesis_filter(kA, buf, ref, 40, mem, false);
    synthesis_filter(kA, buf, again, 40, mem, false);
    EXPECT_TRUE(same(ref, again, 40));
    EXPECT_TRUE(same(mem, saved, 10));
    // In place, with the memory updated: the same outputs, and the memory takes the last ten.
    double x[40];
    std::memcpy(x, buf, sizeof x);
    synthesis_filter(kA, x, x, 40, mem, true);
    EXPECT_TRUE(same(x, ref, 40));
    EXPECT_TRUE(same(mem, ref + 30, 10));
    // In place with the (zero) memory inside the filtered array, as the post-filter does.
    double h[22] = {1.0, 0.5, 0.25}, zero[10] = {}, h_ref[22];
    synthesis_filter(kA, h, h_ref, 22, zero, false);
    synthesis_filter(kA, h, h, 22, h + 11, false);
    EXPECT_TRUE(same(h, h_ref, 22));
}

TEST(Filters, SumsFollowTheWrittenOrder) {
    double mem[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, x[1] = {10.0}, y[1];
    synthesis_filter(kA, x, y, 1, mem, false);
    double expect = 10.0;
    for (int k = 1; k <= 10; ++k) expect -= kA[k] * mem[10 - k];
    EXPECT_EQ(expect, y[0]);

    double buf[11];
    for (int i = 0; i < 11; ++i) buf[i] = 0.1 * (i + 1);
    y[0] = 42.0;
    residual_filter(kA, buf + 10, y, 0);
    EXPECT_EQ(42.0, y[0]);
    residual_filter(kA, buf + 10, y, 1);
    expect = kA[1] * buf[9] + buf[10];
    for (int k = 2; k <= 10; ++k) expect += kA[k] * buf[10 - k];
    EXPECT_EQ(expect, y[0]);
}

TEST(SynthesisFilter, UpdateShiftsAndFlushesOnlyTheMemory) {
    // Identity filter: outputs equal inputs, so the memory receives the last ten inputs,
    // flushed below the threshold (2e-5 itself stays); a short block keeps older memory.
    double x[40] = {}, y[40], mem[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const double tail[5] = {1.9e-5, -1.5e-5, 2e-5, -2e-5, 1e-6};
    std::memcpy(x + 35, tail, sizeof tail);
    synthesis_filter(kIdentity, x, y, 40, mem, true);
    const double flushed[10] = {0, 0, 0, 0, 0, 0, 0, 2e-5, -2e-5, 0};
    EXPECT_TRUE(same(mem, flushed, 10));
    EXPECT_TRUE(same(y, x, 40));  // outputs are never flushed
    const double block[3] = {100, 200, 300};
    double older[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    synthesis_filter(kIdentity, block, y, 3, older, true);
    const double shifted[10] = {4, 5, 6, 7, 8, 9, 10, 100, 200, 300};
    EXPECT_TRUE(same(older, shifted, 10));
}

TEST(Filters, ResidualAndSynthesisAreInverses) {
    double buf[50], res[40], back[40], id_res[40], id_syn[40], zero[10] = {};
    fill_signal(buf, 50, 1000.0);
    residual_filter(kIdentity, buf + 10, id_res, 40);
    synthesis_filter(kIdentity, buf + 10, id_syn, 40, zero, false);
    EXPECT_TRUE(same(id_res, buf + 10, 40));
    EXPECT_TRUE(same(id_syn, buf + 10, 40));
    residual_filter(kA, buf + 10, res, 40);
    double mem[10];
    std::memcpy(mem, buf, sizeof mem);
    synthesis_filter(kA, res, back, 40, mem, false);
    for (int i = 0; i < 40; ++i) EXPECT_NEAR(buf[10 + i], back[i], 1e-9);
}

TEST(WeightLp, PowersBuiltAtCompileTimeAreTheRunTimeProducts) {
    // The codec's tables are constant expressions; the same products formed at run time (from
    // a gamma the compiler cannot see) must agree bit for bit.
    constexpr lp_weights kTables[] = {lp_weights_for(1.0), lp_weights_for(0.0),
                                      lp_weights_for(0.75), lp_weights_for(0.55),
                                      lp_weights_for(0.7)};
    const double gammas[] = {1.0, 0.0, 0.75, 0.55, 0.7};
    for (int t = 0; t < 5; ++t) {
        volatile double hidden = gammas[t];
        const double gamma = hidden;
        double ap[11];
        weight_lp(kA, ap, kTables[t]);
        EXPECT_EQ(kA[0], ap[0]);
        double f = gamma;
        for (int i = 1; i <= 10; ++i, f = f * gamma)
            EXPECT_EQ(kA[i] * f, ap[i]) << gamma << " " << i;
    }
}

TEST(VectorHelpers, NonPositiveCountsChangeNothingAndCopiesAscend) {
    double v[6] = {1, 2, 3, 4, 5, 6};
    zero_vector(v, 0);
    zero_vector(v, -3);
    copy_vector(v + 1, v, 0);
    copy_vector(v + 1, v, -1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(i + 1.0, v[i]);
    copy_vector(v + 2, v, 4);  // overlapping move towards the start
    const double expect[6] = {3, 4, 5, 6, 5, 6};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(expect[i], v[i]);
    zero_vector(v, 6);
    for (double e : v) EXPECT_EQ(0.0, e);
}
