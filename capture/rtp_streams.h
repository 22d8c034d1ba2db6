// RTP streams found in a capture, and the playout plan that puts each stream's G.729 payloads
// back on the call's timeline.
//
// Sequencing, per stream (source, destination, SSRC), in capture order:
//  - sequence numbers are extended past the 16-bit wrap relative to the highest one seen;
//  - a sequence number seen before is a duplicate and dropped;
//  - the reorder window is counted in sequence numbers: a packet is played once `window` newer
//    ones have arrived, so a packet arriving `window` or more behind the highest is too late and
//    dropped (its slot has already been filled). Counting packets rather than capture time keeps
//    the result independent of where and how precisely the capture was timestamped; the default
//    of 16 (320 ms at 20 ms per packet) is longer than a phone would wait, so what is dropped
//    here a listener lost as well;
//  - a sequence number far away from the stream (more than 3000 ahead or 100 behind) is
//    accepted only when the next packet follows it, as after a sender restart; a lone one is a
//    stray and dropped, so one forged packet cannot derail the stream;
//  - packets of the same SSRC with another payload type (telephone events, say) take part in
//    the sequence accounting, so their numbers are not reported lost, but carry no audio.
//    RTCP multiplexed on the port is recognised and ignored.
//
// Timeline: audio starts at the stream's first played packet. Between two played packets the
// RTP timestamps (8 kHz) tell how much time passed; what the payloads do not cover is a gap:
//  - after a payload that ends in a SID frame, the sender is in a silent period (and any packet
//    lost in it carried at most a noise update). A listener hears the background noise go on,
//    so the gap is comfort noise: the last SID frame decoded again every 10 ms, which keeps
//    the noise at the level and colour the sender last described, with no seam.
//  - after speech with packets missing, the gap is missing speech (kMissing). Frames that never
//    reached the listener (lost in the network, too late, or cut off by the capture's snapshot
//    length) are that one kind of event whatever the cause, so that the decoding side decides
//    in one place what a listener hears for them (silence, or concealment).
//  - after speech with no packet missing, the sender simply paused without a noise
//    description, and silence is what it asked for.
// A timestamp that goes backwards or jumps beyond max_gap_seconds is a sender discontinuity;
// the gap is then taken from the capture times instead, clamped to the same limit.
//
// The stream's payloads are also checked for being G.729 at all (payload_verdict): lengths
// that cover more time than the timestamps advance, lengths G.729 never has, or speech frames
// failing the parity check that every G.729 encoder sets.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_reader.h"
#include "dsp/frame.h"

