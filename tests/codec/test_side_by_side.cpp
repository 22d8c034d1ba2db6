// The routines that compute independent sums side by side (lane pairs, several lags or rows
// at once, recursions overlapped) against the plain one-sum-at-a-time loops they replace:
// every result must agree bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "codec/decoder.h"
#include "codec/decoder_internal.h"
#include "codec/encoder.h"
#include "dsp/filters.h"
#include "dsp/wide_lanes.h"
#include "excitation/acelp.h"
#include "excitation/excitation_guard.h"
#include "excitation/pitch.h"
#include "lpc/lp_analysis.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_conversion_internal.h"
#include "lpc/lsp_quantizer.h"
#include "lpc/postfilter.h"
#include "lpc/postfilter_overlapped.h"
#include "support/test_support.h"
#include "tables/lp_tables.h"
#include "tables/pitch_tables.h"

using namespace tarnel;

namespace {

bool same(const double* a, const double* b, int n) {
    return std::memcmp(a, b, n * sizeof(double)) == 0;
}

void fill_random(std::mt19937& rng, double* v, int n, double scale) {
    std::uniform_real_distribution<double> u(-scale, scale);
    for (int i = 0; i < n; ++i) v[i] = u(rng);
}

// A stable-enough LP vector: small random coefficients.
void random_lp(std::mt19937& rng, double* a) {
    a[0] = 1.0;
    fill_random(rng, a + 1, 10, 0.15);
}

// The plain loops, one sum at a time, in the order the codec defines.
void plain_residual(const double* a, const double* x, double* y, int n) {
    for (int i = 0; i < n; ++i) {
        double s = a[1] * x[i - 1] + x[i];
        for (int k = 2; k <= 10; ++k) s += a[k] * x[i - k];
        y[i] = s;
    }
}

void plain_autocorrelation(const double* x, int m, double* r) {
    double y[240];
    for (int n = 0; n < 240; ++n) y[n] = x[n] * lp_window[n];
    for (int k = 0; k <= m; ++k) {
        double s = 0.0;
        for (int j = 0; j < 240 - k; ++j) s += y[j] * y[j + k];
        r[k] = s;
    }
    if (r[0] < 1.0) r[0] = 1.0;
}

void plain_target_correlation(const double* h, const double* x, double* d) {
    for (int i = 0; i < 40; ++i) {
        double s = 0.0;
        for (int j = i; j < 40; ++j) s += x[j] * h[j - i];
        d[i] = s;
    }
}

void plain_adaptive_codebook(double* exc, int t0, int frac, int n) {
    int p = -frac;
    int base = -t0;
    if (p < 0) {
        p += 3;
        base -= 1;
    }
    for (int j = 0; j < n; ++j) {
        const double* left = exc + base + j;
        const double* right = exc + base + j + 1;
        double v = 0.0;
        for (int i = 0; i < 10; ++i)
            v += left[-i] * inter_3l[p + 3 * i] + right[i] * inter_3l[3 - p + 3 * i];
        exc[j] = v;
    }
}

// The closed-loop search one sum at a time: lags in order, then the fractions 0, -1, +1.
int plain_closed_loop(double* exc, const double* x, const double* h, int t_min, int t_max, int sub,
                      int* frac) {
    double d[40];
    plain_target_correlation(h, x, d);
    auto correlation = [&](const double* v, int lag) {
        double c = 0.1;
        for (int j = 0; j < 40; ++j) c += d[j] * v[j - lag];
        return c;
    };
    double max = -1e38;
    int t0 = t_min;
    for (int t = t_min; t <= t_max; ++t) {
        const double c = correlation(exc, t);
        if (c > max) {
            max = c;
            t0 = t;
        }
    }
    *frac = 0;
    plain_adaptive_codebook(exc, t0, 0, 40);
    if (sub == 0 && t0 > 84) return t0;
    double best = correlation(exc, 0), chosen[40];
    std::memcpy(chosen, exc, sizeof chosen);
    for (int f : {-1, 1}) {
        plain_adaptive_codebook(exc, t0, f, 40);
        const double c = correlation(exc, 0);
        if (c > best) {
            best = c;
            *frac = f;
            std::memcpy(chosen, exc, sizeof chosen);
        }
    }
    std::memcpy(exc, chosen, sizeof chosen);
    return t0;
}

// Runs a check with the wide (AVX) variants allowed, where the processor has them, and again
// with the plain ones only.
template <typename Check>
void on_both_paths(Check check) {
    for (bool wide : {true, false}) {
        set_wide_lanes_enabled(wide);
        SCOPED_TRACE(wide ? "wide lanes" : "plain lanes");
        check();
    }
    set_wide_lanes_enabled(true);
}

}  // namespace

