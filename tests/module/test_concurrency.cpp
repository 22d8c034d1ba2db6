// Many calls at once: the host drives each translator instance from whichever channel thread
// carries that call, so instances of one module run side by side on different threads. Any
// state the module kept outside its instances (a static scratch buffer, a cached table built
// on first use, a shared counter) would make one call's audio depend on another's. Here 32
// encoder and 32 decoder instances run from 8 threads at once and must give, byte for byte,
// what each stream gives when run alone. Under ThreadSanitizer (make test-tsan) the same run
// also proves there is no data race at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "support/host_test_support.h"
#include "support/test_support.h"

using namespace tarnel::test;

namespace {

constexpr int kEncoders = 32;
constexpr int kDecoders = 32;
constexpr int kThreads = 8;
constexpr size_t kStreamSamples = 3 * tarnel::kSampleRate;  // three seconds per call

const std::vector<int16_t>& speech() {
    static const std::vector<int16_t> pcm = load_speech_sample();
    return pcm;
}

const std::vector<uint8_t>& speech_frames() {
    static const std::vector<uint8_t> bits =
        encode_reference(speech().data(), speech().size() / 80);
    return bits;
}

// One call's input: a run of host frames, each handed to the instance and followed by a read.
struct stream {
    const char* translator;
    std::vector<std::vector<uint8_t>> frames;  // linear samples (as bytes) or G.729 payloads
};

// Encoder calls: different stretches of speech, in host frames of a size that differs per call
// (80 to 400 samples, some not a multiple of a codec frame).
stream encoder_stream(int k) {
    stream s{"lintog729", {}};
    const size_t start = (static_cast<size_t>(k) * 4001) % (speech().size() - kStreamSamples);
    const size_t chunk = 80 + static_cast<size_t>(k) * 10;
    for (size_t at = 0; at < kStreamSamples; at += chunk) {
        const size_t n = std::min(chunk, kStreamSamples - at);
        const auto* p = reinterpret_cast<const uint8_t*>(&speech()[start + at]);
        s.frames.emplace_back(p, p + 2 * n);
    }
    return s;
}

// Decoder calls: different stretches of coded speech, 1 to 6 frames per payload, and in every
// other call a SID frame ending some of the payloads.
stream decoder_stream(int k) {
    stream s{"g729tolin", {}};
    const size_t frames = speech_frames().size() / 10;
    size_t f = (static_cast<size_t>(k) * 53) % (frames - kStreamSamples / 80);
    const size_t end = f + kStreamSamples / 80;
    int n = 0;
    while (f < end) {
        const size_t per_payload = 1 + static_cast<size_t>((k + n) % 6);
        const size_t take = std::min(per_payload, end - f);
        std::vector<uint8_t> payload(&speech_frames()[10 * f], &speech_frames()[10 * (f + take)]);
        if (k % 2 == 1 && n % 7 == 3) {
            payload.push_back(static_cast<uint8_t>(0x40 + k));
            payload.push_back(static_cast<uint8_t>(0x20 + n));
        }
        s.frames.push_back(std::move(payload));
        f += take;
        ++n;
    }
    return s;
}

// Everything a call hands back: frame-in results and the bytes of every frame read.
struct call_output {
    std::vector<int> results;
    std::vector<uint8_t> bytes;
    bool operator==(const call_output& o) const { return results == o.results && bytes == o.bytes; }
};

// A call in progress: one instance and how far through its stream it is.
class call {
public:
    explicit call(const stream& s) : stream_(&s), pvt_(s.translator) {}

