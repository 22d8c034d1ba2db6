// LSF quantizer: helpers, encoder/decoder agreement, and coding quality on speech.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/filters.h"
#include "lpc/lp_analysis.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_conversion_internal.h"
#include "lpc/lsp_quantizer.h"
#include "lpc/lsp_quantizer_internal.h"
#include "support/test_support.h"
#include "tables/lp_tables.h"
#include "tables/lsp_codebook1.h"
#include "tables/lsp_codebook2.h"
#include "tables/lsp_predictor_tables.h"

namespace {

using namespace tarnel;

constexpr double kPi = 3.14159265358979323846;

void reset_predictor(double (*p)[10]) {
    for (int k = 0; k < 4; ++k) std::copy(lsf_reset, lsf_reset + 10, p[k]);
}

bool same_predictor(const double (*p)[10], const double (*q)[10]) {
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 10; ++i)
            if (p[k][i] != q[k][i]) return false;
    return true;
}

// The guarantees every decoded vector carries. A gap set as lsf[j] + 0.0392 may read back a
// rounding below 0.0392 when subtracted, hence the relative allowance on gaps only.
::testing::AssertionResult stabilised(const double* lsf) {
    if (!(lsf[0] >= 0.005)) return ::testing::AssertionFailure() << "lsf[0] = " << lsf[0];
    if (!(lsf[9] <= 3.135)) return ::testing::AssertionFailure() << "lsf[9] = " << lsf[9];
    for (int j = 0; j < 8; ++j)
        if (!(lsf[j + 1] - lsf[j] >= 0.0392 * (1.0 - 1e-12)))
            return ::testing::AssertionFailure() << "gap " << j << " = " << lsf[j + 1] - lsf[j];
    if (!(lsf[9] > lsf[8])) return ::testing::AssertionFailure() << "last pair not ordered";
    return ::testing::AssertionSuccess();
}

TEST(LsfWeights, CloseNeighboursWeighMore) {
    // Neighbours 0.5 apart give d = -0.5 and the weight 10 * 0.25 + 1 = 3.5, exactly.
    const double even[10] = {0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.25, 2.5};
    double w[10];
    lsf_weights(even, w);
    for (int i : {1, 2, 3, 6, 7, 8}) EXPECT_EQ(w[i], 3.5) << i;
    EXPECT_EQ(w[4], 1.2 * 3.5);
    EXPECT_EQ(w[5], 1.2 * 3.5);
    // The end weights measure against 0.04 kPi and 0.92 kPi instead of a missing neighbour.
    const double d0 = even[1] - 0.12566370616 - 1.0;
    const double d9 = 2.8902652416800003 - even[8] - 1.0;
    EXPECT_EQ(w[0], 10.0 * (d0 * d0) + 1.0);
    EXPECT_EQ(w[9], 10.0 * (d9 * d9) + 1.0);

    // Neighbours more than 1 rad apart weigh exactly 1.
    const double wide[10] = {0.1, 0.2, 0.4, 1.5, 1.6, 1.7, 1.75, 1.8, 1.85, 3.0};
    lsf_weights(wide, w);
    EXPECT_EQ(w[2], 1.0);
    EXPECT_EQ(w[9], 1.0);
    EXPECT_GT(w[1], 1.0);
}

TEST(LsfSpace, PullsApartCloseNeighbours) {
    double buf[10] = {0.3, 0.6, 0.9, 1.2, 1.5, 1.5, 2.1, 2.4, 2.7, 3.0};
    lsf_space(buf, 0.0012);
    EXPECT_NEAR(buf[4], 1.5 - 0.0006, 1e-15);
    EXPECT_NEAR(buf[5], 1.5 + 0.0006, 1e-15);
    EXPECT_EQ(buf[3], 1.2);
    EXPECT_EQ(buf[6], 2.1);

    // The low half stops at pair 4, the high half starts at pair 5.
    double low[10] = {0.3, 0.6, 0.9, 1.2, 1.5, 1.5, 2.1, 2.4, 2.4, 3.0};
    double high[10];
    std::copy(low, low + 10, high);
    lsf_space_low(low, 0.0012);
    EXPECT_EQ(low[4], 1.5);
    EXPECT_EQ(low[8], 2.4);
    lsf_space_high(high, 0.0012);
    EXPECT_LT(high[4], 1.5);
    EXPECT_GT(high[8], 2.4);
}