TEST(SideBySide, SynthesisPairMatchesTwoSingleFilters) {
    std::mt19937 rng(1);
    for (int trial = 0; trial < 200; ++trial) {
        const int n = trial % 3 == 0 ? 22 : 40;
        double a0[11], a1[11];
        random_lp(rng, a0);
        random_lp(rng, a1);
        // Job 0 filters in place with its memory inside its own output, job 1 separately;
        // memories include values below the flush threshold.
        double x0[50], x1[40], mem1[10];
        fill_random(rng, x0, 50, trial % 2 ? 1e4 : 1e-5);
        fill_random(rng, x1, 40, 3000.0);
        fill_random(rng, mem1, 10, trial % 2 ? 100.0 : 1e-5);
        double ref0[50], ref_y1[40], ref_mem1[10];
        std::memcpy(ref0, x0, sizeof x0);
        std::memcpy(ref_mem1, mem1, sizeof mem1);
        const bool update0 = trial % 4 < 2;
        const bool update1 = trial % 2;
        double y1[40];

        synthesis_filter(a0, ref0, ref0, n, ref0 + 40, update0);
        synthesis_filter(a1, x1, ref_y1, n, ref_mem1, update1);
        synthesis_filter_pair({a0, x0, x0, x0 + 40, update0}, {a1, x1, y1, mem1, update1}, n);

        ASSERT_TRUE(same(ref0, x0, 50)) << trial;
        ASSERT_TRUE(same(ref_y1, y1, n)) << trial;
        ASSERT_TRUE(same(ref_mem1, mem1, 10)) << trial;
    }
}

TEST(SideBySide, SynthesisQuadMatchesFourSingleFilters) {
    on_both_paths([] {
        std::mt19937 rng(9);
        for (int trial = 0; trial < 100; ++trial) {
            const int n = trial % 2 ? 40 : 22;
            double a[4][11], buf[4][50], mem[4][10], y[4][40];
            double ref_buf[4][50], ref_mem[4][10], ref_y[4][40];
            synthesis_job jobs[4];
            for (int l = 0; l < 4; ++l) {
                random_lp(rng, a[l]);
                fill_random(rng, buf[l], 50, 1e3);
                fill_random(rng, mem[l], 10, l % 2 ? 1e-5 : 50.0);
                std::memcpy(ref_buf[l], buf[l], sizeof buf[l]);
                std::memcpy(ref_mem[l], mem[l], sizeof mem[l]);
                const bool update = (trial + l) % 2;
                // Lane 1 filters in place with its memory inside the buffer, as an impulse
                // response does; the others write a separate output.
                if (l == 1) {
                    jobs[l] = {a[l], buf[l], buf[l], buf[l] + 40, update};
                    synthesis_filter(a[l], ref_buf[l], ref_buf[l], n, ref_buf[l] + 40, update);
                } else {
                    jobs[l] = {a[l], buf[l], y[l], mem[l], update};
                    synthesis_filter(a[l], ref_buf[l], ref_y[l], n, ref_mem[l], update);
                }
            }
            synthesis_filter_quad(jobs, n);
            for (int l = 0; l < 4; ++l) {
                ASSERT_TRUE(same(buf[l], ref_buf[l], 50)) << trial << " lane " << l;
                if (l != 1) {
                    ASSERT_TRUE(same(y[l], ref_y[l], n)) << trial << " lane " << l;
                    ASSERT_TRUE(same(mem[l], ref_mem[l], 10)) << trial << " lane " << l;
                }
            }
        }
    });
}

TEST(SideBySide, ResidualFilterMatchesThePlainLoop) {
    on_both_paths([] {
        std::mt19937 rng(2);
        for (int n : {40, 13, 8, 1}) {
            double a[11], x[50], y[40], ref[40];
            random_lp(rng, a);
            fill_random(rng, x, 50, 2e4);
            residual_filter(a, x + 10, y, n);
            plain_residual(a, x + 10, ref, n);
            EXPECT_TRUE(same(y, ref, n)) << n;
        }
    });
}

