// g729tolin through the host: payload units, SID frames, invalid remainders, the output limit,
// and the host's default frame-out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/host_test_support.h"
#include "support/test_support.h"

using namespace tarnel::test;

namespace {

using unit_list = std::vector<std::vector<uint8_t>>;

// A SID frame: spectrum indices 0, 18 and 8, energy index 27.
const std::vector<uint8_t> kSid = {0x4a, 0x36};
constexpr int kSidUnit = -1;  // in a list of speech frame numbers, the SID frame

class DecoderTranslator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.get(), nullptr) << module_.error();
        ASSERT_TRUE(dec_) << "no g729tolin instance";
        // 120 consecutive speech frames coded from the recording.
        const std::vector<int16_t> speech = load_speech_sample();
        ASSERT_GE(speech.size(), 20000u + 120 * 80);
        coded_ = encode_reference(speech.data() + 20000, 120);
    }

    // The units named by speech frame numbers (kSidUnit for the SID frame).
    unit_list units(const std::vector<int>& numbers) const {
        unit_list list;
        for (int k : numbers) {
            const auto frame = coded_.begin() + 10 * k;
            list.push_back(k == kSidUnit ? kSid : std::vector<uint8_t>(frame, frame + 10));
        }
        return list;
    }
    unit_list frames(int first, int count) const {
        std::vector<int> numbers;
        for (int k = first; k < first + count; ++k) numbers.push_back(k);
        return units(numbers);
    }
    static std::vector<uint8_t> joined(const unit_list& list) {
        std::vector<uint8_t> bytes;
        for (const auto& u : list) bytes.insert(bytes.end(), u.begin(), u.end());
        return bytes;
    }

    // Hands the payload to the instance in a frame whose sample count is wrong on purpose: the
    // decoder goes by the byte length alone.
    int feed(std::vector<uint8_t> payload, const instance& to) {
        payloads_.push_back(std::move(payload));
        hvn_frame f = g729_frame(payloads_.back());
        f.samples = 7;
        return to.feed(f);
    }
    int feed(const unit_list& list) { return feed(joined(list), dec_); }

    static std::vector<int16_t> waiting(const instance& in) {
        return std::vector<int16_t>(in->outbuf.i16, in->outbuf.i16 + in->samples);
    }

    loaded_module module_;
    instance dec_{"g729tolin"};
    std::vector<uint8_t> coded_;
    unit_list payloads_;
};

// ---- Payload units -----------------------------------------------------------------------

// Every 10-byte unit is a speech frame and a final 2-byte one a SID frame, each decoded into 80
// samples at once, with one decoder state across the payloads of the call.
TEST_F(DecoderTranslator, PayloadsDecodeUnitByUnit) {
    const std::vector<std::vector<std::vector<int>>> calls = {
        {{0, 1}},
        {{0, kSidUnit}},
        {{kSidUnit}},
        {{0, 1, 2, 3, 4, 5, kSidUnit}},
        {{0, 1, 2}, {3}, {kSidUnit}, {4, 5}},
        {{}},
    };
    for (const auto& call : calls) {
        instance dec("g729tolin");
        log_capture log;
        unit_list all;
        for (const auto& payload : call) {
            const unit_list list = units(payload);
            EXPECT_EQ(feed(joined(list), dec), 0);
            all.insert(all.end(), list.begin(), list.end());
        }
        SCOPED_TRACE(::testing::Message()
                     << all.size() << " units in " << call.size() << " payloads");
        EXPECT_EQ(dec->samples, static_cast<int>(80 * all.size()));
        EXPECT_EQ(dec->datalen, 2 * dec->samples);
        EXPECT_EQ(waiting(dec), decode_reference(all));
        EXPECT_TRUE(log.lines().empty());
        if (all.empty()) {
            EXPECT_EQ(dec.read(), nullptr);
        }
    }
}

// ---- Invalid remainders ------------------------------------------------------------------

