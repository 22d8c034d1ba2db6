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

#include "codec/encoder.h"
#include "support/host_test_support.h"
#include "support/test_support.h"

using host_test::LoadedModule;

namespace {

constexpr int kEncoders = 32;
constexpr int kDecoders = 32;
constexpr int kThreads = 8;
constexpr size_t kStreamSamples = 3 * 8000;  // three seconds per call

const std::vector<int16_t>& speech() {
    static const std::vector<int16_t> pcm = tarnel_test::load_speech_sample();
    return pcm;
}

const std::vector<uint8_t>& speech_frames() {
    static const std::vector<uint8_t> bits = [] {
        tarnel::g729_encoder_state st;
        tarnel::g729_encoder_init(&st);
        std::vector<uint8_t> out;
        for (size_t i = 0; i + 80 <= speech().size(); i += 80) {
            uint8_t frame[10];
            int len = 0;
            tarnel::g729_encode_frame(&st, &speech()[i], frame, &len);
            out.insert(out.end(), frame, frame + 10);
        }
        return out;
    }();
    return bits;
}

// One call's input: a run of host frames, each handed to the instance and followed by a read.
struct Stream {
    const char* translator;
    std::vector<std::vector<uint8_t>> frames;  // linear samples (as bytes) or G.729 payloads
};

// Encoder calls: different stretches of speech, in host frames of a size that differs per call
// (80 to 400 samples, some not a multiple of a codec frame).
Stream encoder_stream(int k) {
    Stream s{"lintog729", {}};
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
Stream decoder_stream(int k) {
    Stream s{"g729tolin", {}};
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
struct Output {
    std::vector<int> results;
    std::vector<uint8_t> bytes;
    bool operator==(const Output& o) const { return results == o.results && bytes == o.bytes; }
};

hvn_frame input_frame(const Stream& s, std::vector<uint8_t>& data) {
    hvn_frame f{};
    f.frametype = HVN_FRAME_VOICE;
    f.data = data.data();
    f.datalen = static_cast<int>(data.size());
    if (std::strcmp(s.translator, "lintog729") == 0) {
        f.format = hvn_format_slin;
        f.samples = static_cast<int>(data.size() / 2);
    } else {
        f.format = hvn_format_g729;
        f.samples = static_cast<int>(data.size() / 10 * 80);
    }
    f.src = "concurrency";
    return f;
}

// A call in progress: one instance and how far through its stream it is.
class Call {
public:
    explicit Call(const Stream& s) : stream_(&s), pvt_(hvn_trans_instance_new(s.translator)) {}
    ~Call() {
        if (pvt_) hvn_trans_instance_destroy(pvt_);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    bool ok() const { return pvt_ != nullptr; }
    bool done() const { return next_ >= stream_->frames.size(); }
    // Hands on the next host frame and reads what comes back.
    void step() {
        std::vector<uint8_t> data = stream_->frames[next_++];
        hvn_frame in = input_frame(*stream_, data);
        out_.results.push_back(hvn_trans_instance_feed(pvt_, &in));
        if (hvn_frame* f = hvn_trans_instance_read(pvt_)) {
            const auto* p = static_cast<const uint8_t*>(f->data);
            out_.bytes.insert(out_.bytes.end(), p, p + f->datalen);
        }
    }
    const Output& output() const { return out_; }

private:
    const Stream* stream_;
    hvn_trans_pvt* pvt_;
    size_t next_ = 0;
    Output out_;
};

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.get(), nullptr) << module_.error();
        for (int k = 0; k < kEncoders; ++k) streams_.push_back(encoder_stream(k));
        for (int k = 0; k < kDecoders; ++k) streams_.push_back(decoder_stream(k));
    }

    // Each stream alone, one after the other, each on a new instance.
    std::vector<Output> run_one_at_a_time() {
        std::vector<Output> outputs;
        for (const Stream& s : streams_) {
            Call call(s);
            EXPECT_TRUE(call.ok()) << s.translator;
            if (!call.ok()) return {};
            while (!call.done()) call.step();
            outputs.push_back(call.output());
        }
        return outputs;
    }

    LoadedModule module_;
    std::vector<Stream> streams_;
};

TEST_F(Concurrency, StreamsAreLongEnoughToOverlap) {
    // Both kinds of call, each producing output from its very first host frames.
    const std::vector<Output> alone = run_one_at_a_time();
    ASSERT_EQ(alone.size(), static_cast<size_t>(kEncoders + kDecoders));
    for (int k = 0; k < kEncoders; ++k) EXPECT_EQ(alone[k].bytes.size(), kStreamSamples / 80 * 10);
    for (int k = kEncoders; k < kEncoders + kDecoders; ++k) EXPECT_GE(alone[k].bytes.size(), kStreamSamples * 2);
    // Distinct streams, or a mix-up between calls could go unnoticed.
    for (size_t i = 1; i < alone.size(); ++i) EXPECT_FALSE(alone[i] == alone[i - 1]) << "stream " << i;
}

TEST_F(Concurrency, SixtyFourCallsOnEightThreadsMatchTheCallsRunAlone) {
    const std::vector<Output> alone = run_one_at_a_time();
    ASSERT_EQ(alone.size(), streams_.size());

    // Thread t carries calls t, t + 8, t + 16, ...: four encoders and four decoders each,
    // stepping them in turn, so every thread runs both directions and all threads run at once.
    std::vector<Output> together(streams_.size());
    std::atomic<int> ready{0};
    std::atomic<bool> failed{false};
    auto channel_thread = [&](int t) {
        std::vector<std::unique_ptr<Call>> calls;
        for (size_t i = static_cast<size_t>(t); i < streams_.size(); i += kThreads)
            calls.push_back(std::make_unique<Call>(streams_[i]));
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
        for (size_t j = 0; j < calls.size(); ++j) together[static_cast<size_t>(t) + j * kThreads] = calls[j]->output();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(channel_thread, t);
    for (std::thread& th : threads) th.join();
    ASSERT_FALSE(failed) << "an instance could not be created";

    for (size_t i = 0; i < streams_.size(); ++i) {
        EXPECT_EQ(together[i].results, alone[i].results) << streams_[i].translator << " call " << i;
        EXPECT_TRUE(together[i].bytes == alone[i].bytes) << streams_[i].translator << " call " << i
                                                         << " sounds different when other calls run";
    }
    EXPECT_EQ(hvn_module_instance_count(module_.get()), 0);
}

}  // namespace