TEST(LsfStabilize, ClampsAndSpacesTheVector) {
    double flat[10];
    std::fill(flat, flat + 10, 0.001);
    lsf_stabilize(flat);
    EXPECT_EQ(flat[0], 0.005);
    for (int j = 0; j < 9; ++j) EXPECT_EQ(flat[j + 1], flat[j] + 0.0392) << j;

    double top[10] = {0.3, 0.6, 0.9, 1.2, 1.5, 1.8, 2.1, 2.4, 3.12, 3.2};
    lsf_stabilize(top);
    EXPECT_EQ(top[9], 3.135);
    EXPECT_NEAR(top[9] - top[8], 0.015, 1e-12);
}

TEST(LsfStabilize, OnePassDoesNotSortADescendingVector) {
    double v[10] = {3.0, 2.7, 2.4, 2.1, 1.8, 1.5, 1.2, 0.9, 0.6, 0.3};
    lsf_stabilize(v);
    // The single pass carries 3.0 to the end and leaves 2.7 .. 0.3 descending in front of
    // it; the spacing step then builds a staircase of minimum gaps up from 2.7, and it
    // overtakes 3.0 as well. A sort would have started at 0.3.
    EXPECT_EQ(v[0], 2.7);
    for (int j = 0; j < 9; ++j) EXPECT_EQ(v[j + 1], v[j] + 0.0392) << j;
    EXPECT_LT(v[9], 3.135);
}

TEST(LspPredictor, PushShiftsRows) {
    double p[4][10], saved[4][10];
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 10; ++i) saved[k][i] = p[k][i] = 10.0 * k + i;
    const double buf[10] = {-1, -2, -3, -4, -5, -6, -7, -8, -9, -10};
    lsp_predictor_push(buf, p);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(p[0][i], buf[i]);
        for (int k = 1; k < 4; ++k) EXPECT_EQ(p[k][i], saved[k - 1][i]);
    }
}

TEST(LspDecode, FieldsAreMaskedToTheirWidths) {
    double p1[4][10], p2[4][10], p3[4][10];
    reset_predictor(p1);
    reset_predictor(p2);
    reset_predictor(p3);
    double lsp_q[10], lsf_ref[10], lsp_wide[10];
    const int indices[2] = {255, 1023};
    lsp_decode(p1, indices, lsp_q);
    lsf_reconstruct(127, 31, 31, 1, p2, lsf_ref);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(lsp_q[i], std::cos(lsf_ref[i])) << i;
    EXPECT_TRUE(same_predictor(p1, p2));

    const int wide[2] = {255 + 3 * 256, 1023 + 7 * 1024};
    lsp_decode(p3, wide, lsp_wide);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(lsp_wide[i], lsp_q[i]) << i;
    double vector[10];
    lsp_codebook_vector(wide, vector);  // what the decoder pushed, masked alike
    for (int i = 0; i < 10; ++i) EXPECT_EQ(vector[i], p3[0][i]) << i;
}

TEST(LspDecode, PredictorKeepsTheCodebookVectorBeforePrediction) {
    // A zero predictor leaves the quantized LSFs as the spaced codebook vector times fg_sum.
    double p[4][10] = {};
    double lsf_q[10];
    lsf_reconstruct(0, 0, 0, 0, p, lsf_q);
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(p[0][i], lspcb1[0][i] + lspcb2[0][i], 0.0012) << i;
        EXPECT_EQ(p[1][i], 0.0) << i;
    }
    double expect[10];
    for (int i = 0; i < 10; ++i) expect[i] = p[0][i] * fg_sum[0][i];
    lsf_stabilize(expect);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(lsf_q[i], expect[i]) << i;
}