// A remainder of 1 or 3 to 9 bytes is refused with its length. The units before it stay decoded
// and advance the state; nothing else does.
TEST_F(DecoderTranslator, InvalidRemaindersAreRefusedWithTheirLength) {
    struct refusal {
        std::vector<uint8_t> payload;
        int remainder;
        size_t decoded;  // units decoded before the refusal
    };
    // A SID frame only ever ends a payload: one in front is read as the start of a speech frame.
    std::vector<uint8_t> leading_sid = joined(units({kSidUnit, 0}));
    leading_sid.push_back(0x01);
    std::vector<refusal> cases = {
        {joined(units({0, kSidUnit, kSidUnit})), 4, 1},
        {joined(units({kSidUnit, kSidUnit})), 4, 0},
        {leading_sid, 3, 1},
    };
    for (int extra : {1, 3, 4, 5, 6, 7, 8, 9}) {
        std::vector<uint8_t> payload = joined(frames(0, 2));
        payload.resize(payload.size() + static_cast<size_t>(extra), 0x33);
        cases.push_back({payload, extra, 2});
    }
    for (size_t alone : {1, 3, 9})
        cases.push_back({std::vector<uint8_t>(alone, 0x11), static_cast<int>(alone), 0});

    for (const refusal& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.payload.size() << " bytes");
        instance dec("g729tolin");
        log_capture log;
        EXPECT_EQ(feed(c.payload, dec), -1);
        expect_one_warning(log, "g729tolin_framein",
                           "Invalid data (" + std::to_string(c.remainder) + " bytes at the end)\n");
        unit_list decoded;
        for (size_t k = 0; k < c.decoded; ++k)
            decoded.emplace_back(c.payload.begin() + 10 * k, c.payload.begin() + 10 * k + 10);
        EXPECT_EQ(dec->samples, static_cast<int>(80 * c.decoded));
        EXPECT_EQ(dec->datalen, 2 * dec->samples);
        ASSERT_EQ(feed(joined(frames(0, 2)), dec), 0);
        const unit_list more = frames(0, 2);
        decoded.insert(decoded.end(), more.begin(), more.end());
        EXPECT_EQ(waiting(dec), decode_reference(decoded));
    }
}

// ---- Output limit ------------------------------------------------------------------------

// A unit is decoded only while its 80 samples still fit in the 8000-sample output buffer; a
// refused one leaves the decoder state as the units before it left it.
TEST_F(DecoderTranslator, OutputBufferHoldsOneHundredFrames) {
    const struct {
        int before;  // speech frames waiting
        std::vector<int> payload;
        int result;
    } cases[] = {
        {0, {}, -1},
        {99, {99}, 0},
        {100, {100}, -1},
        {100, {kSidUnit}, -1},
    };
    const unit_list overlong = frames(0, 101);
    const std::vector<int16_t> reference = decode_reference(frames(0, 102));
    for (const auto& c : cases) {
        instance dec("g729tolin");
        const unit_list first = c.before ? frames(0, c.before) : overlong;
        SCOPED_TRACE(::testing::Message() << first.size() << " frames, then " << c.payload.size());
        log_capture log;
        const int first_result = feed(joined(first), dec);
        if (!c.payload.empty()) {
            EXPECT_EQ(first_result, 0);
            EXPECT_EQ(feed(joined(units(c.payload)), dec), c.result);
        } else {
            EXPECT_EQ(first_result, c.result);
        }
        if (c.result == 0) {
            EXPECT_TRUE(log.lines().empty());
        } else {
            expect_one_warning(log, "g729tolin_framein", "Out of buffer space\n");
        }
        EXPECT_EQ(dec->samples, 8000);
        EXPECT_EQ(dec->datalen, 16000);
        EXPECT_EQ(waiting(dec), std::vector<int16_t>(reference.begin(), reference.begin() + 8000));

        ASSERT_NE(dec.read(), nullptr);
        ASSERT_EQ(feed(joined(frames(100, 2)), dec), 0);
        EXPECT_EQ(waiting(dec), std::vector<int16_t>(reference.end() - 160, reference.end()));
    }
}

// ---- Default frame-out -------------------------------------------------------------------

TEST_F(DecoderTranslator, DefaultFrameOutHandsOnAllThenTheBufferFillsAgain) {
    ASSERT_EQ(feed(frames(0, 100)), 0);
    const std::vector<int16_t> expected = waiting(dec_);
    const hvn_frame* out = dec_.read();
    ASSERT_NO_FATAL_FAILURE(expect_voice_frame(out, hvn_format_slin, 8000, 16000, "g729tolin"));
    EXPECT_EQ(payload_of<int16_t>(out), expected);
    EXPECT_EQ(dec_->samples, 0);
    EXPECT_EQ(dec_->datalen, 0);
    EXPECT_EQ(dec_.read(), nullptr);

    ASSERT_EQ(feed(frames(100, 2)), 0);
    EXPECT_EQ(dec_->samples, 160);
    const std::vector<int16_t> all = decode_reference(frames(0, 102));
    EXPECT_EQ(waiting(dec_), std::vector<int16_t>(all.end() - 160, all.end()));
}

}  // namespace
