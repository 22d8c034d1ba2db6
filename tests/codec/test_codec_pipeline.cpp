// Whole-frame behaviour of the encoder and decoder pipelines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/decoder.h"
#include "codec/decoder_internal.h"
#include "codec/encoder.h"
#include "excitation/acelp.h"
#include "support/alloc_counter.h"
#include "support/state_scan.h"
#include "support/test_support.h"
#include "tables/cng_tables.h"

using namespace tarnel;

namespace {

uint64_t fnv1a(const void* data, size_t n, uint64_t h = 1469598103934665603ull) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

std::vector<uint8_t> encode_all(const std::vector<int16_t>& pcm) {
    g729_encoder_state st;
    g729_encoder_init(&st);
    std::vector<uint8_t> out;
    uint8_t frame[10];
    for (size_t i = 0; i + kFrame <= pcm.size(); i += kFrame) {
        int len = 0;
        EXPECT_EQ(0, g729_encode_frame(&st, &pcm[i], frame, &len));
        EXPECT_EQ(10, len);
        out.insert(out.end(), frame, frame + 10);
    }
    return out;
}

std::vector<int16_t> decode_all(const std::vector<uint8_t>& bits) {
    g729_decoder_state st;
    g729_decoder_init(&st);
    std::vector<int16_t> out(bits.size() / 10 * kFrame);
    for (size_t f = 0; f < bits.size() / 10; ++f)
        EXPECT_EQ(0, g729_decode_frame(&st, &out[f * kFrame], &bits[f * 10], 10));
    return out;
}

// Pinned digests of the bundled sample's encoding and of decoding that encoding. Any change
// to a single output bit, by optimisation or otherwise, fails here.
constexpr uint64_t kSpeechBitstreamDigest = 0x8ff9944335a02dfcull;
constexpr uint64_t kSpeechDecodedDigest = 0xdf82ecde3e1b5433ull;
constexpr uint64_t kEdgeSignalsBitstreamDigest = 0x7b356549b22179e2ull;
// Comfort noise from SID frames naming every value of each field (see the test).
constexpr uint64_t kComfortNoiseDigest = 0x5e0100757df8b75full;

}  // namespace

TEST(EncoderPipeline, PitchSharpStaysInBoundsAndParityHolds) {
    // A silent first frame, then the bundled speech.
    std::vector<int16_t> pcm(kFrame, 0);
    const std::vector<int16_t> speech = tarnel::test::load_speech_sample();
    pcm.insert(pcm.end(), speech.begin(), speech.end());
    g729_encoder_state st;
    g729_encoder_init(&st);
    for (size_t i = 0; i + kFrame <= pcm.size(); i += kFrame) {
        for (int n = 0; n < kFrame; ++n) st.speech[kNewSpeech + n] = pcm[i + n];
        g729_params p;
        g729_analyse_frame(&st, &p);
        ASSERT_EQ(kFrameTypeSpeech, p.frame_type);
        ASSERT_EQ(g729_pitch_parity(p.slot[kSlotPitch1]), p.slot[kSlotParity]);
        ASSERT_GE(st.pitch_sharp, kSharpMin);
        ASSERT_LE(st.pitch_sharp, kSharpMax);
    }
}