TEST(SideBySide, AutocorrelationMatchesThePlainLoop) {
    on_both_paths([] {
        std::mt19937 rng(3);
        for (int m : {12, 10, 13, 16}) {
            for (double scale : {3e4, 1.0, 0.0}) {
                double x[240], r[17], ref[17];
                fill_random(rng, x, 240, scale);
                autocorrelation(x, m, r);
                plain_autocorrelation(x, m, ref);
                EXPECT_TRUE(same(r, ref, m + 1)) << m << " " << scale;
            }
        }
    });
}

TEST(SideBySide, TargetCorrelationMatchesThePlainLoop) {
    on_both_paths([] {
        std::mt19937 rng(4);
        for (int trial = 0; trial < 50; ++trial) {
            double h[40], x[40], d[40], ref[40];
            fill_random(rng, h, 40, 2.0);
            fill_random(rng, x, 40, 5000.0);
            // Silent targets, wholly or from some sample on: zero sums keep their sign.
            if (trial % 5 == 0) std::fill(x + trial % 40, x + 40, trial % 10 ? -0.0 : 0.0);
            target_correlation(h, x, d);
            plain_target_correlation(h, x, ref);
            ASSERT_TRUE(same(d, ref, 40)) << trial;
        }
    });
}

TEST(SideBySide, AdaptiveCodebookMatchesThePlainLoopForEveryLag) {
    on_both_paths([] {
        // Short lags read samples built in the same call; every lag and fraction must still agree.
        std::mt19937 rng(5);
        for (int t0 = 11; t0 <= 143; ++t0) {
            for (int frac = -1; frac <= 1; ++frac) {
                double buf[154 + 40], ref[154 + 40];
                fill_random(rng, buf, 154, 1e4);
                fill_random(rng, buf + 154, 40, 1e4);
                std::memcpy(ref, buf, sizeof buf);
                adaptive_codebook_vector(buf + 154, t0, frac, 40);
                plain_adaptive_codebook(ref + 154, t0, frac, 40);
                ASSERT_TRUE(same(buf, ref, 154 + 40)) << t0 << " " << frac;
            }
        }
    });
}

TEST(SideBySide, OverlappedDecoderMatchesTheStagedDecoder) {
    on_both_paths([] {
        // g729_decode_frame overlaps the post-filter with the synthesis of speech frames; the
        // plain sequence of stages on a copy of its state must give the same samples and state.
        const std::vector<int16_t> speech = tarnel::test::load_speech_sample();
        g729_encoder_state enc;
        g729_encoder_init(&enc);
        g729_decoder_state fast, staged;
        g729_decoder_init(&fast);
        g729_decoder_init(&staged);
        std::mt19937 rng(6);
        int injected = 0, damaged = 0;
        for (size_t i = 0; i + kFrame <= speech.size() && i < 400 * kFrame; i += kFrame) {
            uint8_t frame[10];
            int len;
            g729_encode_frame(&enc, &speech[i], frame, &len);
            const int unit = (i / kFrame) % 37 == 36 ? kSidFrameBytes : kSpeechFrameBytes;
            // Hostile frames (any field value) may fail the parity check by chance; the count
            // of damaged frames below is of the others.
            const bool hostile = (i / kFrame) % 17 == 16;
            if (!hostile && unit == kSpeechFrameBytes && (i / kFrame) % 23 == 22) {
                // One flipped bit among the parity-protected six high bits of the first lag
                // (bits 18-23 of the frame: the low six of byte 2) or the parity bit itself
                // (bit 26: 0x20 of byte 3).
                const unsigned bit = rng() % 7;
                if (bit < 6)
                    frame[2] ^= static_cast<uint8_t>(1u << bit);
                else
                    frame[3] ^= 0x20;
                ++injected;
            }
            if (hostile)
                for (uint8_t& b : frame) b = static_cast<uint8_t>(rng());
            int16_t pcm_fast[kFrame], pcm_staged[kFrame];
            ASSERT_EQ(0, g729_decode_frame(&fast, pcm_fast, frame, unit));

            g729_params p;
            g729_unpack_frame(&p, frame,
                              unit == kSpeechFrameBytes ? kFrameTypeSpeech : kFrameTypeSid);
            if (!hostile && unit == kSpeechFrameBytes && p.slot[kSlotParity] == 1) ++damaged;
            double* syn = staged.syn;
            double a_sub[22];
            int lags[2], type;
            g729_synthesise_frame(&staged, &p, syn, a_sub, lags, &type);
            postfilter(&staged.postfilter, syn, a_sub, lags, type == kFrameTypeSpeech);
            postprocess(staged.postprocess_state, syn, kFrame);
            for (int n = 0; n < kFrame; ++n) pcm_staged[n] = g729_round_sample(syn[n]);

            ASSERT_EQ(0, std::memcmp(pcm_fast, pcm_staged, sizeof pcm_fast))
                << "frame " << i / kFrame;
            ASSERT_EQ(0, std::memcmp(fast.exc, staged.exc, sizeof fast.exc));
            ASSERT_EQ(0, std::memcmp(fast.syn, staged.syn, sizeof fast.syn));
            ASSERT_EQ(0, std::memcmp(fast.syn_mem, staged.syn_mem, sizeof fast.syn_mem));
            ASSERT_EQ(0, std::memcmp(&fast.postfilter, &staged.postfilter, sizeof fast.postfilter));
            ASSERT_EQ(0, std::memcmp(fast.postprocess_state, staged.postprocess_state,
                                     sizeof fast.postprocess_state));
            ASSERT_EQ(fast.prev_pitch, staged.prev_pitch);
            ASSERT_EQ(fast.prev_frame_type, staged.prev_frame_type);
            ASSERT_EQ(fast.pitch_sharp, staged.pitch_sharp);
        }
        // Every injected error reached the decoder as one, and the encoder made none itself.
        EXPECT_GE(injected, 15);
        EXPECT_EQ(damaged, injected);
    });
}

