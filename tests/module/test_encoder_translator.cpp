// lintog729 through the host: input buffering, frame-out, and the buffer limit.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec/encoder.h"
#include "support/host_test_support.h"
#include "support/test_support.h"

using host_test::Instance;
using host_test::LoadedModule;
using host_test::LogCapture;

namespace {

class EncoderTranslator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.get(), nullptr) << module_.error();
        ASSERT_TRUE(enc_) << "no lintog729 instance";
        speech_ = tarnel_test::load_speech_sample();
        ASSERT_GE(speech_.size(), 16000u);
    }

    // `count` samples of the speech recording from `start`, in a buffer the frame points into.
    hvn_frame feed_frame(size_t start, size_t count) {
        pieces_.emplace_back(speech_.begin() + static_cast<long>(start),
                             speech_.begin() + static_cast<long>(start + count));
        return host_test::slin_frame(pieces_.back());
    }
    int feed(size_t start, size_t count) {
        hvn_frame f = feed_frame(start, count);
        return hvn_trans_instance_feed(enc_.get(), &f);
    }

    // What a fresh encoder makes of consecutive 80-sample blocks of the recording.
    std::vector<uint8_t> reference(size_t start, size_t blocks) {
        tarnel::g729_encoder_state st;
        tarnel::g729_encoder_init(&st);
        std::vector<uint8_t> out(blocks * 10);
        for (size_t k = 0; k < blocks; ++k) {
            int len = 0;
            tarnel::g729_encode_frame(&st, speech_.data() + start + 80 * k, out.data() + 10 * k, &len);
        }
        return out;
    }

    static std::vector<uint8_t> bytes_of(const hvn_frame* f) {
        const auto* p = static_cast<const uint8_t*>(f->data);
        return std::vector<uint8_t>(p, p + f->datalen);
    }

    void expect_out_of_space(const LogCapture& log) {
        ASSERT_EQ(log.lines().size(), 1u);
        const host_test::LogLine& l = log.lines()[0];
        EXPECT_EQ(l.level, 3);
        EXPECT_EQ(l.file, "codec_tarnel");
        EXPECT_GT(l.line, 0);
        EXPECT_EQ(l.function, "lintog729_framein");
        EXPECT_EQ(l.message, "Out of buffer space\n");
        EXPECT_NE(l.text.find("WARNING"), std::string::npos) << l.text;
        EXPECT_NE(l.text.find("Out of buffer space"), std::string::npos) << l.text;
    }

    LoadedModule module_;
    Instance enc_{"lintog729"};
    std::vector<int16_t> speech_;
    std::vector<std::vector<int16_t>> pieces_;
};

// ---- Frame-out ---------------------------------------------------------------------------

TEST_F(EncoderTranslator, TwoBlocksComeOutAsOneFrameOfTwentyBytes) {
    ASSERT_EQ(feed(4000, 160), 0);
    EXPECT_EQ(enc_->samples, 160);
    hvn_frame* out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->datalen, 20);
    EXPECT_EQ(out->samples, 160);
    EXPECT_EQ(out->frametype, HVN_FRAME_VOICE);
    EXPECT_EQ(out->format, hvn_format_g729);
    EXPECT_STREQ(out->src, "lintog729");
    EXPECT_EQ(bytes_of(out), reference(4000, 2));
    EXPECT_EQ(enc_->samples, 0);
}

TEST_F(EncoderTranslator, LeftoverSamplesLeadTheNextBlock) {
    ASSERT_EQ(feed(8000, 100), 0);
    hvn_frame* out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->datalen, 10);
    EXPECT_EQ(out->samples, 80);
    const std::vector<uint8_t> expected = reference(8000, 2);
    EXPECT_EQ(bytes_of(out), std::vector<uint8_t>(expected.begin(), expected.begin() + 10));
    EXPECT_EQ(enc_->samples, 20) << "the host must leave the count of waiting samples alone";

    ASSERT_EQ(feed(8100, 60), 0);
    out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->datalen, 10);
    EXPECT_EQ(out->samples, 80);
    // Encoded from the 20 kept samples followed by the 60 new ones, with the same state.
    EXPECT_EQ(bytes_of(out), std::vector<uint8_t>(expected.begin() + 10, expected.end()));
    EXPECT_EQ(enc_->samples, 0);
}

TEST_F(EncoderTranslator, SeventyNineSamplesWait) {
    ASSERT_EQ(feed(6000, 79), 0);
    EXPECT_EQ(hvn_trans_instance_read(enc_.get()), nullptr);
    EXPECT_EQ(enc_->samples, 79);
    EXPECT_EQ(hvn_trans_instance_read(enc_.get()), nullptr);
    EXPECT_EQ(enc_->samples, 79);

    ASSERT_EQ(feed(6079, 1), 0);
    hvn_frame* out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->samples, 80);
    EXPECT_EQ(bytes_of(out), reference(6000, 1));
}

TEST_F(EncoderTranslator, ManySmallFramesEqualOneLargeOne) {
    // 7 samples at a time: blocks straddle host frames in every possible position.
    std::vector<uint8_t> produced;
    for (size_t at = 0; at < 7 * 160; at += 7) {
        ASSERT_EQ(feed(12000 + at, 7), 0);
        if (hvn_frame* out = hvn_trans_instance_read(enc_.get())) {
            const std::vector<uint8_t> b = bytes_of(out);
            produced.insert(produced.end(), b.begin(), b.end());
        }
    }
    EXPECT_EQ(produced, reference(12000, 7 * 160 / 80));
    EXPECT_EQ(enc_->samples, 0);
}