// Only the published first-stage LSP rows (0-36) may leave the encoder: any other row would be
// decoded with a different envelope by every other decoder. Ordinary and hostile signals alike.
TEST(EncoderPipeline, EdgeSignalsSelectOnlyPublishedRowsAndTheirBitsArePinned) {
    // Loud tones, squares and pulses reach what speech never does (the taming of the pitch
    // gain among it), so their bits are pinned too.
    const std::vector<int16_t> speech = tarnel::test::load_speech_sample();
    const auto make = [](double (*f)(int)) {
        std::vector<int16_t> v(16000);
        for (int n = 0; n < 16000; ++n)
            v[n] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, f(n))));
        return v;
    };
    struct signal_case {
        const char* name;
        std::vector<int16_t> pcm;
    };
    std::vector<int16_t> clipped(speech.size());
    for (size_t n = 0; n < speech.size(); ++n)
        clipped[n] = static_cast<int16_t>(std::max(-32768, std::min(32767, speech[n] * 16)));
    const signal_case cases[] = {
        {"speech", speech},
        {"clipped speech", clipped},
        {"silence", std::vector<int16_t>(16000, 0)},
        {"200 Hz tone", make([](int n) { return 32767.0 * std::sin(2 * M_PI * 200 * n / 8000); })},
        {"1 kHz tone", make([](int n) { return 32767.0 * std::sin(2 * M_PI * 1000 * n / 8000); })},
        {"3.9 kHz tone",
         make([](int n) { return 32767.0 * std::sin(2 * M_PI * 3900 * n / 8000); })},
        {"50 Hz square", make([](int n) { return (n / 80) % 2 ? 32767.0 : -32768.0; })},
        {"1 kHz square", make([](int n) { return (n / 4) % 2 ? 32767.0 : -32768.0; })},
        {"Nyquist", make([](int n) { return n % 2 ? 32767.0 : -32768.0; })},
        {"noise", make([](int n) {
             return static_cast<double>(static_cast<int16_t>((n * 1103515245u + 12345u) >> 11));
         })},
        {"impulses", make([](int n) { return n % 57 == 0 ? 32767.0 : 0.0; })},
    };
    uint64_t digest = fnv1a(nullptr, 0);
    for (const signal_case& c : cases) {
        const std::vector<uint8_t> bits = encode_all(c.pcm);
        ASSERT_FALSE(bits.empty());
        for (size_t f = 0; f < bits.size(); f += 10)
            ASSERT_LT(bits[f] & 127, 37) << c.name << ", frame " << f / 10;
        digest = fnv1a(bits.data(), bits.size(), digest);
    }
    EXPECT_EQ(kEdgeSignalsBitstreamDigest, digest) << std::hex << "digest 0x" << digest;
}

TEST(CodecPipelines, StatesArePlainRecords) {
    // A copy carries on exactly as the original did, with the original poisoned meanwhile.
    const std::vector<int16_t> speech = tarnel::test::load_speech_sample();
    const std::vector<uint8_t> bits = encode_all(speech);
    const uint8_t sid[2] = {0x55, 0xAA};
    g729_encoder_state enc, enc_copy;
    g729_decoder_state dec, dec_copy;
    g729_encoder_init(&enc);
    g729_decoder_init(&dec);
    uint8_t frame[10];
    int16_t pcm[kFrame];
    int len;
    const auto run = [&](g729_encoder_state* e, g729_decoder_state* d, int from, int to) {
        std::vector<uint8_t> out;
        for (int f = from; f < to; ++f) {
            g729_encode_frame(e, &speech[f * kFrame], frame, &len);
            const bool is_sid = f % 9 == 0;
            g729_decode_frame(d, pcm, is_sid ? sid : &bits[f * 10], is_sid ? 2 : 10);
            out.insert(out.end(), frame, frame + 10);
            out.insert(out.end(), reinterpret_cast<uint8_t*>(pcm),
                       reinterpret_cast<uint8_t*>(pcm + kFrame));
        }
        return out;
    };
    run(&enc, &dec, 0, 50);
    std::memcpy(&enc_copy, &enc, sizeof enc);
    std::memcpy(&dec_copy, &dec, sizeof dec);
    const std::vector<uint8_t> expected = run(&enc, &dec, 50, 150);
    std::memset(&enc, 0x5A, sizeof enc);
    std::memset(&dec, 0x5A, sizeof dec);
    EXPECT_EQ(expected, run(&enc_copy, &dec_copy, 50, 150));

    // The hostile-input checks walk every double of the decoder's record.
    int walked = 0;
    tarnel::test::for_each_double(dec_copy, [&](const char*, size_t, double) { ++walked; });
    EXPECT_EQ(kDecoderStateDoubles, walked);
}

TEST(CodecPipelines, DecoderTracksTheEncoderExactly) {
    // Analysis by synthesis: a decoder fed the encoder's frames must rebuild the encoder's own
    // excitation and predictor memories bit for bit, frame after frame.
    const std::vector<int16_t> speech = tarnel::test::load_speech_sample();
    g729_encoder_state enc;
    g729_decoder_state dec;
    g729_encoder_init(&enc);
    g729_decoder_init(&dec);
    for (size_t i = 0; i + kFrame <= speech.size(); i += kFrame) {
        uint8_t frame[10];
        int len;
        int16_t pcm[kFrame];
        g729_encode_frame(&enc, &speech[i], frame, &len);
        g729_decode_frame(&dec, pcm, frame, 10);
        ASSERT_EQ(0, std::memcmp(enc.exc, dec.exc, sizeof enc.exc)) << "frame " << i / kFrame;
        ASSERT_EQ(0, std::memcmp(enc.lsp_predictor, dec.lsp_predictor, sizeof enc.lsp_predictor));
        ASSERT_EQ(0, std::memcmp(enc.lsp_old_q, dec.lsp_old, sizeof enc.lsp_old_q));
        ASSERT_EQ(0, std::memcmp(enc.gain_predictor_memory, dec.gain_predictor_memory,
                                 sizeof enc.gain_predictor_memory));
        ASSERT_EQ(enc.pitch_sharp, dec.pitch_sharp);
    }
}

