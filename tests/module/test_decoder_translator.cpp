// g729tolin through the host: payload units, SID frames, invalid remainders, the output limit,
// and the host's default frame-out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "support/host_test_support.h"
#include "support/test_support.h"

using host_test::Instance;
using host_test::LoadedModule;
using host_test::LogCapture;

namespace {

// A SID frame: spectrum indices 0, 18 and 8, energy index 27.
const std::vector<uint8_t> kSid = {0x4a, 0x36};

class DecoderTranslator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.get(), nullptr) << module_.error();
        ASSERT_TRUE(dec_) << "no g729tolin instance";
        // 120 consecutive speech frames coded from the recording.
        const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
        ASSERT_GE(speech.size(), 20000u + 120 * 80);
        tarnel::g729_encoder_state st;
        tarnel::g729_encoder_init(&st);
        coded_.resize(120 * 10);
        for (size_t k = 0; k < 120; ++k) {
            int len = 0;
            tarnel::g729_encode_frame(&st, speech.data() + 20000 + 80 * k, coded_.data() + 10 * k, &len);
        }
    }

    std::vector<uint8_t> speech_frames(size_t first, size_t count) const {
        return std::vector<uint8_t>(coded_.begin() + static_cast<long>(10 * first),
                                    coded_.begin() + static_cast<long>(10 * (first + count)));
    }

    int feed(std::vector<uint8_t> payload) {
        payloads_.push_back(std::move(payload));
        hvn_frame f = host_test::g729_frame(payloads_.back());
        return hvn_trans_instance_feed(dec_.get(), &f);
    }

    // What a fresh decoder makes of the given units, in order.
    static std::vector<int16_t> reference(const std::vector<std::vector<uint8_t>>& units) {
        tarnel::g729_decoder_state st;
        tarnel::g729_decoder_init(&st);
        std::vector<int16_t> out;
        for (const auto& u : units) {
            int16_t pcm[80];
            EXPECT_EQ(tarnel::g729_decode_frame(&st, pcm, u.data(), static_cast<int>(u.size())), 0);
            out.insert(out.end(), pcm, pcm + 80);
        }
        return out;
    }

    std::vector<std::vector<uint8_t>> units(size_t first, size_t count) const {
        std::vector<std::vector<uint8_t>> list;
        for (size_t k = 0; k < count; ++k) list.push_back(speech_frames(first + k, 1));
        return list;
    }

    std::vector<int16_t> waiting() const {
        return std::vector<int16_t>(dec_->outbuf.i16, dec_->outbuf.i16 + dec_->samples);
    }

    static void expect_warning(const LogCapture& log, const std::string& message) {
        ASSERT_EQ(log.lines().size(), 1u);
        const host_test::LogLine& l = log.lines()[0];
        EXPECT_EQ(l.level, 3);
        EXPECT_EQ(l.file, "codec_tarnel");
        EXPECT_GT(l.line, 0);
        EXPECT_EQ(l.function, "g729tolin_framein");
        EXPECT_EQ(l.message, message);
        EXPECT_NE(l.text.find(message.substr(0, message.size() - 1)), std::string::npos) << l.text;
    }

    LoadedModule module_;
    Instance dec_{"g729tolin"};
    std::vector<uint8_t> coded_;
    std::vector<std::vector<uint8_t>> payloads_;
};

// ---- Payload units -----------------------------------------------------------------------

