#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "dsp/filters.h"

using namespace tarnel;

namespace {

// A stable order-10 LP vector (a gentle resonance) for filter tests.
constexpr double kA[11] = {1.0, -0.9, 0.4, -0.1, 0.05, -0.02, 0.01, 0.0, 0.003, -0.002, 0.001};

void fill_signal(double* x, int n, double scale) {
    for (int i = 0; i < n; ++i) x[i] = scale * std::sin(0.37 * i) + 0.25 * scale * std::cos(1.9 * i);
}

}  // namespace

TEST(SynthesisFilter, WithoutUpdateIsRepeatableAndLeavesMemory) {
    double x[40], y1[40], y2[40];
    fill_signal(x, 40, 1000.0);
    double mem[10] = {1, -2, 3, -4, 5, -6, 7, -8, 9, -10};
    double saved[10];
    std::memcpy(saved, mem, sizeof mem);
    synthesis_filter(kA, x, y1, 40, mem, false);
    synthesis_filter(kA, x, y2, 40, mem, false);
    EXPECT_EQ(0, std::memcmp(y1, y2, sizeof y1));
    EXPECT_EQ(0, std::memcmp(mem, saved, sizeof mem));
}

TEST(SynthesisFilter, InPlaceMatchesSeparateOutput) {
    double x[40], y[40];
    fill_signal(x, 40, 300.0);
    double mem1[10] = {0.5, 0, 0, 0, 0, 0, 0, 0, 0, -0.5};
    double mem2[10];
    std::memcpy(mem2, mem1, sizeof mem1);
    synthesis_filter(kA, x, y, 40, mem1, true);
    synthesis_filter(kA, x, x, 40, mem2, true);
    EXPECT_EQ(0, std::memcmp(x, y, sizeof y));
    EXPECT_EQ(0, std::memcmp(mem1, mem2, sizeof mem1));
}

TEST(SynthesisFilter, FirstOutputFollowsTheWrittenOrder) {
    double x[1] = {10.0}, y[1];
    double mem[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    synthesis_filter(kA, x, y, 1, mem, false);
    double expect = 10.0;
    for (int k = 1; k <= 10; ++k) expect -= kA[k] * mem[10 - k];
    EXPECT_EQ(expect, y[0]);
}

TEST(SynthesisFilter, UpdateFlushesOnlyTheMemory) {
    // Identity filter: outputs equal inputs, so the memory receives the inputs.
    const double a[11] = {1.0};
    double x[40] = {0};
    x[30] = 1.9e-5;
    x[31] = -1.5e-5;
    x[32] = 2e-5;
    x[33] = -2e-5;
    x[34] = 1e-6;
    double y[40];
    double mem[10] = {0};
    synthesis_filter(a, x, y, 40, mem, true);
    EXPECT_EQ(0.0, mem[0]);
    EXPECT_EQ(0.0, mem[1]);
    EXPECT_EQ(2e-5, mem[2]);
    EXPECT_EQ(-2e-5, mem[3]);
    EXPECT_EQ(0.0, mem[4]);
    EXPECT_EQ(1e-6, y[34]);
}

TEST(SynthesisFilter, ShortBlockShiftsOldMemory) {
    const double a[11] = {1.0};
    double x[3] = {100.0, 200.0, 300.0}, y[3];
    double mem[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    synthesis_filter(a, x, y, 3, mem, true);
    const double expect[10] = {4, 5, 6, 7, 8, 9, 10, 100, 200, 300};
    for (int j = 0; j < 10; ++j) EXPECT_EQ(expect[j], mem[j]);
}

TEST(SynthesisFilter, MemoryInsideTheFilteredArray) {
    // The post-filter filters h in place with h[11..20] (zero) as memory.
    double h[22] = {1.0, 0.5, 0.25};
    double ref_in[22];
    std::memcpy(ref_in, h, sizeof h);
    double ref_out[22];
    double zero[10] = {0};
    synthesis_filter(kA, ref_in, ref_out, 22, zero, false);
    synthesis_filter(kA, h, h, 22, h + 11, false);
    EXPECT_EQ(0, std::memcmp(h, ref_out, sizeof h));
}

TEST(FilterPair, IdentityCoefficientsCopy) {
    const double a[11] = {1.0};
    double buf[50];
    fill_signal(buf, 50, 77.0);
    double y[40], z[40];
    residual_filter(a, buf + 10, y, 40);
    double mem[10] = {0};
    synthesis_filter(a, buf + 10, z, 40, mem, false);
    EXPECT_EQ(0, std::memcmp(y, buf + 10, sizeof y));
    EXPECT_EQ(0, std::memcmp(z, buf + 10, sizeof z));
}

TEST(FilterPair, ResidualThenSynthesisRestoresInput) {
    double buf[50];
    fill_signal(buf, 50, 1000.0);
    double res[40], back[40];
    residual_filter(kA, buf + 10, res, 40);
    double mem[10];
    std::memcpy(mem, buf, sizeof mem);
    synthesis_filter(kA, res, back, 40, mem, false);
    for (int i = 0; i < 40; ++i) EXPECT_NEAR(buf[10 + i], back[i], 1e-9);
}

TEST(ResidualFilter, SumOrderAndEmptyCount) {
    double buf[11];
    for (int i = 0; i < 11; ++i) buf[i] = 0.1 * (i + 1);
    double y[1] = {42.0};
    residual_filter(kA, buf + 10, y, 0);
    EXPECT_EQ(42.0, y[0]);
    residual_filter(kA, buf + 10, y, 1);
    double expect = kA[1] * buf[9] + buf[10];
    for (int k = 2; k <= 10; ++k) expect += kA[k] * buf[10 - k];
    EXPECT_EQ(expect, y[0]);
}

TEST(WeightLp, PowersByRepeatedMultiplication) {
    double ap[11];
    weight_lp(kA, 10, ap, 1.0);
    EXPECT_EQ(0, std::memcmp(ap, kA, sizeof ap));
    weight_lp(kA, 10, ap, 0.0);
    EXPECT_EQ(1.0, ap[0]);
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(0.0, ap[i]);
    weight_lp(kA, 10, ap, 0.75);
    double f = 0.75;
    for (int i = 1; i <= 10; ++i) {
        EXPECT_EQ(kA[i] * f, ap[i]);
        f = f * 0.75;
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