    bool ok() const { return static_cast<bool>(pvt_); }
    bool done() const { return next_ >= stream_->frames.size(); }
    // Hands on the next host frame and reads what comes back.
    void step() {
        std::vector<uint8_t> data = stream_->frames[next_++];
        const int n = static_cast<int>(data.size());
        const bool linear = std::strcmp(stream_->translator, "lintog729") == 0;
        out_.results.push_back(pvt_.feed(
            linear ? voice_frame(hvn_format_slin, data.data(), n, n / 2) : g729_frame(data)));
        if (const hvn_frame* f = pvt_.read()) {
            const std::vector<uint8_t> bytes = payload_of<uint8_t>(f);
            out_.bytes.insert(out_.bytes.end(), bytes.begin(), bytes.end());
        }
    }
    const call_output& output() const { return out_; }

private:
    const stream* stream_;
    instance pvt_;
    size_t next_ = 0;
    call_output out_;
};

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.get(), nullptr) << module_.error();
        for (int k = 0; k < kEncoders; ++k) streams_.push_back(encoder_stream(k));
        for (int k = 0; k < kDecoders; ++k) streams_.push_back(decoder_stream(k));
    }

    // Each stream alone, one after the other, each on a new instance.
    std::vector<call_output> run_one_at_a_time() {
        std::vector<call_output> outputs;
        for (const stream& s : streams_) {
            call c(s);
            EXPECT_TRUE(c.ok()) << s.translator;
            if (!c.ok()) return {};
            while (!c.done()) c.step();
            outputs.push_back(c.output());
        }
        return outputs;
    }

    loaded_module module_;
    std::vector<stream> streams_;
};

TEST_F(Concurrency, SixtyFourCallsOnEightThreadsMatchTheCallsRunAlone) {
    const std::vector<call_output> alone = run_one_at_a_time();
    ASSERT_EQ(alone.size(), streams_.size());
    // Both kinds of call produce output from their very first host frames, so the calls overlap,
    // and every stream differs from the next, so a mix-up between calls shows.
    for (int k = 0; k < kEncoders; ++k) EXPECT_EQ(alone[k].bytes.size(), kStreamSamples / 80 * 10);
    for (int k = kEncoders; k < kEncoders + kDecoders; ++k)
        EXPECT_GE(alone[k].bytes.size(), kStreamSamples * 2);
    for (size_t i = 1; i < alone.size(); ++i)
        EXPECT_FALSE(alone[i] == alone[i - 1]) << "stream " << i;

    // Thread t carries calls t, t + 8, t + 16, ...: four encoders and four decoders each,
    // stepping them in turn, so every thread runs both directions and all threads run at once.
    std::vector<call_output> together(streams_.size());
    std::atomic<int> ready{0};
    std::atomic<bool> failed{false};
    auto channel_thread = [&](int t) {
        std::vector<std::unique_ptr<call>> calls;
        for (size_t i = static_cast<size_t>(t); i < streams_.size(); i += kThreads)
            calls.push_back(std::make_unique<call>(streams_[i]));
        for (const auto& c : calls)
            if (!c->ok()) failed = true;
        // Start the media only when every thread has its calls, so that they really overlap.
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        bool more = true;
        while (more && !failed) {
            more = false;
            for (const auto& c : calls) {
                if (c->done()) continue;
                c->step();
                more = true;
            }
        }
        for (size_t j = 0; j < calls.size(); ++j)
            together[static_cast<size_t>(t) + j * kThreads] = calls[j]->output();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(channel_thread, t);
    for (std::thread& th : threads) th.join();
    ASSERT_FALSE(failed) << "an instance could not be created";

    for (size_t i = 0; i < streams_.size(); ++i) {
        EXPECT_EQ(together[i].results, alone[i].results) << streams_[i].translator << " call " << i;
        EXPECT_TRUE(together[i].bytes == alone[i].bytes)
            << streams_[i].translator << " call " << i << " sounds different when other calls run";
    }
    EXPECT_EQ(hvn_module_instance_count(module_.get()), 0);
}

// The host asks for a translator's sample frame from whichever channel thread tries a path, so
// many threads call it at once: each must get the frame stamped with the current format, and
// under ThreadSanitizer the calls must not race on the frame.
TEST(ConcurrentSamples, EveryThreadGetsTheFrameWithTheCurrentFormat) {
    loaded_module mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    hvn_translator* const translators[2] = {hvn_translator_find("lintog729"),
                                            hvn_translator_find("g729tolin")};
    ASSERT_TRUE(translators[0] && translators[1]);
    const hvn_format* const formats[2] = {hvn_format_slin, hvn_format_g729};
    std::atomic<int> ready{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int i = 0; i < 2000; ++i) {
                const int k = (t + i) % 2;
                if (translators[k]->sample()->format != formats[k]) ++wrong;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
