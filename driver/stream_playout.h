// One RTP stream of a capture decoded on its call timeline through a g729tolin instance.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/rtp_streams.h"
#include "driver/module_session.h"
#include "driver/row_census.h"
#include "driver/translator_instance.h"

namespace tarnel::driver {

struct stream_audio {
    std::vector<int16_t> samples;       // exactly the plan's length
    uint64_t refused = 0;               // payloads the translator refused (silence in their place)
    std::vector<std::string> refusals;  // "payload seq 7 (11 bytes, RTP timestamp 960): <why>"
    row_census rows;                    // over the payloads decoded
};

// Plays one stream's plan through `decoder` (a fresh g729tolin instance): a payload is one host
// frame; comfort noise re-feeds the last SID frame every 10 ms; silence and refused payloads
// are zeros of their share of the timeline. `log` supplies the translator's reasons.
stream_audio decode_stream_plan(const capture::rtp_stream& stream, translator_instance& decoder,
                                host_log& log);

}  // namespace tarnel::driver
