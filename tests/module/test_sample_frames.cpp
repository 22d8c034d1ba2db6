// The translators' sample frames: static, stamped with the host's current format, and a real
// stretch of the bundled speech and of its coding, which the translators accept.
#include <gtest/gtest.h>

#include <vector>

#include "support/host_test_support.h"
#include "support/test_support.h"

using namespace tarnel::test;

namespace {

class SampleFrames : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.get(), nullptr) << module_.error();
        enc_ = hvn_translator_find("lintog729");
        dec_ = hvn_translator_find("g729tolin");
        ASSERT_TRUE(enc_ && dec_);
        ASSERT_TRUE(enc_->sample && dec_->sample);
    }
    loaded_module module_;
    hvn_translator* enc_ = nullptr;
    hvn_translator* dec_ = nullptr;
};

TEST_F(SampleFrames, SameStaticFrameOnEveryCallDescribingItself) {
    hvn_frame* linear = enc_->sample();
    hvn_frame* coded = dec_->sample();
    expect_voice_frame(linear, hvn_format_slin, 240, 480, "lintog729_sample");
    expect_voice_frame(coded, hvn_format_g729, 400, 50, "g729tolin_sample");
    EXPECT_EQ(enc_->sample(), linear);
    EXPECT_EQ(dec_->sample(), coded);
    EXPECT_NE(linear, coded);
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

TEST_F(SampleFrames, SamplesAreTheBundledSpeechFromSample93440AndItsCoding) {
    const std::vector<int16_t> speech = load_speech_sample();
    ASSERT_GE(speech.size(), 93840u);
    EXPECT_EQ(payload_of<int16_t>(enc_->sample()),
              std::vector<int16_t>(speech.begin() + 93440, speech.begin() + 93680));
    // Coded by today's encoder after ten frames of lead-in, so the sample never names a row
    // other decoders read differently.
    const std::vector<uint8_t> coded = encode_reference(&speech[92640], 15);
    EXPECT_EQ(payload_of<uint8_t>(dec_->sample()),
              std::vector<uint8_t>(coded.end() - 50, coded.end()));
}

TEST_F(SampleFrames, EachTranslatorTakesItsOwnSample) {
    log_capture log;
    instance enc("lintog729");
    instance dec("g729tolin");
    ASSERT_TRUE(enc && dec);
    ASSERT_EQ(enc.feed(*enc_->sample()), 0);
    const hvn_frame* out = enc.read();
    ASSERT_NO_FATAL_FAILURE(expect_voice_frame(out, hvn_format_g729, 240, 30, "lintog729"));
    const std::vector<int16_t> linear = payload_of<int16_t>(enc_->sample());
    EXPECT_EQ(payload_of<uint8_t>(out), encode_reference(linear.data(), 3));

    ASSERT_EQ(dec.feed(*dec_->sample()), 0);
    out = dec.read();
    ASSERT_NO_FATAL_FAILURE(expect_voice_frame(out, hvn_format_slin, 400, 800, "g729tolin"));
    const std::vector<uint8_t> coded = payload_of<uint8_t>(dec_->sample());
    std::vector<std::vector<uint8_t>> units;
    for (size_t k = 0; k < 5; ++k)
        units.emplace_back(coded.begin() + 10 * k, coded.begin() + 10 * (k + 1));
    EXPECT_EQ(payload_of<int16_t>(out), decode_reference(units));
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
