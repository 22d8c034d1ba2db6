// Streams an attacker (or a broken far end) could send, and audio a broken near end could
// produce. The promise under test: however long the abuse lasts, no NaN or infinity settles in
// a codec's state, every output is a saturated sample of a finite value, and once ordinary
// input returns the abuse fades: a decoder sounds, from its second second of valid frames on,
// the way a fresh one would, and an encoder is, by the first pause in the speech, bit for bit a
// fresh encoder. A decoder that fails this keeps producing noise for the rest of the call; one
// that crashes drops every call on the machine.
//
// The random streams print their seed; TARNEL_TEST_SEED=<n> reruns them with another one.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "excitation/acelp.h"
#include "excitation/excitation_guard.h"
#include "support/state_scan.h"
#include "support/test_support.h"

using namespace tarnel;

namespace {

constexpr int kFramesPerSecond = 100;
constexpr int kTenMinutes = 10 * 60 * kFramesPerSecond;
// Recovery is judged on the second second of ordinary input after the abuse.
constexpr size_t kJudgedFrom = 8000;
constexpr size_t kJudgedTo = 16000;
constexpr double kRecoveryLimit = 0.01;  // RMS of the difference / RMS of the signal

// The excitation index that gives the largest pitch gain: first-stage row 5 (0.197901) plus
// second-stage row 15 (1.158039), 1.356 in all, sent through the index maps as map1[5] and
// map2[15].
constexpr int kLargestPitchGainIndex = 0 * 16 + 5;

uint64_t test_seed(uint64_t fallback) {
    const char* env = std::getenv("TARNEL_TEST_SEED");
    return env && *env ? std::strtoull(env, nullptr, 0) : fallback;
}

void announce_seed(uint64_t seed) {
    std::printf("random stream seed %llu (rerun with TARNEL_TEST_SEED=%llu)\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
}

const std::vector<int16_t>& speech() {
    static const std::vector<int16_t> pcm = tarnel::test::load_speech_sample();
    return pcm;
}

// The bundled speech, encoded by a fresh encoder: the "valid frames" that follow the abuse.
const std::vector<uint8_t>& speech_frames() {
    static const std::vector<uint8_t> bits = [] {
        auto enc = std::make_unique<g729_encoder_state>();
        g729_encoder_init(enc.get());
        std::vector<uint8_t> out;
        for (size_t i = 0; i + kFrame <= speech().size(); i += kFrame) {
            uint8_t frame[10];
            int len = 0;
            g729_encode_frame(enc.get(), &speech()[i], frame, &len);
            out.insert(out.end(), frame, frame + 10);
        }
        return out;
    }();
    return bits;
}

using speech_frame = std::array<uint8_t, 10>;

// A speech frame from its fields. Slot 4 is the transmitted P0: its correct parity unless the
// frame is meant to arrive with damaged pitch bits.
speech_frame pack(int lsp1, int lsp2, int p1, int c1, int s1, int g1, int p2, int c2, int s2,
                  int g2, bool parity_ok = true) {
    g729_params p{};
    p.frame_type = kFrameTypeSpeech;
    const int slots[12] = {
        0, lsp1, lsp2, p1, g729_pitch_parity(p1) ^ (parity_ok ? 0 : 1), c1, s1, g1, p2, c2, s2, g2};
    std::memcpy(p.slot, slots, sizeof slots);
    speech_frame out{};
    int len = 0;
    g729_pack_frame(&p, out.data(), &len);
    return out;
}

double rms(const std::vector<double>& v) {
    double e = 0.0;
    for (double x : v) e += x * x;
    return std::sqrt(e / static_cast<double>(v.size()));
}

// RMS of (a - b) over the judged second, relative to the RMS of b there.
double relative_difference(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
    std::vector<double> diff, ref;
    for (size_t i = kJudgedFrom; i < kJudgedTo; ++i) {
        diff.push_back(static_cast<double>(a[i]) - b[i]);
        ref.push_back(b[i]);
    }
    return rms(diff) / rms(ref);
}

// A decoder whose every frame is checked: state finite and in range, samples the rounded
// synthesis. Failures stop the stream at the first bad frame, with its number.
class watched_decoder {
public:
    watched_decoder() : st_(std::make_unique<g729_decoder_state>()) {
        g729_decoder_init(st_.get());
    }

    ::testing::AssertionResult decode(const uint8_t* unit, int size, int16_t* pcm) {
        if (g729_decode_frame(st_.get(), pcm, unit, size) != 0)
            return ::testing::AssertionFailure() << "unit of " << size << " bytes refused";
        ++frames_;
        const std::string bad = tarnel::test::first_non_finite(*st_);
        if (!bad.empty())
            return ::testing::AssertionFailure()
                   << "frame " << frames_ << ": " << bad << " is not finite";
        if (!(st_->pitch_sharp >= kSharpMin && st_->pitch_sharp <= kSharpMax))
            return ::testing::AssertionFailure()
                   << "frame " << frames_ << ": pitch_sharp " << st_->pitch_sharp;
        if (st_->prev_pitch < 19 || st_->prev_pitch > 144)
            return ::testing::AssertionFailure()
                   << "frame " << frames_ << ": pitch delay " << st_->prev_pitch;
        for (double e : st_->exc) peak_excitation_ = std::fmax(peak_excitation_, std::fabs(e));
        if (peak_excitation_ > kExcitationLimit)
            return ::testing::AssertionFailure()
                   << "frame " << frames_ << ": excitation " << peak_excitation_;
        for (int i = 0; i < kFrame; ++i) {
            // syn holds the frame's final values, before rounding.
            const double v = st_->syn[i];
            if (!std::isfinite(v) || pcm[i] != g729_round_sample(v))
                return ::testing::AssertionFailure() << "frame " << frames_ << ": sample " << i
                                                     << " is " << pcm[i] << " from " << v;
        }
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult decode(const speech_frame& f) {
        int16_t pcm[kFrame];
        return decode(f.data(), 10, pcm);
    }

    double peak_excitation() const { return peak_excitation_; }
    const g729_decoder_state& state() const { return *st_; }

private:
    std::unique_ptr<g729_decoder_state> st_;
    long frames_ = 0;
    double peak_excitation_ = 0.0;
};

// Feeds the bundled speech to a decoder that has been through the abuse, beside a fresh
// decoder, and compares their output over the second second. Also reports how much the abuse
// was still heard in the first second, and after how many frames the two states became bit for
// bit the same (from then on the abuse has left no trace at all).
void expect_recovery(watched_decoder& abused, const char* what) {
    watched_decoder fresh;
    const size_t frames = speech_frames().size() / 10;
    std::vector<int16_t> after(frames * kFrame), reference(frames * kFrame);
    size_t settled = 0;
    for (size_t f = 0; f < frames; ++f) {
        ASSERT_TRUE(abused.decode(&speech_frames()[10 * f], 10, &after[f * kFrame]))
            << "while decoding speech after " << what;
        ASSERT_TRUE(fresh.decode(&speech_frames()[10 * f], 10, &reference[f * kFrame]));
        // The comfort-noise memory keeps the last SID's level and spectrum until the next SID,
        // by design, and speech never reads it: the rest of the state is what must settle.
        g729_decoder_state without_sid_memory = abused.state();
        without_sid_memory.cng = fresh.state().cng;
        if (!settled && std::memcmp(&without_sid_memory, &fresh.state(), sizeof fresh.state()) == 0)
            settled = f + 1;
    }
    const double ratio = relative_difference(after, reference);
    std::vector<double> first_diff, first_ref;
    for (size_t i = 0; i < kJudgedFrom; ++i) {
        first_diff.push_back(static_cast<double>(after[i]) - reference[i]);
        first_ref.push_back(reference[i]);
    }
    std::printf(
        "recovery after %s: difference %.3g%% of the signal in the first second, %.3g%% in "
        "the second; state identical to a fresh decoder's after %zu frames (0: never)\n",
        what, 100.0 * rms(first_diff) / rms(first_ref), 100.0 * ratio, settled);
    ::testing::Test::RecordProperty("recovery_percent", std::to_string(100.0 * ratio));
    ::testing::Test::RecordProperty("settled_frames", std::to_string(settled));
    EXPECT_LT(ratio, kRecoveryLimit) << "after " << what;
}

// ---- Decoder ------------------------------------------------------------------------------

TEST(HostileDecoderStreams, JudgedSecondOfSpeechIsNotSilent) {
    // The recovery criterion divides by this second's level: it must carry speech.
    watched_decoder dec;
    std::vector<double> judged;
    int16_t pcm[kFrame];
    for (size_t f = 0; f < kJudgedTo / kFrame; ++f) {
        ASSERT_TRUE(dec.decode(&speech_frames()[10 * f], 10, pcm));
        if (f * kFrame >= kJudgedFrom) judged.insert(judged.end(), pcm, pcm + kFrame);
    }
    EXPECT_GT(rms(judged), 300.0);
}

TEST(HostileDecoderStreams, TenMinutesOfRandomFramesAndSidsStayFiniteThenRecover) {
    const uint64_t seed = test_seed(0x7a27e1c0de5eedull);
    announce_seed(seed);
    std::mt19937_64 rng(seed);
    watched_decoder dec;
    int sids = 0;
    for (int f = 0; f < kTenMinutes; ++f) {
        // Runs of comfort noise as a far end would send them, between runs of speech frames.
        const bool sid = (rng() % 8) < 3;
        uint8_t unit[10];
        for (uint8_t& b : unit) b = static_cast<uint8_t>(rng());
        int16_t pcm[kFrame];
        ASSERT_TRUE(dec.decode(unit, sid ? 2 : 10, pcm)) << "seed " << seed;
        sids += sid;
    }
    ASSERT_GT(sids, kTenMinutes / 4);
    expect_recovery(dec, "ten minutes of random frames");
}

// The stream that drives the pitch loop hardest, and variants of it.
enum class drive {
    kFixedFrame,  // one frame repeated: largest gain, shortest lags, nothing else moves
    kRandomSpectrumAndPulses,  // largest gain and shortest lags, everything else random
    kEveryLag,                 // largest gain in both subframes, lags drawn over their whole range
    kParityErrors,             // P1 arrives damaged: the decoder repeats its last (shortest) lag
    kInterleavedSids,          // loud comfort noise between the driving frames
};

std::string drive_name(const ::testing::TestParamInfo<drive>& info) {
    switch (info.param) {
        case drive::kFixedFrame:
            return "FixedFrame";
        case drive::kRandomSpectrumAndPulses:
            return "RandomSpectrumAndPulses";
        case drive::kEveryLag:
            return "EveryLag";
        case drive::kParityErrors:
            return "ParityErrors";
        case drive::kInterleavedSids:
            return "InterleavedSids";
    }
    return "Unknown";
}

class MaximalPitchGain : public ::testing::TestWithParam<drive> {};

TEST_P(MaximalPitchGain, TenMinutesStayBoundedThenRecover) {
    const uint64_t seed = test_seed(0x5eed0f9a1ull + static_cast<uint64_t>(GetParam()));
    announce_seed(seed);
    std::mt19937_64 rng(seed);
    auto field = [&](int bits) { return static_cast<int>(rng() & ((1u << bits) - 1u)); };
    watched_decoder dec;
    // P1 = 0 decodes to 19 1/3, the shortest delay; P2 = 0 to the shortest relative delay.
    const speech_frame fixed = pack(0x25, 0x155, 0, 0x0aaa, 5, kLargestPitchGainIndex, 0, 0x1555,
                                    10, kLargestPitchGainIndex);
    for (int f = 0; f < kTenMinutes; ++f) {
        switch (GetParam()) {
            case drive::kFixedFrame:
                ASSERT_TRUE(dec.decode(fixed));
                break;
            case drive::kRandomSpectrumAndPulses:
                ASSERT_TRUE(dec.decode(pack(field(8), field(10), field(2), field(13), field(4),
                                            kLargestPitchGainIndex, 0, field(13), field(4),
                                            kLargestPitchGainIndex)))
                    << "seed " << seed;
                break;
            case drive::kEveryLag:
                ASSERT_TRUE(dec.decode(pack(field(8), field(10), field(8), field(13), field(4),
                                            kLargestPitchGainIndex, field(5), field(13), field(4),
                                            kLargestPitchGainIndex)))
                    << "seed " << seed;
                break;
            case drive::kParityErrors:
                ASSERT_TRUE(
                    dec.decode(pack(field(8), field(10), f % 50 == 0 ? 0 : field(8), field(13),
                                    field(4), kLargestPitchGainIndex, 0, field(13), field(4),
                                    kLargestPitchGainIndex, f % 50 == 0)))
                    << "seed " << seed;
                break;
            case drive::kInterleavedSids:
                if (f % 10 == 9) {
                    const uint8_t sid[2] = {static_cast<uint8_t>(rng()),
                                            static_cast<uint8_t>(0x3e | (rng() & 0xc0))};
                    int16_t pcm[kFrame];
                    ASSERT_TRUE(dec.decode(sid, 2, pcm)) << "seed " << seed;
                } else {
                    ASSERT_TRUE(dec.decode(fixed));
                }
                break;
        }
    }
    // The stream must actually have driven the excitation into its bound, or this test has
    // proved nothing about the pitch loop.
    EXPECT_GE(dec.peak_excitation(), 0.99 * kExcitationLimit);
    expect_recovery(dec, ("ten minutes of " + drive_name({GetParam(), 0})).c_str());
}

INSTANTIATE_TEST_SUITE_P(HostileDecoderStreams, MaximalPitchGain,
                         ::testing::Values(drive::kFixedFrame, drive::kRandomSpectrumAndPulses,
                                           drive::kEveryLag, drive::kParityErrors,
                                           drive::kInterleavedSids),
                         drive_name);

// ---- Encoder ------------------------------------------------------------------------------

// Audio no microphone should deliver, but a broken line, a mixer bug or a test tone might.
enum class abuse {
    kSquare50Hz,
    kSquare400Hz,
    kSquare1kHz,
    kSquare3900Hz,
    kDcPositive,
    kDcNegative,
    kClippedSpeech,         // the bundled speech amplified 16 times into hard clipping
    kImpulses,              // a single full-scale sample in silence, four times a second
    kSilenceThenFullScale,  // half a second of digital zero, half a second of full-scale noise
    kWhiteNoise,
    kAlternatingExtremes,  // -32768, 32767, -32768, ...: all energy at the Nyquist frequency
};

std::string abuse_name(const ::testing::TestParamInfo<abuse>& info) {
    static const char* const names[] = {
        "Square50Hz",           "Square400Hz", "Square1kHz",         "Square3900Hz",
        "DcPositive",           "DcNegative",  "ClippedSpeech",      "Impulses",
        "SilenceThenFullScale", "WhiteNoise",  "AlternatingExtremes"};
    return names[static_cast<int>(info.param)];
}

int16_t full_scale(bool high) { return high ? 32767 : -32768; }

int16_t abusive_sample(abuse kind, size_t n, std::mt19937_64& rng) {
    auto square = [n](double hz) { return full_scale(std::fmod(n * hz / 8000.0, 1.0) < 0.5); };
    switch (kind) {
        case abuse::kSquare50Hz:
            return square(50.0);
        case abuse::kSquare400Hz:
            return square(400.0);
        case abuse::kSquare1kHz:
            return square(1000.0);
        case abuse::kSquare3900Hz:
            return square(3900.0);
        case abuse::kDcPositive:
            return 32767;
        case abuse::kDcNegative:
            return -32768;
        case abuse::kClippedSpeech: {
            const int v = 16 * speech()[n % speech().size()];
            return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
        }
        case abuse::kImpulses:
            return n % 2000 == 0 ? 32767 : 0;
        case abuse::kSilenceThenFullScale:
            return (n / 4000) % 2 == 0 ? 0 : static_cast<int16_t>(static_cast<uint16_t>(rng()));
        case abuse::kWhiteNoise:
            return static_cast<int16_t>(static_cast<uint16_t>(rng()));
        case abuse::kAlternatingExtremes:
            return full_scale(n % 2 == 1);
    }
    return 0;
}

constexpr int kAbuseSeconds = 60;

// Encodes 80 samples and checks the encoder, the frame and a decoder fed the frame.
::testing::AssertionResult encode_checked(g729_encoder_state* enc, watched_decoder* dec,
                                          const int16_t* pcm, uint8_t* frame) {
    int len = 0;
    if (g729_encode_frame(enc, pcm, frame, &len) != 0 || len != 10)
        return ::testing::AssertionFailure() << "encoder did not produce a 10-byte frame";
    const std::string bad = tarnel::test::first_non_finite(*enc);
    if (!bad.empty()) return ::testing::AssertionFailure() << "encoder " << bad << " is not finite";
    if (!(enc->pitch_sharp >= kSharpMin && enc->pitch_sharp <= kSharpMax))
        return ::testing::AssertionFailure() << "encoder pitch_sharp " << enc->pitch_sharp;
    for (double e : enc->exc)
        if (std::fabs(e) > kExcitationLimit)
            return ::testing::AssertionFailure() << "encoder excitation " << e;
    g729_params p;
    g729_unpack_frame(&p, frame, kFrameTypeSpeech);
    if (p.slot[kSlotParity] != 0)
        return ::testing::AssertionFailure() << "frame fails its own parity check";
    int16_t out[kFrame];
    return dec->decode(frame, 10, out);
}

// How the encoder's recovery is judged. Two encoders whose states differ in any bit drift apart
// during voiced speech, where each one's choices feed its own pitch memory: even a minute of
// digital silence leaves an encoder coding the bundled speech differently from a fresh one (22%
// RMS difference in the decoded second second) until the first pause in the speech, 3.3 s in,
// lets every memory settle. So the criterion is the stronger one that ordinary history also
// meets: by that pause the abused encoder's state is bit for bit a fresh encoder's, and with
// it the far-end decoder's state is a fresh decoder's, so from then on the call is exactly as
// if the abuse never happened.
constexpr size_t kEncoderSettlesWithin = 400;  // frames of the bundled speech

class HostileEncoderAudio : public ::testing::TestWithParam<abuse> {};

TEST_P(HostileEncoderAudio, MinuteOfAbuseStaysFiniteThenTheCallBecomesAFreshOne) {
    const uint64_t seed = test_seed(0xa0d10ull + static_cast<uint64_t>(GetParam()));
    announce_seed(seed);
    std::mt19937_64 rng(seed);
    auto enc = std::make_unique<g729_encoder_state>();
    g729_encoder_init(enc.get());
    watched_decoder dec;  // the far end of the same call
    int16_t pcm[kFrame];
    uint8_t frame[10];
    size_t n = 0;
    double peak_input_level = 0.0;
    for (int f = 0; f < kAbuseSeconds * kFramesPerSecond; ++f) {
        for (int16_t& s : pcm) {
            s = abusive_sample(GetParam(), n++, rng);
            peak_input_level = std::fmax(peak_input_level, std::fabs(static_cast<double>(s)));
        }
        ASSERT_TRUE(encode_checked(enc.get(), &dec, pcm, frame))
            << "frame " << f << ", seed " << seed;
    }
    ASSERT_GE(peak_input_level, 32767.0) << "the abuse never reached full scale";

    // The call carries on with speech, side by side with a call that never saw the abuse.
    auto fresh_enc = std::make_unique<g729_encoder_state>();
    g729_encoder_init(fresh_enc.get());
    watched_decoder fresh_dec;
    size_t encoder_settled = 0, decoder_settled = 0;
    for (size_t f = 0; f < speech().size() / kFrame; ++f) {
        const int16_t* block = &speech()[f * kFrame];
        ASSERT_TRUE(encode_checked(enc.get(), &dec, block, frame)) << "speech frame " << f;
        uint8_t fresh_frame[10];
        ASSERT_TRUE(encode_checked(fresh_enc.get(), &fresh_dec, block, fresh_frame));
        const bool same_encoder = std::memcmp(enc.get(), fresh_enc.get(), sizeof *enc) == 0;
        const bool same_decoder =
            std::memcmp(&dec.state(), &fresh_dec.state(), sizeof dec.state()) == 0;
        if (!encoder_settled && same_encoder) encoder_settled = f + 1;
        if (!decoder_settled && same_decoder) decoder_settled = f + 1;
        if (encoder_settled) {
            ASSERT_TRUE(same_encoder) << "encoders drifted apart again at frame " << f;
            ASSERT_EQ(0, std::memcmp(frame, fresh_frame, 10)) << "frame " << f;
        }
        if (decoder_settled) {
            ASSERT_TRUE(same_decoder) << "decoders drifted apart again at frame " << f;
        }
    }
    std::printf(
        "after a minute of %s: encoder state identical to a fresh one after %zu speech frames, "
        "far-end decoder after %zu\n",
        abuse_name({GetParam(), 0}).c_str(), encoder_settled, decoder_settled);
    RecordProperty("encoder_settled_frames", std::to_string(encoder_settled));
    RecordProperty("decoder_settled_frames", std::to_string(decoder_settled));
    EXPECT_GT(encoder_settled, 0u) << "the encoder never settled";
    EXPECT_LE(encoder_settled, kEncoderSettlesWithin);
    EXPECT_GT(decoder_settled, 0u) << "the far-end decoder never settled";
    EXPECT_LE(decoder_settled, kEncoderSettlesWithin + 20);
}

INSTANTIATE_TEST_SUITE_P(HostileEncoderAudio, HostileEncoderAudio,
                         ::testing::Values(abuse::kSquare50Hz, abuse::kSquare400Hz,
                                           abuse::kSquare1kHz, abuse::kSquare3900Hz,
                                           abuse::kDcPositive, abuse::kDcNegative,
                                           abuse::kClippedSpeech, abuse::kImpulses,
                                           abuse::kSilenceThenFullScale, abuse::kWhiteNoise,
                                           abuse::kAlternatingExtremes),
                         abuse_name);

}  // namespace
