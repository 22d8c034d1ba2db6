// Writing packet captures of G.729 calls: speech coded with the codec and sent over
// RTP/UDP/IPv4 on Ethernet the way a sender with discontinuous transmission sends it. Builds the
// bundled samples/call.pcap, and the captures the tests of `tarnel decode --pcap` need.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/rtp_streams.h"
#include "dsp/frame.h"

namespace tarnel::capture {

constexpr int kSlotSamples = 2 * kFrame;  // one packet: 20 ms, two speech frames
constexpr int64_t kSlotMicroseconds = 20000;

// A SID frame describing quiet, smooth background noise (about -56 dBFS once decoded), which
// is what a quiet office sounds like to a telephone.
extern const std::array<uint8_t, 2> kQuietSid;

struct ipv4_endpoint {
    std::array<uint8_t, 4> address{};
    uint16_t port = 0;
};

struct rtp_packet {
    int64_t time_us = 0;  // capture time
    bool marker = false;
    uint8_t payload_type = static_cast<uint8_t>(kG729PayloadType);
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    std::vector<uint8_t> payload;
};

// One direction of a call.
struct rtp_leg {
    ipv4_endpoint source;
    ipv4_endpoint destination;
    uint32_t ssrc = 0;
    std::vector<rtp_packet> packets;
};

// Codes `audio` (160 samples per entry of `talking`, zero-padded if short) with the codec and
// packetises it as a discontinuous-transmission sender would: two speech frames per packet in
// each slot where `talking` is set, the first packet of a talk spurt marked; in the first
// silent slot after speech one speech frame then a SID frame; then a lone SID frame every
// `sid_interval` slots (also from the first slot if the leg starts silent), nothing between.
// Slot i has RTP timestamp first_timestamp + 160 i and capture time start_us + 20 ms i.
std::vector<rtp_packet> dtx_packets(const std::vector<int16_t>& audio,
                                    const std::vector<bool>& talking, int sid_interval,
                                    uint16_t first_sequence, uint32_t first_timestamp,
                                    int64_t start_us);

// The legs' packets merged by capture time into a classic pcap file of Ethernet frames.
// False, with *error naming the file, when it cannot be written.
bool write_capture(const std::string& path, const std::vector<rtp_leg>& legs, std::string* error);

// The bundled call, 9 s long, cut from the bundled speech recording (at least 14.4 s of it):
// the caller says its first sentence and falls silent; after a pause the callee answers with
// its third sentence. Each side sends SID frames while the other talks.
std::vector<rtp_leg> sample_call(const std::vector<int16_t>& speech);

}  // namespace tarnel::capture
