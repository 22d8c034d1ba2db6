// Reading UDP datagrams out of a packet capture (pcap or pcapng).
//
// Files: classic pcap in either byte order with microsecond or nanosecond timestamps, and
// pcapng read block by block (section headers in either byte order, any number of sections,
// interfaces of different link types and timestamp resolutions; enhanced, simple and the
// obsolete packet blocks; blocks of other kinds skipped). The capture library is not used for
// reading: the one shipped with common distributions refuses pcapng files whose interfaces
// differ in link type, which is what capturing on several interfaces at once produces.
//
// Link layers: Ethernet (with any number of 802.1Q / 802.1ad tags), Linux cooked v1 and v2,
// raw IP, and BSD loopback. Network layers: IPv4 (options skipped) and IPv6 (extension headers
// walked); fragments are reassembled (ip_reassembly.h). Every length read from a frame is
// checked against the bytes actually captured.
//
// A packet cut by the capture's snapshot length is still delivered when its UDP header
// survived: its addresses, ports and the payload's true length are known, so the RTP layer can
// place it and say what the capture lost rather than what the network lost.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "capture/ip_reassembly.h"

namespace tarnel::capture {

// Link types as capture files record them.
constexpr int kLinkNull = 0;  // BSD loopback, family in the writer's byte order
constexpr int kLinkEthernet = 1;
constexpr int kLinkRaw = 101;   // raw IP (also 12 and 14 in files from some systems)
constexpr int kLinkLoop = 108;  // BSD loopback, family in network order
constexpr int kLinkLinuxSll = 113;
constexpr int kLinkIpv4 = 228;
constexpr int kLinkIpv6 = 229;
constexpr int kLinkLinuxSll2 = 276;

struct ip_endpoint {
    uint8_t family = 0;                 // 4 or 6
    std::array<uint8_t, 16> address{};  // IPv4 uses the first 4 bytes
    uint16_t port = 0;

    std::string address_string() const;  // "10.0.0.1", "2001:db8::1"
    std::string to_string() const;       // "10.0.0.1:4000", "[2001:db8::1]:4000"
};

bool operator==(const ip_endpoint& a, const ip_endpoint& b);
bool operator!=(const ip_endpoint& a, const ip_endpoint& b);
bool operator<(const ip_endpoint& a, const ip_endpoint& b);

// One UDP datagram as found in the capture. The payload points into the reader's buffer and is
// valid only during the callback that receives it.
struct udp_datagram {
    uint64_t frame_number = 0;  // 1-based position in the capture (the last piece, if reassembled)
    int64_t time_us = 0;        // capture time, microseconds since the epoch
    ip_endpoint source;
    ip_endpoint destination;
    const uint8_t* payload = nullptr;
    std::size_t payload_size = 0;   // bytes captured
    std::size_t original_size = 0;  // bytes sent, from the UDP header
    bool reassembled = false;       // put together from IP fragments
    bool cut() const { return payload_size < original_size; }
};

enum class frame_parse_result {
    kUdp,        // a UDP datagram was found (possibly cut short: see udp_datagram::cut)
    kNotUdp,     // well formed, but not IP, or IP carrying something else
    kFragment,   // an IP fragment: *fragment describes it
    kCutShort,   // the IP or UDP header itself is incomplete in the captured bytes
    kMalformed,  // inconsistent headers
};

// Decodes one captured frame of the given link type. `size` bytes were captured of a frame
// that was `original_size` long; bytes the headers claim beyond what was captured are a cut
// when the frame was longer than captured, and malformed otherwise. On kUdp fills every field
// of *out except frame_number and time_us; on kFragment fills *fragment when it is not null.
frame_parse_result parse_captured_frame(int link_type, const uint8_t* data, std::size_t size,
                                        std::size_t original_size, udp_datagram* out,
                                        ip_fragment* fragment = nullptr);
// The same for a frame captured whole.
inline frame_parse_result parse_captured_frame(int link_type, const uint8_t* data, std::size_t size,
                                               udp_datagram* out) {
    return parse_captured_frame(link_type, data, size, size, out);
}

// The UDP datagram that a reassembled IP payload holds (`protocol` as the fragments named it).
// The addresses come from the fragments' key.
frame_parse_result parse_reassembled(const fragment_key& key, const uint8_t* data, std::size_t size,
                                     udp_datagram* out);

bool link_type_supported(int link_type);
// "Ethernet", "Linux cooked v2", ..., or the number.
std::string link_type_name(int link_type);

struct capture_summary {
    bool pcapng = false;
    uint32_t sections = 0;        // pcapng section header blocks
    std::vector<int> link_types;  // of the interfaces seen, in order of first appearance
    uint32_t snap_length = 0;     // the smallest non-zero snapshot length of an interface, or
                                  // the longest cut frame when that is shorter (a file cut
                                  // afterwards keeps its original header)
    uint64_t frames = 0;          // packet records read from the file
    uint64_t udp_datagrams = 0;   // handed to the callback, reassembled ones included
    uint64_t not_udp = 0;
    uint64_t unsupported_link = 0;  // packets on interfaces of a link type not read
    uint64_t cut_datagrams = 0;     // UDP datagrams delivered with their payload cut short
    uint64_t cut_unplaced = 0;      // packets cut inside their IP or UDP header, and cut IP
                                    // fragments: nothing says which stream they belonged to
    uint64_t malformed = 0;
    reassembly_stats reassembly;
    bool truncated = false;  // the file ended or failed in the middle of a record
    std::string warning;     // set when truncated: what happened and how much was read
};

using udp_datagram_sink = std::function<void(const udp_datagram&)>;

struct read_options {
    reassembly_limits reassembly;
    // Called now and then with the bytes of the file consumed so far.
    std::function<void(uint64_t bytes)> progress;
};

// Reads the whole capture, calling `sink` for each UDP datagram in file order. Returns false
// (with *error set) when the file cannot be opened or is not a capture, or a classic pcap's
// link type is not supported; a capture that breaks off mid-file still returns true, with
// summary->truncated and a warning.
bool read_capture(const std::string& path, const udp_datagram_sink& sink, capture_summary* summary,
                  std::string* error, const read_options& options = read_options());

// The same from an open stream; `name` is the file's name for messages.
bool read_capture_stream(std::FILE* in, const std::string& name, const udp_datagram_sink& sink,
                         capture_summary* summary, std::string* error,
                         const read_options& options = read_options());

}  // namespace tarnel::capture