TEST(LspDecode, EveryIndexCombinationDecodesToAStableVector) {
    double reset[4][10];
    reset_predictor(reset);
    for (int mode = 0; mode < 2; ++mode)
        for (int l1 = 0; l1 < 128; ++l1)
            for (int l2 = 0; l2 < 32; ++l2)
                for (int l3 = 0; l3 < 32; ++l3) {
                    double p[4][10], lsf_q[10];
                    std::copy(&reset[0][0], &reset[0][0] + 40, &p[0][0]);
                    lsf_reconstruct(l1, l2, l3, mode, p, lsf_q);
                    ASSERT_TRUE(stabilised(lsf_q)) << mode << " " << l1 << " " << l2 << " " << l3;
                }
}

TEST(LspQuantize, FirstFrameMatchesTheDecoder) {
    double enc[4][10], dec[4][10];
    reset_predictor(enc);
    reset_predictor(dec);
    double lsp_q[10], lsp_d[10];
    int indices[2];
    lsp_quantize(enc, lsp_reset, lsp_q, indices);
    lsp_decode(dec, indices, lsp_d);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(lsp_q[i], lsp_d[i]) << i;
    EXPECT_TRUE(same_predictor(enc, dec));
    EXPECT_GE(indices[0], 0);
    EXPECT_LT(indices[0], 256);
    EXPECT_GE(indices[1], 0);
    EXPECT_LT(indices[1], 1024);
}

TEST(LspQuantize, NeitherModeBetterKeepsModeZero) {
    // Equal errors choose mode 0. A hostile NaN input makes every distance and both errors NaN
    // (no candidate beats the search start, no error is smaller than the other; the output is
    // still a stable vector decoded from indices 0); a predictor memory near the largest double
    // makes both errors infinite, a tie.
    const struct { double lsp, memory; } cases[] = {{std::nan(""), -1.0}, {0.5, 1e300}};
    for (const auto& c : cases) {
        double p[4][10];
        reset_predictor(p);
        if (c.memory > 0.0)
            for (auto& row : p) std::fill(row, row + 10, c.memory);
        double lsp[10], lsp_q[10];
        std::fill(lsp, lsp + 10, c.lsp);
        int indices[2] = {-1, -1};
        lsp_quantize(p, lsp, lsp_q, indices);
        EXPECT_EQ(indices[0] >> 7, 0) << c.memory;
        if (!std::isnan(c.lsp)) continue;
        EXPECT_EQ(indices[0], 0);
        EXPECT_EQ(indices[1], 0);
        double lsf_q[10];
        lsp_to_lsf(lsp_q, lsf_q, 10);
        EXPECT_TRUE(stabilised(lsf_q));
    }
}

TEST(LspQuantize, StationaryInputConverges) {
    // With the same spectrum frame after frame the prediction settles and the quantized
    // LSFs stay close to the input. The spectrum lies near a searched first-stage row (the
    // search reaches rows 0-36 only), off it by more than the second stage's spacing.
    double p[4][10];
    reset_predictor(p);
    double lsf[10];
    for (int i = 0; i < 10; ++i) lsf[i] = lspcb1[9][i] + 0.02 * (i % 3);
    double lsp[10], lsp_q[10], lsf_q[10];
    lsf_to_lsp(lsf, lsp, 10);
    int indices[2];
    for (int f = 0; f < 20; ++f) lsp_quantize(p, lsp, lsp_q, indices);
    lsp_to_lsf(lsp_q, lsf_q, 10);
    for (int i = 0; i < 10; ++i) EXPECT_NEAR(lsf_q[i], lsf[i], 0.05) << i;
}