TEST(EncoderPipeline, BundledSpeechDigestIsPinned) {
    const std::vector<uint8_t> bits = encode_all(tarnel::test::load_speech_sample());
    ASSERT_EQ(encode_all(tarnel::test::load_speech_sample()), bits);
    EXPECT_EQ(kSpeechBitstreamDigest, fnv1a(bits.data(), bits.size()))
        << std::hex << "digest 0x" << fnv1a(bits.data(), bits.size());
}

TEST(DecoderPipeline, BundledSpeechDigestIsPinned) {
    const std::vector<int16_t> pcm = decode_all(encode_all(tarnel::test::load_speech_sample()));
    EXPECT_EQ(kSpeechDecodedDigest, fnv1a(pcm.data(), pcm.size() * 2))
        << std::hex << "digest 0x" << fnv1a(pcm.data(), pcm.size() * 2);
}

TEST(DecoderPipeline, ComfortNoiseOfEverySidFieldDigestIsPinned) {
    // SID frame k names first-stage entry k, second-stage entry k mod 16, level k and both
    // switch values in turn, after a speech frame (so the level is taken as sent, not glided
    // to) and repeated for 200 ms: every entry of the comfort-noise tables reaches the output.
    const std::vector<uint8_t> bits = encode_all(tarnel::test::load_speech_sample());
    g729_decoder_state st;
    g729_decoder_init(&st);
    std::vector<int16_t> pcm;
    int16_t out[kFrame];
    for (int k = 0; k < 32; ++k) {
        ASSERT_EQ(0, g729_decode_frame(&st, out, &bits[10 * (400 + k)], kSpeechFrameBytes));
        const unsigned word = (k & 1u) << 15 | k << 10 | (k % 16u) << 6 | k << 1;
        const uint8_t sid[2] = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
        for (int n = 0; n < 20; ++n) {
            ASSERT_EQ(0, g729_decode_frame(&st, out, sid, kSidFrameBytes));
            pcm.insert(pcm.end(), out, out + kFrame);
        }
    }
    EXPECT_EQ(kComfortNoiseDigest, fnv1a(pcm.data(), pcm.size() * 2))
        << std::hex << "digest 0x" << fnv1a(pcm.data(), pcm.size() * 2);
}

TEST(DecoderPipeline, RoundingAndSaturation) {
    const struct {
        double v;
        int16_t expected;
    } cases[] = {{32767.4, 32767},   {32767.5, 32767},  {1e300, 32767}, {-32768.6, -32768},
                 {-32768.4, -32768}, {2.5, 3},          {-2.5, -3},     {0.49, 0},
                 {-0.49, 0},         {std::nan(""), 0}, {INFINITY, 0},  {-INFINITY, 0}};
    for (const auto& c : cases) EXPECT_EQ(c.expected, g729_round_sample(c.v)) << c.v;
    // Two at a time, every case beside every other.
    for (const auto& a : cases) {
        for (const auto& b : cases) {
            const double v[2] = {a.v, b.v};
            int16_t pcm[2];
            g729_round_samples(v, pcm, 2);
            ASSERT_EQ(a.expected, pcm[0]) << a.v << " " << b.v;
            ASSERT_EQ(b.expected, pcm[1]) << a.v << " " << b.v;
        }
    }
}

TEST(DecoderPipeline, OtherUnitSizesAreRefusedUntouched) {
    g729_decoder_state st, before;
    g729_decoder_init(&st);
    std::memcpy(&before, &st, sizeof st);
    int16_t pcm[kFrame];
    for (int16_t& s : pcm) s = 1234;
    const uint8_t bytes[16] = {0};
    for (int size : {0, 1, 3, 9, 11, -1}) {
        EXPECT_EQ(-1, g729_decode_frame(&st, pcm, bytes, size));
        EXPECT_EQ(0, std::memcmp(&st, &before, sizeof st));
        for (int16_t s : pcm) ASSERT_EQ(1234, s);
    }
}