TEST_F(EncoderTranslator, FullBufferDrainsInOneFrameOut) {
    ASSERT_EQ(feed(0, 8000), 0);
    hvn_frame* out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->datalen, 1000);
    EXPECT_EQ(out->samples, 8000);
    EXPECT_EQ(bytes_of(out), reference(0, 100));
    EXPECT_EQ(enc_->samples, 0);
}

TEST_F(EncoderTranslator, EveryFrameIsASpeechFrame) {
    // Discontinuous transmission is off: silence still codes to 10-byte speech frames.
    std::vector<int16_t> silence(800, 0);
    hvn_frame f = host_test::slin_frame(silence);
    ASSERT_EQ(hvn_trans_instance_feed(enc_.get(), &f), 0);
    hvn_frame* out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->datalen, 100);
    EXPECT_EQ(out->samples, 800);
}

// ---- Frame-in limits ---------------------------------------------------------------------

TEST_F(EncoderTranslator, EmptyBufferTakesEightThousandSamples) {
    LogCapture log;
    EXPECT_EQ(feed(0, 8000), 0);
    EXPECT_EQ(enc_->samples, 8000);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(EncoderTranslator, EmptyBufferRefusesEightThousandAndOne) {
    LogCapture log;
    EXPECT_EQ(feed(0, 8001), -1);
    EXPECT_EQ(enc_->samples, 0);
    expect_out_of_space(log);
    EXPECT_EQ(hvn_trans_instance_read(enc_.get()), nullptr) << "a refused frame left samples behind";
}

TEST_F(EncoderTranslator, FiftyShortOfFullRefusesFiftyOneAndTakesFifty) {
    ASSERT_EQ(feed(0, 7950), 0);
    {
        LogCapture log;
        EXPECT_EQ(feed(7950, 51), -1);
        EXPECT_EQ(enc_->samples, 7950);
        expect_out_of_space(log);
    }
    {
        LogCapture log;
        EXPECT_EQ(feed(7950, 50), 0);
        EXPECT_EQ(enc_->samples, 8000);
        EXPECT_TRUE(log.lines().empty());
    }
    // The refused frame did not touch the buffer: the output is the recording's first second.
    hvn_frame* out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(bytes_of(out), reference(0, 100));
}

TEST_F(EncoderTranslator, FullBufferRefusesEvenOneSample) {
    ASSERT_EQ(feed(0, 8000), 0);
    LogCapture log;
    EXPECT_EQ(feed(8000, 1), -1);
    EXPECT_EQ(enc_->samples, 8000);
    expect_out_of_space(log);
}

TEST_F(EncoderTranslator, HugeSampleCountIsRefusedNotWrapped) {
    ASSERT_EQ(feed(0, 100), 0);
    std::vector<int16_t> one(1, 0);
    hvn_frame f = host_test::slin_frame(one);
    f.samples = 0x7fffffff;
    LogCapture log;
    EXPECT_EQ(hvn_trans_instance_feed(enc_.get(), &f), -1);
    EXPECT_EQ(enc_->samples, 100);
    expect_out_of_space(log);
}

TEST_F(EncoderTranslator, EmptyFrameChangesNothing) {
    ASSERT_EQ(feed(3000, 40), 0);
    std::vector<int16_t> none;
    hvn_frame f = host_test::slin_frame(none);
    f.data = nullptr;
    LogCapture log;
    EXPECT_EQ(hvn_trans_instance_feed(enc_.get(), &f), 0);
    EXPECT_EQ(enc_->samples, 40);
    EXPECT_TRUE(log.lines().empty());
    ASSERT_EQ(feed(3040, 40), 0);
    hvn_frame* out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(bytes_of(out), reference(3000, 1));
}

TEST_F(EncoderTranslator, FrameInReadsTheSampleCountNotTheByteLength) {
    std::vector<int16_t> samples(speech_.begin() + 5000, speech_.begin() + 5080);
    hvn_frame f = host_test::slin_frame(samples);
    f.datalen = 3;  // wrong on purpose
    ASSERT_EQ(hvn_trans_instance_feed(enc_.get(), &f), 0);
    EXPECT_EQ(enc_->samples, 80);
    hvn_frame* out = hvn_trans_instance_read(enc_.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(bytes_of(out), reference(5000, 1));
}

// ---- Instances ---------------------------------------------------------------------------

TEST_F(EncoderTranslator, InstancesKeepTheirOwnState) {
    Instance other("lintog729");
    ASSERT_TRUE(other);
    // Interleave two paths over different material; each must match its own reference.
    for (size_t k = 0; k < 5; ++k) {
        ASSERT_EQ(feed(2000 + 80 * k, 80), 0);
        hvn_frame f = feed_frame(9000 + 80 * k, 80);
        ASSERT_EQ(hvn_trans_instance_feed(other.get(), &f), 0);
        hvn_frame* a = hvn_trans_instance_read(enc_.get());
        ASSERT_NE(a, nullptr);
        const std::vector<uint8_t> ra = reference(2000, k + 1);
        EXPECT_EQ(bytes_of(a), std::vector<uint8_t>(ra.end() - 10, ra.end())) << "frame " << k;
        hvn_frame* b = hvn_trans_instance_read(other.get());
        ASSERT_NE(b, nullptr);
        const std::vector<uint8_t> rb = reference(9000, k + 1);
        EXPECT_EQ(bytes_of(b), std::vector<uint8_t>(rb.end() - 10, rb.end())) << "frame " << k;
    }
}

}  // namespace
