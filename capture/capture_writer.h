// Writing packet captures of G.729 calls: speech coded with the codec and sent over
// RTP/UDP/IPv4 the way a sender with discontinuous transmission sends it, with the SIP
// signalling that sets a call up, laid out the way capture tools lay them out: classic pcap or
// pcapng (interfaces of different link types, several sections), packets cut to a snapshot
// length, datagrams split into IP fragments. Builds the bundled samples/call.pcap, the large
// captures the speed measurements use, and the captures the tests of `tarnel decode --pcap`
// need.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
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

// One UDP datagram to be written, on the capture's interface `interface`.
struct udp_record {
    int64_t time_us = 0;
    ipv4_endpoint source;
    ipv4_endpoint destination;
    std::vector<uint8_t> payload;
    std::size_t interface = 0;
};

// How the file is laid out.
struct capture_layout {
    bool pcapng = false;
    // The interfaces' link types (kLinkEthernet or kLinkLinuxSll); a classic pcap has one.
    std::vector<int> link_types = {kLinkEthernet};
    uint32_t snap_length = 0;          // frames are cut to this many bytes; 0 keeps them whole
    std::size_t fragment_payload = 0;  // IP payloads longer than this go in fragments of this
                                       // many bytes (a multiple of 8); 0 never fragments
    // pcapng: how many sections the records are spread over, each with its own header and
    // interfaces, as concatenating captures yields.
    int sections = 1;
};

// Writes records one at a time, in the order given (capture order).
class capture_file_writer {
public:
    capture_file_writer() = default;
    ~capture_file_writer();
    capture_file_writer(const capture_file_writer&) = delete;
    capture_file_writer& operator=(const capture_file_writer&) = delete;

    // False, with *error naming the file, when it cannot be created.
    bool open(const std::string& path, const capture_layout& layout, std::string* error);
    // pcapng: starts a new section (header and interfaces again).
    void new_section();
    void write(const udp_record& record);
    // The same with the IP identification given (fragments of one datagram share it).
    void write(const udp_record& record, uint16_t ip_id);
    // False, with *error, when anything could not be written.
    bool close(std::string* error);

private:
    void put(const std::vector<uint8_t>& bytes);
    void write_frame(const udp_record& record, const std::vector<uint8_t>& ip_packet);
    std::FILE* file_ = nullptr;
    std::string path_;
    capture_layout layout_;
    bool failed_ = false;
    uint16_t next_ip_id_ = 0x1000;
};

// The legs' packets as UDP records (RTP over UDP), merged by capture time; a leg's packets
// stay in their order at equal times.
std::vector<udp_record> rtp_records(const std::vector<rtp_leg>& legs);

// The records written with the layout. False, with *error naming the file, on failure.
bool write_records(const std::string& path, const std::vector<udp_record>& records,
                   const capture_layout& layout, std::string* error);

// The legs' packets merged by capture time into a classic pcap file of Ethernet frames.
// False, with *error naming the file, when it cannot be written.
bool write_capture(const std::string& path, const std::vector<rtp_leg>& legs, std::string* error);

// A call's SIP signalling over UDP, as two phones exchange it: INVITE with an SDP offer,
// 100 Trying, 180 Ringing, 200 OK with the SDP answer, ACK, and at the end BYE and its 200 OK.
// Each side's SDP names its media address and maps `payload_type` to G729/8000.
struct sip_call {
    std::string call_id;
    std::string caller_uri = "sip:alice@example.com";
    std::string callee_uri = "sip:bob@example.net";
    ipv4_endpoint caller_signalling;
    ipv4_endpoint callee_signalling;
    ipv4_endpoint caller_media;
    ipv4_endpoint callee_media;
    int payload_type = 18;
    int64_t invite_us = 0;
    int64_t answer_us = 0;
    int64_t bye_us = 0;
};
std::vector<udp_record> sip_records(const sip_call& call);

// `count` simultaneous two-way calls of `seconds` each, with their SIP signalling, written
// in capture order without holding the whole capture in memory: every call carries the same
// coded conversation (each side talks half the time, SID frames while it listens) under its
// own addresses, SSRCs and Call-ID. Made for measuring speed and memory on large captures.
bool write_many_calls(const std::string& path, const std::vector<int16_t>& speech, int count,
                      int seconds, const capture_layout& layout, std::string* error);

// The bundled call, 9 s long, cut from the bundled speech recording (at least 14.4 s of it):
// the caller says its first sentence and falls silent; after a pause the callee answers with
// its third sentence. Each side sends SID frames while the other talks.
std::vector<rtp_leg> sample_call(const std::vector<int16_t>& speech);

}  // namespace tarnel::capture
