// `tarnel decode --pcap`: every G.729 stream of a capture decoded on its call timeline.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/row_census.h"
#include "tools/rtp_streams.h"
#include "tools/subcommand.h"
#include "tools/translation.h"

namespace tarnel_tool {

struct StreamAudio {
    std::vector<int16_t> samples;  // exactly the plan's length
    uint64_t refused = 0;          // payloads the translator refused (silence in their place)
    std::vector<std::string> refusals;  // "payload seq 7 (11 bytes, RTP timestamp 960): <why>"
    RowCensus rows;                // over the payloads decoded
};

// Plays one stream's plan through `decoder` (a fresh g729tolin instance): a payload is one host
// frame; comfort noise re-feeds the last SID frame every 10 ms; silence and refused payloads
// are zeros of their share of the timeline. `log` supplies the translator's reasons.
StreamAudio decode_stream_plan(const tarnel::rtp_stream& stream, TranslatorInstance& decoder,
                               HostLogCapture& log);

struct PcapDecodeRequest {
    std::string capture;
    std::string out;  // a folder, a file (one stream only) or "-"
    tarnel::rtp_options options;
    bool quiet = false;
};

// The whole subcommand once its arguments are checked; returns the exit code.
int run_pcap_decode(Context& ctx, const PcapDecodeRequest& request);

}  // namespace tarnel_tool
