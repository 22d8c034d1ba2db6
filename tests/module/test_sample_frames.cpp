// The translators' sample frames: static, stamped with the host's current format, and real
// material that the translators accept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/host_test_support.h"

using host_test::Instance;
using host_test::LoadedModule;
using host_test::LogCapture;

namespace {

class SampleFrames : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.get(), nullptr) << module_.error();
        enc_ = hvn_translator_find("lintog729");
        dec_ = hvn_translator_find("g729tolin");
        ASSERT_NE(enc_, nullptr);
        ASSERT_NE(dec_, nullptr);
        ASSERT_NE(enc_->sample, nullptr);
        ASSERT_NE(dec_->sample, nullptr);
    }
    LoadedModule module_;
    hvn_translator* enc_ = nullptr;
    hvn_translator* dec_ = nullptr;
};

TEST_F(SampleFrames, LinearSampleDescribesItself) {
    const hvn_frame* f = enc_->sample();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->frametype, HVN_FRAME_VOICE);
    EXPECT_EQ(f->format, hvn_format_slin);
    EXPECT_EQ(f->datalen, 480);
    EXPECT_EQ(f->samples, 240);
    EXPECT_STREQ(f->src, "lintog729_sample");
    ASSERT_NE(f->data, nullptr);
}

TEST_F(SampleFrames, CodedSampleDescribesItself) {
    const hvn_frame* f = dec_->sample();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->frametype, HVN_FRAME_VOICE);
    EXPECT_EQ(f->format, hvn_format_g729);
    EXPECT_EQ(f->datalen, 50);
    EXPECT_EQ(f->samples, 400);
    EXPECT_STREQ(f->src, "g729tolin_sample");
    ASSERT_NE(f->data, nullptr);
}

TEST_F(SampleFrames, SameStaticFrameOnEveryCall) {
    hvn_frame* a = enc_->sample();
    EXPECT_EQ(enc_->sample(), a);
    hvn_frame* b = dec_->sample();
    EXPECT_EQ(dec_->sample(), b);
    EXPECT_NE(a, b);
}

TEST_F(SampleFrames, FormatIsStampedOnEveryCall) {
    hvn_format* old_slin = hvn_format_slin;
    hvn_format* old_g729 = hvn_format_g729;
    ASSERT_EQ(enc_->sample()->format, old_slin);
    ASSERT_EQ(dec_->sample()->format, old_g729);

    hvn_format_renew();
    ASSERT_NE(hvn_format_slin, old_slin);
    ASSERT_NE(hvn_format_g729, old_g729);
    hvn_frame* a = enc_->sample();
    hvn_frame* b = dec_->sample();
    EXPECT_EQ(a->format, hvn_format_slin);
    EXPECT_EQ(b->format, hvn_format_g729);

    // Whatever the host scribbled there in between is replaced.
    a->format = nullptr;
    b->format = nullptr;
    EXPECT_EQ(enc_->sample()->format, hvn_format_slin);
    EXPECT_EQ(dec_->sample()->format, hvn_format_g729);
}

TEST_F(SampleFrames, LinearSampleIsSpeech) {
    const hvn_frame* f = enc_->sample();
    const auto* pcm = static_cast<const int16_t*>(f->data);
    const std::vector<int16_t> samples(pcm, pcm + 240);
    const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
    // Speech-level material, neither silence nor a clipped or constant signal.
    EXPECT_LT(*lo, -300);
    EXPECT_GT(*hi, 300);
    EXPECT_GT(*lo, -8000);
    EXPECT_LT(*hi, 8000);
    int sign_changes = 0;
    for (size_t i = 1; i < samples.size(); ++i) sign_changes += (samples[i] < 0) != (samples[i - 1] < 0);
    EXPECT_GT(sign_changes, 3);
}

TEST_F(SampleFrames, CodedSampleHoldsFiveDistinctSpeechFrames) {
    const hvn_frame* f = dec_->sample();
    const auto* bytes = static_cast<const uint8_t*>(f->data);
    for (int i = 0; i < 5; ++i) {
        const std::vector<uint8_t> frame(bytes + 10 * i, bytes + 10 * i + 10);
        EXPECT_NE(frame, std::vector<uint8_t>(10, 0)) << "frame " << i << " is blank";
        for (int j = 0; j < i; ++j)
            EXPECT_NE(std::memcmp(bytes + 10 * i, bytes + 10 * j, 10), 0)
                << "frames " << j << " and " << i << " are the same";
    }
}

TEST_F(SampleFrames, LinearSampleEncodesIntoThreeFrames) {
    Instance enc("lintog729");
    ASSERT_TRUE(enc);
    LogCapture log;
    ASSERT_EQ(hvn_trans_instance_feed(enc.get(), enc_->sample()), 0);
    hvn_frame* out = hvn_trans_instance_read(enc.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->datalen, 30);
    EXPECT_EQ(out->samples, 240);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(SampleFrames, CodedSampleDecodesIntoFourHundredSamples) {
    Instance dec("g729tolin");
    ASSERT_TRUE(dec);
    LogCapture log;
    ASSERT_EQ(hvn_trans_instance_feed(dec.get(), dec_->sample()), 0);
    hvn_frame* out = hvn_trans_instance_read(dec.get());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->samples, 400);
    EXPECT_EQ(out->datalen, 800);
    EXPECT_TRUE(log.lines().empty());
    // Decoded speech is not silence.
    const auto* pcm = static_cast<const int16_t*>(out->data);
    EXPECT_TRUE(std::any_of(pcm, pcm + 400, [](int16_t s) { return s > 100 || s < -100; }));
}

}  // namespace