TEST(SideBySide, OverlappedOutputStagesMatchTheStagedOnesOnEdgeSignals) {
    // Signals the bundled speech never produces: silence (the gain control's silent branch),
    // a loud pulse train at the shortest and longest lags (pitch gains above one), tiny values
    // about the flush threshold, and a post-filter state left by other frames.
    const struct {
        const char* name;
        double scale;  // of the excitation
        int period;    // pulses every `period` samples, 0 for noise
        int lags[2];
        double memory;  // scale of every filter memory and history
    } cases[] = {
        {"silence", 0.0, 0, {60, 60}, 0.0},
        {"silence after speech", 0.0, 0, {40, 41}, 300.0},
        {"short lag pulses", 2e4, 19, {19, 20}, 0.0},
        {"long lag pulses", 2e4, 143, {143, 143}, 50.0},
        {"noise at the flush threshold", 3e-5, 0, {77, 80}, 1e-5},
        {"noise", 1e3, 0, {25, 140}, 1e3},
    };
    std::mt19937 rng(11);
    on_both_paths([&] {
        for (const auto& c : cases) {
            for (int trial = 0; trial < 20; ++trial) {
                double a_sub[22];
                random_lp(rng, a_sub);
                random_lp(rng, a_sub + 11);
                double exc[80];
                fill_random(rng, exc, 80, c.scale);
                if (c.period > 0)
                    for (int n = 0; n < 80; ++n) exc[n] = n % c.period == 0 ? c.scale : 0.0;
                postfilter_state pf;
                postfilter_init(&pf);
                fill_random(rng, pf.residual, 183, c.memory);
                fill_random(rng, pf.syn_mem, 10, c.memory);
                fill_random(rng, pf.syn_tail, 10, c.memory);
                pf.tilt_mem = c.memory;
                pf.past_gain = trial % 3 == 0 ? 0.0 : 0.5 + 0.1 * trial;
                double syn_mem[10], high_pass[4];
                fill_random(rng, syn_mem, 10, c.memory);
                fill_random(rng, high_pass, 4, c.memory);

                postfilter_state pf_ref = pf;
                double syn_mem_ref[10], high_pass_ref[4], syn_ref[80], syn[80];
                std::memcpy(syn_mem_ref, syn_mem, sizeof syn_mem);
                std::memcpy(high_pass_ref, high_pass, sizeof high_pass);
                for (int s = 0; s < 2; ++s)
                    synthesis_filter(a_sub + 11 * s, exc + 40 * s, syn_ref + 40 * s, 40,
                                     syn_mem_ref, true);
                postfilter(&pf_ref, syn_ref, a_sub, c.lags, true);
                postprocess(high_pass_ref, syn_ref, 80);
                int16_t pcm[80];
                synthesise_speech_frame(&pf, a_sub, c.lags, exc, syn_mem, high_pass, syn, pcm);

                SCOPED_TRACE(c.name);
                ASSERT_TRUE(same(syn, syn_ref, 80)) << trial;
                for (int n = 0; n < 80; ++n) ASSERT_EQ(g729_round_sample(syn[n]), pcm[n]) << n;
                ASSERT_TRUE(same(syn_mem, syn_mem_ref, 10)) << trial;
                ASSERT_TRUE(same(high_pass, high_pass_ref, 4)) << trial;
                ASSERT_EQ(0, std::memcmp(&pf, &pf_ref, sizeof pf)) << trial;
            }
        }
    });
}