TEST(DecoderPipeline, SidFramesStartFromSeedAndLevelAndSmooth) {
    g729_decoder_state st;
    g729_decoder_init(&st);
    int16_t pcm[kFrame];
    const uint8_t sid_low[2] = {0x00, 0x00};      // energy index 0
    const uint8_t sid_high[2] = {0x00, 31 << 1};  // energy index 31
    ASSERT_EQ(0, g729_decode_frame(&st, pcm, sid_low, 2));
    EXPECT_EQ(tab_Sidgain[0], st.cng.cur_gain);
    EXPECT_EQ(kSharpMin, st.pitch_sharp);
    EXPECT_EQ(60, st.prev_pitch);
    EXPECT_EQ(kFrameTypeSid, st.prev_frame_type);
    ASSERT_EQ(0, g729_decode_frame(&st, pcm, sid_high, 2));
    EXPECT_EQ(0.875 * tab_Sidgain[0] + 0.125 * tab_Sidgain[31], st.cng.cur_gain);

    // A speech frame in between: the next SID starts over, unsmoothed, from seed 11111.
    const std::vector<uint8_t> bits = encode_all(tarnel::test::load_speech_sample());
    ASSERT_EQ(0, g729_decode_frame(&st, pcm, &bits[400], 10));
    EXPECT_EQ(11111, st.cng_seed);
    EXPECT_EQ(kFrameTypeSpeech, st.prev_frame_type);
    ASSERT_EQ(0, g729_decode_frame(&st, pcm, sid_high, 2));
    EXPECT_EQ(tab_Sidgain[31], st.cng.cur_gain);
}

TEST(DecoderPipeline, ParityErrorsAndSidFramesReuseThePreviousLag) {
    const struct {
        uint8_t bytes[10];
        int type;
        int lags[2];  // as reported to the post-filter
        double sharp;
    } cases[] = {
        // All zero: P0 fails the parity check, so subframe 0 repeats the initial lag 60 and
        // P2 = 0 relative to it is delay 54 with fraction +1.
        {{0}, kFrameTypeSpeech, {60, 54}, -1.0},
        // SID: both subframes report the previous lag, and the sharpening restarts.
        {{0x12, 0x34}, kFrameTypeSid, {77, 77}, kSharpMin},
    };
    for (const auto& c : cases) {
        g729_decoder_state st;
        g729_decoder_init(&st);
        if (c.type == kFrameTypeSid) st.prev_pitch = 77;
        st.pitch_sharp = 0.6;
        g729_params p;
        g729_unpack_frame(&p, c.bytes, c.type);
        double a_sub[kLpPair];
        int lags[2], type;
        g729_synthesise_frame(&st, &p, st.syn, a_sub, lags, &type);
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.lags[0], lags[0]) << c.type;
        EXPECT_EQ(c.lags[1], lags[1]) << c.type;
        EXPECT_EQ(c.lags[1], st.prev_pitch) << c.type;
        if (c.sharp > 0.0) {
            EXPECT_EQ(c.sharp, st.pitch_sharp);
        }
    }
}

TEST(CodecPipelines, NothingAllocatesWhileFramesAreProcessed) {
    if (!tarnel::test::alloc_counting_available())
        GTEST_SKIP() << "allocator is not interposable here";
    const std::vector<int16_t> speech = tarnel::test::load_speech_sample();
    const std::vector<uint8_t> bits = encode_all(speech);
    g729_encoder_state enc;
    g729_decoder_state dec;
    g729_encoder_init(&enc);
    g729_decoder_init(&dec);
    uint8_t frame[10];
    int16_t pcm[kFrame];
    const uint8_t sid[2] = {0x55, 0xAA};
    {
        // The counter itself must see an allocation, or this test proves nothing.
        const long probe = tarnel::test::allocation_count();
        void* (*volatile allocate)(size_t) = std::malloc;
        std::free(allocate(16));
        ASSERT_GT(tarnel::test::allocation_count(), probe);
    }
    const long before = tarnel::test::allocation_count();
    for (int f = 0; f < 300; ++f) {
        int len;
        g729_encode_frame(&enc, &speech[f * kFrame], frame, &len);
        g729_decode_frame(&dec, pcm, &bits[f * 10], 10);
        if (f % 7 == 0) g729_decode_frame(&dec, pcm, sid, 2);
        if (f % 5 < 2) g729_conceal_frame(&dec, pcm);
    }
    EXPECT_EQ(before, tarnel::test::allocation_count());
}
