// lintog729 through the host: input buffering, frame-out, and the buffer limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "support/host_test_support.h"
#include "support/test_support.h"

using namespace tarnel::test;

namespace {

class EncoderTranslator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.get(), nullptr) << module_.error();
        ASSERT_TRUE(enc_) << "no lintog729 instance";
        speech_ = load_speech_sample();
        ASSERT_GE(speech_.size(), 16000u);
    }

    // `count` samples of the recording from `start`, in a buffer the frame points into.
    hvn_frame speech_frame(size_t start, size_t count) {
        pieces_.emplace_back(speech_.begin() + static_cast<long>(start),
                             speech_.begin() + static_cast<long>(start + count));
        return slin_frame(pieces_.back());
    }
    int feed(size_t start, size_t count, const instance& to) {
        return to.feed(speech_frame(start, count));
    }
    int feed(size_t start, size_t count) { return feed(start, count, enc_); }

    // What a fresh encoder makes of consecutive blocks of the recording.
    std::vector<uint8_t> reference(size_t start, size_t blocks) const {
        return encode_reference(speech_.data() + start, blocks);
    }
    std::vector<uint8_t> read(const instance& from) const {
        const hvn_frame* out = from.read();
        return out ? payload_of<uint8_t>(out) : std::vector<uint8_t>();
    }

    loaded_module module_;
    instance enc_{"lintog729"};
    std::vector<int16_t> speech_;
    std::vector<std::vector<int16_t>> pieces_;
};

// ---- Frame-out ---------------------------------------------------------------------------

TEST_F(EncoderTranslator, TwoBlocksComeOutAsOneFrameOfTwentyBytes) {
    ASSERT_EQ(feed(4000, 160), 0);
    EXPECT_EQ(enc_->samples, 160);
    const hvn_frame* out = enc_.read();
    ASSERT_NO_FATAL_FAILURE(expect_voice_frame(out, hvn_format_g729, 160, 20, "lintog729"));
    EXPECT_EQ(payload_of<uint8_t>(out), reference(4000, 2));
    EXPECT_EQ(enc_->samples, 0);
}

TEST_F(EncoderTranslator, LeftoverSamplesLeadTheNextBlock) {
    const std::vector<uint8_t> expected = reference(8000, 2);
    ASSERT_EQ(feed(8000, 100), 0);
    EXPECT_EQ(read(enc_), std::vector<uint8_t>(expected.begin(), expected.begin() + 10));
    EXPECT_EQ(enc_->samples, 20) << "the host must leave the count of waiting samples alone";
    // Encoded from the 20 kept samples followed by the 60 new ones, with the same state.
    ASSERT_EQ(feed(8100, 60), 0);
    EXPECT_EQ(read(enc_), std::vector<uint8_t>(expected.begin() + 10, expected.end()));
    EXPECT_EQ(enc_->samples, 0);
}

TEST_F(EncoderTranslator, SeventyNineSamplesWait) {
    ASSERT_EQ(feed(6000, 79), 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(enc_.read(), nullptr);
        EXPECT_EQ(enc_->samples, 79);
    }
    ASSERT_EQ(feed(6079, 1), 0);
    EXPECT_EQ(read(enc_), reference(6000, 1));
}

TEST_F(EncoderTranslator, ManySmallFramesEqualOneLargeOne) {
    // 7 samples at a time: blocks straddle host frames in every possible position.
    std::vector<uint8_t> produced;
    for (size_t at = 0; at < 7 * 160; at += 7) {
        ASSERT_EQ(feed(12000 + at, 7), 0);
        const std::vector<uint8_t> b = read(enc_);
        produced.insert(produced.end(), b.begin(), b.end());
    }
    EXPECT_EQ(produced, reference(12000, 7 * 160 / 80));
    EXPECT_EQ(enc_->samples, 0);
}

// ---- Frame-in limits ---------------------------------------------------------------------

// A frame that would take the input past 8000 samples is refused whole with one warning; what
// was accepted encodes as the recording's first samples, so a refused frame changed nothing.
TEST_F(EncoderTranslator, InputBufferHoldsEightThousandSamples) {
    const struct {
        const char* what;
        int held;     // samples accepted before
        int samples;  // the frame's sample count
        int datalen;  // its byte length, -1 for twice the count
        bool accepted;
    } cases[] = {
        {"8000 into an empty buffer", 0, 8000, -1, true},
        {"8001 into an empty buffer", 0, 8001, -1, false},
        {"50 when 50 short of full", 7950, 50, -1, true},
        {"51 when 50 short of full", 7950, 51, -1, false},
        {"1 into a full buffer", 8000, 1, -1, false},
        {"a count past any sum", 100, INT_MAX, 2, false},
        {"an empty frame", 40, 0, 0, true},
        {"a byte length that disagrees", 0, 80, 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        instance enc("lintog729");
        ASSERT_EQ(feed(0, static_cast<size_t>(c.held), enc), 0);
        const auto from = speech_.begin() + c.held;
        std::vector<int16_t> data(from, from + std::min(c.samples, 8001));
        hvn_frame f = slin_frame(data);
        f.samples = c.samples;
        if (c.datalen >= 0) f.datalen = c.datalen;
        if (c.samples == 0) f.data = nullptr;
        log_capture log;
        EXPECT_EQ(enc.feed(f), c.accepted ? 0 : -1);
        const int held = c.held + (c.accepted ? c.samples : 0);
        EXPECT_EQ(enc->samples, held);
        if (c.accepted) {
            EXPECT_TRUE(log.lines().empty()) << log.lines().front().text;
        } else {
            expect_one_warning(log, "lintog729_framein", "Out of buffer space\n");
        }
        EXPECT_EQ(read(enc), reference(0, static_cast<size_t>(held / 80)));
    }
}

// ---- Instances ---------------------------------------------------------------------------

TEST_F(EncoderTranslator, InstancesKeepTheirOwnState) {
    instance other("lintog729");
    ASSERT_TRUE(other);
    // Interleave two paths over different material; each must match its own reference.
    const std::vector<uint8_t> ra = reference(2000, 5);
    const std::vector<uint8_t> rb = reference(9000, 5);
    for (size_t k = 0; k < 5; ++k) {
        ASSERT_EQ(feed(2000 + 80 * k, 80), 0);
        ASSERT_EQ(feed(9000 + 80 * k, 80, other), 0);
        EXPECT_EQ(read(enc_), std::vector<uint8_t>(ra.begin() + 10 * k, ra.begin() + 10 * k + 10))
            << k;
        EXPECT_EQ(read(other), std::vector<uint8_t>(rb.begin() + 10 * k, rb.begin() + 10 * k + 10))
            << k;
    }
}

}  // namespace