TEST(SideBySide, LpFromLspsMatchesTheTwoPlainPolynomials) {
    std::mt19937 rng(12);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        double lsp[10];
        for (double& v : lsp) v = u(rng);
        std::sort(lsp, lsp + 10, [](double x, double y) { return x > y; });
        double f1[6], f2[6];
        lsp_polynomial(lsp, f1);
        lsp_polynomial(lsp + 1, f2);
        double ref[11] = {1.0};
        for (int i = 5; i >= 1; --i) {
            f1[i] = f1[i] + f1[i - 1];
            f2[i] = f2[i] - f2[i - 1];
        }
        for (int i = 1; i <= 5; ++i) {
            ref[i] = 0.5 * (f1[i] + f2[i]);
            ref[11 - i] = 0.5 * (f1[i] - f2[i]);
        }
        double a[11];
        lsp_to_lp(lsp, a);
        ASSERT_TRUE(same(a, ref, 11)) << trial;
    }
}

TEST(SideBySide, MixedExcitationIsBoundedAsByThePlainLoop) {
    // Pairs of samples straddle the bounds in every combination; NaN passes through unbounded.
    const double edge[] = {0.0,        -0.0,  1.0,    999999.9, 1e6,       1e6 + 0.5,    -1e6,
                           -1e6 - 0.5, 1e300, -1e300, INFINITY, -INFINITY, std::nan(""), 42.0};
    constexpr int kEdges = sizeof edge / sizeof edge[0];
    for (double gp : {1.0, 0.8}) {
        double exc[40], code[40], ref[40];
        for (int n = 0; n < 40; ++n) {
            exc[n] = edge[n % kEdges];
            code[n] = edge[(n * 5 + 3) % kEdges] * 1e-3;
        }
        for (int n = 0; n < 40; ++n) {
            double v = gp * exc[n] + 2.0 * code[n];
            if (v > kExcitationLimit) v = kExcitationLimit;
            if (v < -kExcitationLimit) v = -kExcitationLimit;
            ref[n] = v;
        }
        mix_excitation(exc, gp, 2.0, code);
        EXPECT_EQ(0, std::memcmp(exc, ref, sizeof ref)) << gp;
    }
}

TEST(SideBySide, WideAndPlainCodecsAgree) {
    // The whole codec on the bundled sample, with and without the wide variants.
    const std::vector<int16_t> speech = tarnel::test::load_speech_sample();
    std::vector<uint8_t> bits[2];
    std::vector<int16_t> pcm[2];
    for (int path = 0; path < 2; ++path) {
        set_wide_lanes_enabled(path == 0);
        g729_encoder_state enc;
        g729_decoder_state dec;
        g729_encoder_init(&enc);
        g729_decoder_init(&dec);
        for (size_t i = 0; i + kFrame <= speech.size(); i += kFrame) {
            uint8_t frame[10];
            int16_t out[kFrame];
            int len;
            g729_encode_frame(&enc, &speech[i], frame, &len);
            g729_decode_frame(&dec, out, frame, 10);
            bits[path].insert(bits[path].end(), frame, frame + 10);
            pcm[path].insert(pcm[path].end(), out, out + kFrame);
        }
    }
    set_wide_lanes_enabled(true);
    EXPECT_EQ(bits[0], bits[1]);
    EXPECT_EQ(pcm[0], pcm[1]);
}

TEST(SideBySide, OpenLoopPitchAgreesOnBothPaths) {
    // Pulse trains of every period the search covers, in noise: the lag decisions hinge on
    // sums that must agree bit for bit.
    std::mt19937 rng(16);
    for (int period = 20; period <= 143; period += 3) {
        double wsp[143 + 80];
        fill_random(rng, wsp, 143 + 80, 300.0);
        for (int n = 0; n < 143 + 80; n += period) wsp[n] += 5000.0;
        int lag[2];
        for (int path = 0; path < 2; ++path) {
            set_wide_lanes_enabled(path == 0);
            lag[path] = pitch_open_loop(wsp + 143, 80);
        }
        set_wide_lanes_enabled(true);
        ASSERT_EQ(lag[0], lag[1]) << period;
    }
}

