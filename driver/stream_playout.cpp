#include "driver/stream_playout.h"

#include <algorithm>

namespace tarnel::driver {
namespace {

// The decoded samples of one event, cut or zero-filled to the event's share of the timeline so
// that everything after it stays where the timestamps put it.
void append_fitted(std::vector<int16_t>& out, const std::vector<int16_t>& decoded,
                   uint64_t samples) {
    const size_t keep = static_cast<size_t>(std::min<uint64_t>(decoded.size(), samples));
    out.insert(out.end(), decoded.begin(), decoded.begin() + static_cast<long>(keep));
    out.resize(out.size() + static_cast<size_t>(samples - keep), 0);
}

}  // namespace

stream_audio decode_stream_plan(const capture::rtp_stream& stream, translator_instance& decoder,
                                host_log& log) {
    using event_type = capture::playout_event::type;
    stream_audio result;
    result.samples.reserve(static_cast<size_t>(stream.stats.samples));
    std::vector<int16_t> decoded;
    for (const capture::playout_event& e : stream.plan) {
        decoded.clear();
        switch (e.kind) {
        case event_type::kPayload:
            log.take();
            if (decoder.decode(e.bytes.data(), e.bytes.size(), &decoded)) {
                result.rows.add_payload(e.bytes.data(), e.bytes.size());
                append_fitted(result.samples, decoded, e.samples);
            } else {
                // A refusal may come after some units were decoded; those are dropped too, so
                // that the payload is wholly absent rather than half there.
                ++result.refused;
                result.refusals.push_back("payload seq " + std::to_string(e.sequence) + " (" +
                                          std::to_string(e.bytes.size()) +
                                          " bytes, RTP timestamp " + std::to_string(e.timestamp) +
                                          "): " + log.take());
                append_fitted(result.samples, {}, e.samples);
            }
            break;
        case event_type::kComfortNoise: {
            const uint64_t frames = (e.samples + kFrame - 1) / kFrame;
            for (uint64_t i = 0; i < frames; ++i)
                if (!decoder.decode(e.bytes.data(), e.bytes.size(), &decoded)) break;
            log.take();
            append_fitted(result.samples, decoded, e.samples);
            break;
        }
        case event_type::kSilence:
            append_fitted(result.samples, {}, e.samples);
            break;
        }
    }
    return result;
}

}  // namespace tarnel::driver