// Log power spectrum of 1/A in dB at kFreqs points over 0..4 kHz.
constexpr int kFreqs = 256;
void log_envelope(const double* a, double* db) {
    for (int f = 0; f < kFreqs; ++f) {
        const double w = kPi * (f + 0.5) / kFreqs;
        double re = 0.0, im = 0.0;
        for (int k = 0; k <= 10; ++k) {
            re += a[k] * std::cos(k * w);
            im -= a[k] * std::sin(k * w);
        }
        db[f] = -10.0 * std::log10(re * re + im * im);
    }
}

// The encoder's analysis chain over the speech sample, with a decoder fed the indices.
TEST(LspQuantize, SpeechRoundTripIsBitExactStableAndAccurate) {
    const std::vector<int16_t> pcm = tarnel::test::load_speech_sample();
    const size_t frames = pcm.size() / 80;
    ASSERT_GE(frames, 300u);

    double pre[4] = {0.0, 0.0, 0.0, 0.0};
    double buf[240] = {};
    double lsp_old[10];
    std::copy(lsp_reset, lsp_reset + 10, lsp_old);
    // dec runs the decoder proper; ref rebuilds the same frames in the LSF domain, so that the
    // bounds are checked on the exact LSFs rather than on acos of the decoded cosines.
    double enc[4][10], dec[4][10], ref[4][10];
    reset_predictor(enc);
    reset_predictor(dec);
    reset_predictor(ref);

    double sd_sum = 0.0;
    int over_2db = 0, over_4db = 0;
    for (size_t f = 0; f < frames; ++f) {
        for (int n = 0; n < 80; ++n) buf[160 + n] = pcm[f * 80 + n];
        preprocess(pre, buf + 160, 80);
        double r[13], a[11], lsp[10], lsp_q[10], lsp_d[10];
        autocorrelation(buf, 12, r);
        lag_window(12, r);
        levinson(r, a);
        lp_to_lsp(a, lsp, lsp_old);
        std::copy(lsp, lsp + 10, lsp_old);
        int indices[2];
        lsp_quantize(enc, lsp, lsp_q, indices);
        lsp_decode(dec, indices, lsp_d);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(lsp_q[i], lsp_d[i]) << "frame " << f << " i " << i;

        double lsf_q[10];
        lsf_reconstruct(indices[0] & 127, indices[1] >> 5, indices[1] & 31, indices[0] >> 7, ref,
                        lsf_q);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(std::cos(lsf_q[i]), lsp_q[i]) << "frame " << f;
        ASSERT_TRUE(stabilised(lsf_q)) << "frame " << f;

        double a_u[11], a_q[11], db_u[kFreqs], db_q[kFreqs];
        lsp_to_lp(lsp, a_u);
        lsp_to_lp(lsp_q, a_q);
        log_envelope(a_u, db_u);
        log_envelope(a_q, db_q);
        double e = 0.0;
        for (int k = 0; k < kFreqs; ++k) e += (db_u[k] - db_q[k]) * (db_u[k] - db_q[k]);
        const double sd = std::sqrt(e / kFreqs);
        sd_sum += sd;
        over_2db += sd > 2.0;
        over_4db += sd > 4.0;
        copy_vector(buf + 80, buf, 160);
    }
    EXPECT_TRUE(same_predictor(enc, dec));

    // Measured on this sample with the first stage searching rows 0-36: 2.32 dB mean over
    // 2030 frames, 53% of frames above 2 dB and 7.4% above 4 dB (1.23 dB, 8% and 0.15% when
    // all 128 rows were searched). The chain is deterministic, so the margin only has to
    // absorb a change of codebook rows; it still fails for a reversed mode decision (3.07 dB),
    // a mode error without the fg_sum scaling (2.80 dB) or a missing second stage (5.66 dB).
    const double mean_sd = sd_sum / frames;
    RecordProperty("mean_spectral_distortion_db", std::to_string(mean_sd));
    EXPECT_LE(mean_sd, 2.4);
    EXPECT_LE(over_2db, static_cast<int>(0.56 * frames));
    EXPECT_LE(over_4db, static_cast<int>(0.08 * frames));
}

}  // namespace