TEST(SideBySide, LspSearchAgreesOnBothPaths) {
    std::mt19937 rng(15);
    for (int trial = 0; trial < 200; ++trial) {
        double a[11];
        random_lp(rng, a);
        if (trial % 4 == 0) fill_random(rng, a + 1, 10, 2.0);  // unstable: the search may fail
        double lsp[2][10];
        for (int path = 0; path < 2; ++path) {
            set_wide_lanes_enabled(path == 0);
            lp_to_lsp(a, lsp[path], lsp_reset);
        }
        set_wide_lanes_enabled(true);
        ASSERT_TRUE(same(lsp[0], lsp[1], 10)) << trial;
    }
}

TEST(SideBySide, LspQuantizerAgreesOnBothPaths) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.05, 3.05);
    for (int trial = 0; trial < 300; ++trial) {
        double lsf[10];
        for (double& v : lsf) v = u(rng);
        std::sort(lsf, lsf + 10);
        double lsp[10];
        lsf_to_lsp(lsf, lsp, 10);
        double predictor[2][4][10];
        for (auto& row : predictor[0])
            for (int i = 0; i < 10; ++i) row[i] = lsf[i] + 0.01 * (trial % 7);
        std::memcpy(predictor[1], predictor[0], sizeof predictor[0]);
        double q[2][10];
        int idx[2][2];
        for (int path = 0; path < 2; ++path) {
            set_wide_lanes_enabled(path == 0);
            lsp_quantize(predictor[path], lsp, q[path], idx[path]);
        }
        set_wide_lanes_enabled(true);
        ASSERT_EQ(idx[0][0], idx[1][0]) << trial;
        ASSERT_EQ(idx[0][1], idx[1][1]) << trial;
        ASSERT_TRUE(same(q[0], q[1], 10)) << trial;
    }
}

TEST(SideBySide, ClosedLoopPitchMatchesThePlainSearch) {
    // Seven lags (first subframe, short and long) and ten (second subframe), at the ends of
    // the range too.
    const struct {
        int t_min, t_max, sub;
    } ranges[] = {{20, 26, 0},  {60, 66, 0},  {137, 143, 0},
                  {20, 29, 40}, {75, 84, 40}, {134, 143, 40}};
    std::mt19937 rng(13);
    on_both_paths([&] {
        for (const auto& r : ranges) {
            for (int trial = 0; trial < 40; ++trial) {
                double x[40], h[40], buf[154 + 80], ref[154 + 80];
                fill_random(rng, x, 40, 3000.0);
                h[0] = 1.0;
                fill_random(rng, h + 1, 39, 0.5);
                fill_random(rng, buf, 154 + 80, trial % 2 ? 5e3 : 1.0);
                std::memcpy(ref, buf, sizeof buf);
                int frac, ref_frac;
                const int t0 =
                    pitch_closed_loop(buf + 154 + r.sub, x, h, 40, r.t_min, r.t_max, r.sub, &frac);
                const int ref_t0 =
                    plain_closed_loop(ref + 154 + r.sub, x, h, r.t_min, r.t_max, r.sub, &ref_frac);
                ASSERT_EQ(ref_t0, t0) << r.t_min << " " << trial;
                ASSERT_EQ(ref_frac, frac) << r.t_min << " " << trial;
                ASSERT_TRUE(same(buf, ref, 154 + 80)) << r.t_min << " " << trial;
            }
        }
    });
}

TEST(SideBySide, CodebookSearchAgreesOnBothPaths) {
    std::mt19937 rng(8);
    for (int trial = 0; trial < 300; ++trial) {
        double x[40], h0[40];
        fill_random(rng, x, 40, 3000.0);
        h0[0] = 1.0;
        fill_random(rng, h0 + 1, 39, 0.8 / (1 + trial % 5));
        const int t0 = 20 + trial % 124;
        const double sharp = 0.2 + 0.001 * (trial % 500);
        double code[2][40], y[2][40], h[2][40];
        int index[2], sign[2];
        for (int path = 0; path < 2; ++path) {
            set_wide_lanes_enabled(path == 0);
            std::memcpy(h[path], h0, sizeof h0);
            index[path] = acelp_search(x, h[path], t0, sharp, code[path], y[path], &sign[path]);
        }
        set_wide_lanes_enabled(true);
        ASSERT_EQ(index[0], index[1]) << trial;
        ASSERT_EQ(sign[0], sign[1]) << trial;
        ASSERT_TRUE(same(code[0], code[1], 40)) << trial;
        ASSERT_TRUE(same(y[0], y[1], 40)) << trial;
    }
}