namespace tarnel::capture {

// The static payload type of G.729. Its RTP clock runs at the sample rate, so timestamps count
// samples.
constexpr int kG729PayloadType = 18;

struct rtp_packet_view {
    bool marker = false;
    uint8_t payload_type = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    const uint8_t* payload = nullptr;  // points into the parsed buffer
    std::size_t payload_size = 0;      // padding removed
};

enum class rtp_parse_result { kOk, kTooShort, kBadVersion, kBadHeader, kBadPadding, kRtcp };

// Parses the fixed header, CSRC list, header extension and padding of one UDP payload.
rtp_parse_result parse_rtp(const uint8_t* data, std::size_t size, rtp_packet_view* out);

// What a G.729 payload holds: `speech` 10-byte frames, then optionally a 2-byte SID frame.
// Any other length is not a G.729 payload (well_formed false, no frames counted).
struct g729_payload_shape {
    bool well_formed = false;
    std::size_t speech_frames = 0;
    bool sid = false;
    uint32_t samples() const {
        return well_formed ? static_cast<uint32_t>((speech_frames + (sid ? 1 : 0)) * kFrame) : 0;
    }
};
g729_payload_shape classify_g729_payload(std::size_t size);

struct rtp_stream_key {
    ip_endpoint source;
    ip_endpoint destination;
    uint32_t ssrc = 0;
};
bool operator<(const rtp_stream_key& a, const rtp_stream_key& b);
bool operator==(const rtp_stream_key& a, const rtp_stream_key& b);

// "10.0.0.1:4000 -> 10.0.0.2:5000 ssrc 0x1a2b3c4d"
std::string stream_description(const rtp_stream_key& key);
// "10.0.0.1_4000-10.0.0.2_5000_ssrc1a2b3c4d"; IPv6 colons become dots so the name is portable.
std::string stream_label(const rtp_stream_key& key);
// stream_label(key) + ".wav"
std::string stream_file_name(const rtp_stream_key& key);

struct playout_event {
    enum class type {
        kPayload,       // decode `bytes` (one RTP payload) as one frame for the translator
        kComfortNoise,  // decode `bytes` (a 2-byte SID frame) ceil(samples / 80) times
        kSilence,       // `samples` zero samples: the sender paused, or its clock jumped
        kMissing,       // `samples` of speech that did not arrive (see `reason`)
    };
    enum class cause {
        kNone,           // payloads
        kPause,          // the sender sent nothing and no packet is missing
        kLoss,           // packets are missing (lost in the network or arrived too late)
        kDiscontinuity,  // the timestamps jumped; the length comes from the capture times
        kCut,            // the packet was captured, but cut short by the snapshot length
    };
    type kind = type::kPayload;
    cause reason = cause::kNone;
    uint64_t offset = 0;     // first output sample of this event, from the stream's start
    uint64_t samples = 0;    // output samples this event accounts for; the caller trims the
                             // last comfort-noise frame to this, and fills a refused payload's
                             // share with silence
    uint32_t timestamp = 0;  // RTP timestamp of the event's first sample
    uint16_t sequence = 0;   // payloads and cut packets: the packet's sequence number
    uint64_t missing_packets = 0;  // gaps: sequence numbers missing just before the next payload
    std::vector<uint8_t> bytes;
};

// Whether a stream's payloads can be G.729 at all. A stream labelled G.729 that is encrypted
// (SRTP) or carries another codec would otherwise decode to a stretched recording of noise.
struct payload_verdict {
    bool g729 = true;
    std::string reason;  // when not: what gave it away, and what the stream probably is
};

struct rtp_stream_stats {
    uint64_t packets = 0;  // packets of the payload type, duplicates and late ones included
    uint64_t played = 0;   // packets placed on the timeline
    uint64_t lost = 0;     // sequence numbers never seen between the first and last played
    uint64_t duplicated = 0;
    uint64_t late = 0;                   // arrived after their slot was played (out of the window)
    uint64_t stray = 0;                  // far off the stream's numbering and not followed up
    uint64_t reordered = 0;              // arrived out of order but in time, and played
    uint64_t cut = 0;                    // captured, but cut short by the snapshot length
    uint64_t other_payload_packets = 0;  // same SSRC, other payload type (not decoded)
    uint64_t speech_frames = 0;          // in played payloads
    uint64_t sid_frames = 0;  // played payloads whose length is 2 more than a multiple of 10
    uint64_t malformed_payloads = 0;  // played payloads of no G.729 length
    uint64_t timestamp_jumps = 0;
    uint64_t comfort_noise_samples = 0;
    uint64_t silence_samples = 0;
    uint64_t missing_samples = 0;  // lost, late or cut speech
    uint64_t samples = 0;          // length of the timeline
    bool capped = false;           // gaps were cut to respect max_stream_seconds
    uint32_t first_timestamp = 0;
    uint32_t last_timestamp = 0;
    int64_t first_time_us = 0;  // capture time of the first played packet
    int64_t last_time_us = 0;
    double jitter_ms = 0;       // interarrival jitter (RFC 3550, A.8) at the last packet
    double max_jitter_ms = 0;   // its highest value over the stream
    double largest_gap_ms = 0;  // longest wait between two packets' arrivals
    payload_verdict verdict;
    double duration_seconds() const { return static_cast<double>(samples) / kSampleRate; }
    // Every packet that carried speech was cut, so nothing but SID frames is left.
    bool speech_all_cut() const { return cut > 0 && speech_frames == 0; }
};

struct rtp_stream {
    rtp_stream_key key;
    int payload_type = kG729PayloadType;
    rtp_stream_stats stats;
    std::vector<playout_event> plan;  // in timeline order, contiguous offsets from 0
};

// An RTP stream that is not decoded: no packet of the payload type, or another SSRC than the
// one asked for. Listed so the caller can say what the capture does hold.
struct other_rtp_stream {
    rtp_stream_key key;
    uint64_t packets = 0;
    std::vector<uint8_t> payload_types;  // ascending
    int64_t first_time_us = 0;
};

struct rtp_options {
    int payload_type = kG729PayloadType;
    std::optional<uint32_t> ssrc;         // decode only this SSRC
    uint32_t reorder_window = 16;         // packets; at least 1
    uint32_t max_gap_seconds = 3600;      // a single gap longer than this is a discontinuity
    uint32_t max_stream_seconds = 86400;  // gaps stop growing the timeline past this
    bool keep_payloads = true;            // false: figures only, the plan's events carry no bytes
};

// One stream's packets in capture order, sequenced as they arrive; finish() plans the stream.
// Memory: a few dozen bytes per packet plus its payload.
class rtp_stream_builder {
public:
    rtp_stream_builder(const rtp_stream_key& key, int payload_type, const rtp_options& options);
    ~rtp_stream_builder();
    rtp_stream_builder(rtp_stream_builder&&) noexcept;
    rtp_stream_builder& operator=(rtp_stream_builder&&) noexcept;

    // A packet of this stream's SSRC (any payload type) and the datagram that carried it.
    void add(const rtp_packet_view& packet, const udp_datagram& datagram);
    // A packet whose payload the capture cut short: `payload_size` is what the sender sent.
    void add_cut(const rtp_packet_view& packet, std::size_t payload_size,
                 const udp_datagram& datagram);

    const rtp_stream_key& key() const;
    int payload_type() const;
    uint64_t decodable_packets() const;  // of the payload type
    int64_t first_time_us() const;       // of any packet
    int64_t last_time_us() const;        // of any packet

    // True, with *out filled and the builder emptied, when the stream has packets of the
    // payload type; otherwise fills *other.
    bool finish(rtp_stream* out, other_rtp_stream* other);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

struct rtp_scan_result {
    std::vector<rtp_stream> streams;              // in order of first appearance
    std::vector<other_rtp_stream> other_streams;  // in order of first appearance
    uint64_t rtp_packets = 0;                     // UDP datagrams that parsed as RTP
    uint64_t non_rtp_datagrams = 0;
};

// What an RTP header in a UDP datagram says, for the datagrams the capture cut short too: a
// cut datagram is RTP when its whole header survived. False for anything else.
bool parse_rtp_datagram(const udp_datagram& datagram, rtp_packet_view* out);

// Collects RTP packets from UDP datagrams fed in capture order, then plans each stream.
class rtp_stream_collector {
public:
    explicit rtp_stream_collector(const rtp_options& options = rtp_options());
    ~rtp_stream_collector();
    rtp_stream_collector(const rtp_stream_collector&) = delete;
    rtp_stream_collector& operator=(const rtp_stream_collector&) = delete;

    void add(const udp_datagram& datagram);
    rtp_scan_result finish();

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace tarnel::capture