TEST_F(DecoderTranslator, TwoSpeechFramesYield160Samples) {
    LogCapture log;
    ASSERT_EQ(feed(speech_frames(0, 2)), 0);
    EXPECT_EQ(dec_->samples, 160);
    EXPECT_EQ(dec_->datalen, 320);
    EXPECT_EQ(waiting(), reference(units(0, 2)));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(DecoderTranslator, SpeechFrameThenSidFrame) {
    std::vector<uint8_t> payload = speech_frames(0, 1);
    payload.insert(payload.end(), kSid.begin(), kSid.end());
    ASSERT_EQ(feed(payload), 0);
    EXPECT_EQ(dec_->samples, 160);
    EXPECT_EQ(dec_->datalen, 320);
    EXPECT_EQ(waiting(), reference({speech_frames(0, 1), kSid}));
}

TEST_F(DecoderTranslator, LoneSidFrameYieldsOneComfortNoiseFrame) {
    ASSERT_EQ(feed(kSid), 0);
    EXPECT_EQ(dec_->samples, 80);
    EXPECT_EQ(dec_->datalen, 160);
    EXPECT_EQ(waiting(), reference({kSid}));
}

TEST_F(DecoderTranslator, SidAfterManySpeechFrames) {
    std::vector<uint8_t> payload = speech_frames(0, 6);
    payload.insert(payload.end(), kSid.begin(), kSid.end());
    ASSERT_EQ(feed(payload), 0);
    std::vector<std::vector<uint8_t>> expected = units(0, 6);
    expected.push_back(kSid);
    EXPECT_EQ(waiting(), reference(expected));
}

TEST_F(DecoderTranslator, StateCarriesAcrossPayloads) {
    ASSERT_EQ(feed(speech_frames(0, 3)), 0);
    ASSERT_EQ(feed(speech_frames(3, 1)), 0);
    ASSERT_EQ(feed(kSid), 0);
    ASSERT_EQ(feed(speech_frames(4, 2)), 0);
    std::vector<std::vector<uint8_t>> expected = units(0, 4);
    expected.push_back(kSid);
    for (auto& u : units(4, 2)) expected.push_back(u);
    EXPECT_EQ(dec_->samples, 560);
    EXPECT_EQ(waiting(), reference(expected));
}

TEST_F(DecoderTranslator, EmptyPayloadChangesNothing) {
    LogCapture log;
    ASSERT_EQ(feed({}), 0);
    EXPECT_EQ(dec_->samples, 0);
    EXPECT_EQ(dec_->datalen, 0);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(hvn_trans_instance_read(dec_.get()), nullptr);
}

TEST_F(DecoderTranslator, FrameInReadsTheByteLengthNotTheSampleCount) {
    payloads_.push_back(speech_frames(0, 2));
    hvn_frame f = host_test::g729_frame(payloads_.back());
    f.samples = 7;  // wrong on purpose
    ASSERT_EQ(hvn_trans_instance_feed(dec_.get(), &f), 0);
    EXPECT_EQ(dec_->samples, 160);
}

// ---- Invalid remainders ------------------------------------------------------------------

TEST_F(DecoderTranslator, ElevenBytesDecodeOneFrameThenFail) {
    std::vector<uint8_t> payload = speech_frames(0, 1);
    payload.push_back(0x55);
    LogCapture log;
    EXPECT_EQ(feed(payload), -1);
    expect_warning(log, "Invalid data (1 bytes at the end)\n");
    EXPECT_EQ(dec_->samples, 80);
    EXPECT_EQ(dec_->datalen, 160);
    EXPECT_EQ(waiting(), reference(units(0, 1)));
}

TEST_F(DecoderTranslator, TwoSidFramesAreRefusedWhole) {
    std::vector<uint8_t> two_sids = kSid;
    two_sids.insert(two_sids.end(), kSid.begin(), kSid.end());
    LogCapture log;
    EXPECT_EQ(feed(two_sids), -1);
    expect_warning(log, "Invalid data (4 bytes at the end)\n");
    EXPECT_EQ(dec_->samples, 0);
    EXPECT_EQ(dec_->datalen, 0);
    // Nothing was decoded, so the state is still fresh.
    ASSERT_EQ(feed(speech_frames(0, 2)), 0);
    EXPECT_EQ(waiting(), reference(units(0, 2)));
}

TEST_F(DecoderTranslator, LeadingSidIsReadAsPartOfASpeechFrame) {
    // Twelve bytes starting with the SID frame: the first ten are taken as a speech frame,
    // then two remain and are taken as a SID frame. A SID frame is only recognised at the end.
    std::vector<uint8_t> payload = kSid;
    const std::vector<uint8_t> s = speech_frames(0, 1);
    payload.insert(payload.end(), s.begin(), s.end());
    payload.push_back(0x01);  // 13 bytes: ten, then three left over
    LogCapture log;
    EXPECT_EQ(feed(payload), -1);
    expect_warning(log, "Invalid data (3 bytes at the end)\n");
    EXPECT_EQ(dec_->samples, 80);
}

class DecoderRemainder : public DecoderTranslator, public ::testing::WithParamInterface<int> {};

TEST_P(DecoderRemainder, IsRefusedWithItsLength) {
    const int extra = GetParam();
    std::vector<uint8_t> payload = speech_frames(0, 2);
    payload.resize(payload.size() + static_cast<size_t>(extra), 0x33);
    LogCapture log;
    EXPECT_EQ(feed(payload), -1);
    expect_warning(log, "Invalid data (" + std::to_string(extra) + " bytes at the end)\n");
    EXPECT_EQ(dec_->samples, 160);
    EXPECT_EQ(dec_->datalen, 320);
}

INSTANTIATE_TEST_SUITE_P(OneAndThreeToNine, DecoderRemainder, ::testing::Values(1, 3, 4, 5, 6, 7, 8, 9));

TEST_F(DecoderTranslator, ShortPayloadAloneIsRefused) {
    for (int n : {1, 3, 9}) {
        LogCapture log;
        EXPECT_EQ(feed(std::vector<uint8_t>(static_cast<size_t>(n), 0x11)), -1) << n;
        expect_warning(log, "Invalid data (" + std::to_string(n) + " bytes at the end)\n");
        EXPECT_EQ(dec_->samples, 0);
    }
}

// ---- Output limit ------------------------------------------------------------------------

TEST_F(DecoderTranslator, OverlongPayloadFillsTheBufferThenFails) {
    std::vector<uint8_t> payload = speech_frames(0, 101);
    ASSERT_EQ(payload.size(), 1010u);
    LogCapture log;
    EXPECT_EQ(feed(payload), -1);
    expect_warning(log, "Out of buffer space\n");
    EXPECT_EQ(dec_->samples, 8000);
    EXPECT_EQ(dec_->datalen, 16000);
    EXPECT_EQ(waiting(), reference(units(0, 100)));
}

TEST_F(DecoderTranslator, LastFrameFitsAt7920) {
    ASSERT_EQ(feed(speech_frames(0, 99)), 0);
    EXPECT_EQ(dec_->samples, 7920);
    LogCapture log;
    ASSERT_EQ(feed(speech_frames(99, 1)), 0);
    EXPECT_EQ(dec_->samples, 8000);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(feed(speech_frames(100, 1)), -1);
    expect_warning(log, "Out of buffer space\n");
    EXPECT_EQ(dec_->samples, 8000);
    EXPECT_EQ(dec_->datalen, 16000);
}

TEST_F(DecoderTranslator, FullBufferRefusesEvenASidFrame) {
    ASSERT_EQ(feed(speech_frames(0, 100)), 0);
    LogCapture log;
    EXPECT_EQ(feed(kSid), -1);
    expect_warning(log, "Out of buffer space\n");
    EXPECT_EQ(dec_->samples, 8000);
}

// ---- Default frame-out -------------------------------------------------------------------

TEST_F(DecoderTranslator, DefaultFrameOutHandsOnAllAndResetsTheCounters) {
    ASSERT_EQ(feed(speech_frames(0, 3)), 0);
    const std::vector<int16_t> expected = waiting();
    hvn_frame* out = hvn_trans_instance_read(dec_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->frametype, HVN_FRAME_VOICE);
    EXPECT_EQ(out->format, hvn_format_slin);
    EXPECT_EQ(out->samples, 240);
    EXPECT_EQ(out->datalen, 480);
    EXPECT_STREQ(out->src, "g729tolin");
    const auto* pcm = static_cast<const int16_t*>(out->data);
    EXPECT_EQ(std::vector<int16_t>(pcm, pcm + 240), expected);
    EXPECT_EQ(dec_->samples, 0);
    EXPECT_EQ(dec_->datalen, 0);
    EXPECT_EQ(hvn_trans_instance_read(dec_.get()), nullptr);
}

TEST_F(DecoderTranslator, BufferIsReusedAfterFrameOut) {
    ASSERT_EQ(feed(speech_frames(0, 100)), 0);
    ASSERT_NE(hvn_trans_instance_read(dec_.get()), nullptr);
    ASSERT_EQ(feed(speech_frames(100, 2)), 0);
    EXPECT_EQ(dec_->samples, 160);
    const std::vector<int16_t> all = reference(units(0, 102));
    EXPECT_EQ(waiting(), std::vector<int16_t>(all.end() - 160, all.end()));
}

TEST_F(DecoderTranslator, RoundTripThroughBothTranslatorsIsSpeech) {
    Instance enc("lintog729");
    ASSERT_TRUE(enc);
    std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    speech.resize(40000);
    std::vector<int16_t> decoded;
    for (size_t at = 0; at < speech.size(); at += 160) {
        std::vector<int16_t> piece(speech.begin() + static_cast<long>(at),
                                   speech.begin() + static_cast<long>(at + 160));
        hvn_frame f = host_test::slin_frame(piece);
        ASSERT_EQ(hvn_trans_instance_feed(enc.get(), &f), 0);
        hvn_frame* coded = hvn_trans_instance_read(enc.get());
        ASSERT_NE(coded, nullptr);
        ASSERT_EQ(hvn_trans_instance_feed(dec_.get(), coded), 0);
        hvn_frame* pcm = hvn_trans_instance_read(dec_.get());
        ASSERT_NE(pcm, nullptr);
        const auto* p = static_cast<const int16_t*>(pcm->data);
        decoded.insert(decoded.end(), p, p + pcm->samples);
    }
    ASSERT_EQ(decoded.size(), speech.size());
    // A working codec tracks the input's loudness; a broken one is silent or wild.
    double in_energy = 0, out_energy = 0;
    for (size_t i = 0; i < speech.size(); ++i) {
        in_energy += static_cast<double>(speech[i]) * speech[i];
        out_energy += static_cast<double>(decoded[i]) * decoded[i];
    }
    EXPECT_GT(out_energy, 0.25 * in_energy);
    EXPECT_LT(out_energy, 4.0 * in_energy);
}

}  // namespace
