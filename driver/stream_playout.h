// RTP streams of a capture decoded on their call timelines through g729tolin instances, and a
// call's streams placed side by side on its two channels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/calls.h"
#include "capture/rtp_streams.h"
#include "driver/module_session.h"
#include "driver/row_census.h"
#include "driver/translator_instance.h"

namespace tarnel::driver {

// What a listener hears for speech frames that did not arrive: the codec's concealment, which
// carries the last speech on and fades it out as a telephone would, or silence, which marks the
// loss plainly (and is what a module of another build gets, whose state the driver cannot reach).
enum class missing_frame_policy { kConceal, kSilence };

struct stream_audio {
    std::vector<int16_t> samples;       // exactly the plan's length
    uint64_t refused = 0;               // payloads the translator refused (silence in their place)
    std::vector<std::string> refusals;  // "payload seq 7 (11 bytes, RTP timestamp 960): <why>"
    uint64_t missing_frames = 0;        // frames played for speech that did not arrive
    uint64_t concealed_frames = 0;      // of those, made by concealment rather than silence
    row_census rows;                    // over the payloads decoded
};

// Plays one stream's plan through `decoder` (a fresh g729tolin instance): a payload is one host
// frame; comfort noise re-feeds the last SID frame every 10 ms; silence and refused payloads
// are zeros of their share of the timeline; missing speech is handled per `missing`. `log`
// supplies the translator's reasons; several streams may be decoded at once on different
// threads with the same log.
stream_audio decode_stream_plan(const capture::rtp_stream& stream, translator_instance& decoder,
                                host_log& log,
                                missing_frame_policy missing = missing_frame_policy::kConceal);

// One stream's decoded audio and where its first sample belongs on the capture's clock.
struct placed_audio {
    const std::vector<int16_t>* samples = nullptr;
    int64_t start_us = 0;
    int channel = 0;  // 0 or 1
};

// How far into a call a part may start: beyond this, its capture times are not to be believed
// (a damaged capture, a clock stepped by an hour), and placing it would only fill memory with
// silence.
constexpr int64_t kMaxCallStartOffsetUs = 3600LL * 1000000;

// The call's two channels interleaved (left = channel 0), on the capture's clock from the
// earliest part's start: a side that starts late begins with silence, and the shorter side is
// padded to the end of the call. Parts of one channel that overlap (an SSRC change without a
// pause) are mixed. A part starting more than kMaxCallStartOffsetUs after the earliest is
// placed at that offset, and *displaced (if given) counts such parts.
std::vector<int16_t> place_on_call(const std::vector<placed_audio>& parts,
                                   size_t* displaced = nullptr);

}  // namespace tarnel::driver
