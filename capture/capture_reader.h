// Reading UDP datagrams out of a packet capture (pcap or pcapng).
//
// Link layers: Ethernet (with any number of 802.1Q / 802.1ad tags), Linux cooked v1 and v2,
// raw IP, and BSD loopback. Network layers: IPv4 (options skipped) and IPv6 (extension headers
// walked). IP fragments are not reassembled: a fragmented datagram is counted and skipped,
// since speech packets are far below any path MTU and a reassembler is attack surface for
// nothing. Every length read from a frame is checked against the bytes actually captured.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tarnel::capture {

struct ip_endpoint {
    uint8_t family = 0;               // 4 or 6
    std::array<uint8_t, 16> address{}; // IPv4 uses the first 4 bytes
    uint16_t port = 0;

    std::string address_string() const;  // "10.0.0.1", "2001:db8::1"
    std::string to_string() const;        // "10.0.0.1:4000", "[2001:db8::1]:4000"
};

bool operator==(const ip_endpoint& a, const ip_endpoint& b);
bool operator!=(const ip_endpoint& a, const ip_endpoint& b);
bool operator<(const ip_endpoint& a, const ip_endpoint& b);

// One UDP datagram as found in the capture. The payload points into the capture library's
// buffer and is valid only during the callback that receives it.
struct udp_datagram {
    uint64_t frame_number = 0;  // 1-based position in the capture
    int64_t time_us = 0;        // capture time, microseconds since the epoch
    ip_endpoint source;
    ip_endpoint destination;
    const uint8_t* payload = nullptr;
    std::size_t payload_size = 0;
};

enum class frame_parse_result {
    kUdp,        // a complete UDP datagram was found
    kNotUdp,     // well formed, but not IP, or IP carrying something else
    kFragment,   // an IP fragment (not reassembled)
    kCutShort,   // headers claim more bytes than were captured (snapshot length)
    kMalformed,  // inconsistent headers
};

// Decodes one captured frame of the given link type (a DLT_ value as reported by the capture
// library). On kUdp, fills every field of *out except frame_number and time_us.
frame_parse_result parse_captured_frame(int link_type, const uint8_t* data, std::size_t size,
                                        udp_datagram* out);

bool link_type_supported(int link_type);

struct capture_summary {
    int link_type = -1;
    uint64_t frames = 0;          // records read from the file
    uint64_t udp_datagrams = 0;   // handed to the callback
    uint64_t not_udp = 0;
    uint64_t fragments = 0;
    uint64_t cut_short = 0;
    uint64_t malformed = 0;
    bool truncated = false;       // the file ended or failed in the middle of a record
    std::string warning;          // set when truncated: what happened and how much was read
};

using udp_datagram_sink = std::function<void(const udp_datagram&)>;

// Reads the whole capture, calling `sink` for each UDP datagram in file order. Returns false
// (with *error set) when the file cannot be opened or its link type is not supported; a
// capture that breaks off mid-file still returns true, with summary->truncated and a warning.
bool read_capture(const std::string& path, const udp_datagram_sink& sink,
                  capture_summary* summary, std::string* error);

}  // namespace tarnel::capture
