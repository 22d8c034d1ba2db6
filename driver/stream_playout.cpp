#include "driver/stream_playout.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace tarnel::driver {
namespace {

// The host log is one for the process: a payload that may be refused is fed, and the reason
// read back, by one thread at a time, so that each refusal is told with its own reason.
std::mutex refusal_lock;

// The decoded samples of one event, cut or zero-filled to the event's share of the timeline so
// that everything after it stays where the timestamps put it.
void append_fitted(std::vector<int16_t>& out, const std::vector<int16_t>& decoded,
                   uint64_t samples) {
    const size_t keep = static_cast<size_t>(std::min<uint64_t>(decoded.size(), samples));
    out.insert(out.end(), decoded.begin(), decoded.begin() + static_cast<long>(keep));
    out.resize(out.size() + static_cast<size_t>(samples - keep), 0);
}

// The one place that decides what missing speech sounds like.
void play_missing(std::vector<int16_t>& out, uint64_t samples, missing_frame_policy policy,
                  translator_instance& decoder, stream_audio& result) {
    const uint64_t frames = (samples + kFrame - 1) / kFrame;
    result.missing_frames += frames;
    std::vector<int16_t> made;
    if (policy == missing_frame_policy::kConceal) {
        for (uint64_t i = 0; i < frames; ++i)
            if (!decoder.conceal(&made)) break;
        result.concealed_frames += made.size() / kFrame;
    }
    append_fitted(out, made, samples);
}

}  // namespace

stream_audio decode_stream_plan(const capture::rtp_stream& stream, translator_instance& decoder,
                                host_log& log, missing_frame_policy missing) {
    using event_type = capture::playout_event::type;
    stream_audio result;
    result.samples.reserve(static_cast<size_t>(stream.stats.samples));
    std::vector<int16_t> decoded;
    for (const capture::playout_event& e : stream.plan) {
        decoded.clear();
        switch (e.kind) {
            case event_type::kPayload: {
                // Only a payload of no G.729 length is refused; its reason is read under the lock.
                const bool suspect = !capture::classify_g729_payload(e.bytes.size()).well_formed;
                std::unique_lock<std::mutex> guard(refusal_lock, std::defer_lock);
                if (suspect) {
                    guard.lock();
                    log.take();
                }
                if (decoder.decode(e.bytes.data(), e.bytes.size(), &decoded)) {
                    result.rows.add_payload(e.bytes.data(), e.bytes.size());
                    append_fitted(result.samples, decoded, e.samples);
                } else {
                    // A refusal may come after some units were decoded; those are dropped too, so
                    // that the payload is wholly absent rather than half there.
                    ++result.refused;
                    std::string why = suspect ? log.take() : std::string();
                    if (why.empty()) why = "refused by the decoder";
                    result.refusals.push_back("payload seq " + std::to_string(e.sequence) + " (" +
                                              std::to_string(e.bytes.size()) +
                                              " bytes, RTP timestamp " +
                                              std::to_string(e.timestamp) + "): " + why);
                    append_fitted(result.samples, {}, e.samples);
                }
                break;
            }
            case event_type::kComfortNoise: {
                const uint64_t frames = (e.samples + kFrame - 1) / kFrame;
                for (uint64_t i = 0; i < frames; ++i)
                    if (!decoder.decode(e.bytes.data(), e.bytes.size(), &decoded)) break;
                append_fitted(result.samples, decoded, e.samples);
                break;
            }
            case event_type::kSilence:
                append_fitted(result.samples, {}, e.samples);
                break;
            case event_type::kMissing:
                play_missing(result.samples, e.samples, missing, decoder, result);
                break;
        }
    }
    return result;
}

std::vector<int16_t> place_on_call(const std::vector<placed_audio>& parts, size_t* displaced) {
    if (displaced) *displaced = 0;
    if (parts.empty()) return {};
    int64_t start = parts.front().start_us;
    for (const placed_audio& p : parts) start = std::min(start, p.start_us);
    std::vector<uint64_t> offsets;
    uint64_t frames = 0;
    for (const placed_audio& p : parts) {
        // Computed in double: a damaged capture's times may be far apart.
        double late = static_cast<double>(p.start_us) - static_cast<double>(start);
        if (late > static_cast<double>(kMaxCallStartOffsetUs)) {
            late = static_cast<double>(kMaxCallStartOffsetUs);
            if (displaced) ++*displaced;
        }
        const double at = std::floor(late * kSampleRate / 1e6 + 0.5);
        offsets.push_back(static_cast<uint64_t>(at));
        frames = std::max<uint64_t>(frames, offsets.back() + p.samples->size());
    }
    std::vector<int16_t> out(static_cast<size_t>(frames) * 2, 0);
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::vector<int16_t>& s = *parts[i].samples;
        int16_t* to = out.data() + offsets[i] * 2 + (parts[i].channel ? 1 : 0);
        for (size_t k = 0; k < s.size(); ++k) {
            const int sum = to[2 * k] + s[k];
            to[2 * k] = static_cast<int16_t>(std::min(32767, std::max(-32768, sum)));
        }
    }
    return out;
}

}  // namespace tarnel::driver
