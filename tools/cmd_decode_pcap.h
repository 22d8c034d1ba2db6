// tarnel decode --pcap and --rtp-stream: the G.729 calls of a packet capture, or the RTP
// packets of a recorded TCP stream, decoded through the module.
#pragma once

#include <string>
#include <vector>

#include "tools/command.h"

namespace tarnel::tool {

// True when the arguments ask for a capture or an RTP stream rather than a G.729 file.
bool is_capture_decode(const std::vector<std::string>& args);

// `tarnel decode` for captures and RTP streams, with the subcommand's arguments.
int run_decode_capture(context& ctx, const std::vector<std::string>& args);

}  // namespace tarnel::tool
