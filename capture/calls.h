// RTP streams grouped into calls, in one pass over a capture.
//
// A call is what a listener wants to hear: both directions of one conversation. Where the
// capture holds the SIP signalling (an INVITE and its answer with SDP, over UDP on any port),
// a call is its Call-ID: each side's SDP says where that side receives audio, so a stream sent
// to one side's address is the other side speaking, and the payload type that a=rtpmap maps to
// G729/8000 is what that stream's G.729 is labelled with. Streams with no signalling are paired
// by their addresses: A:a -> B:b and B:b -> A:a are one call.
//
// Channels: the caller (the INVITE's sender) is channel 0, the callee channel 1; without
// signalling, the side that sent first is channel 0.
//
// Memory is bounded by the calls in progress, not by the capture's length: a call ends once
// its BYE (or CANCEL, or a failure answering its INVITE) is seen and its streams have fallen
// quiet for a moment, or when every stream has been silent for idle_seconds of capture time;
// it is then planned and handed over, and forgotten.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_reader.h"
#include "capture/rtp_streams.h"

namespace tarnel::capture {

struct call_stream {
    rtp_stream stream;
    int channel = 0;  // 0 or 1
};

struct call_record {
    uint64_t number = 0;     // 1-based, in order of the calls' first packet
    bool signalled = false;  // found in SIP signalling
    std::string call_id;     // these three when signalled
    std::string from;
    std::string to;
    ip_endpoint side[2];               // each channel's media address (where it receives), if known
    int64_t start_us = 0;              // capture time of the first packet, signalling included
    std::vector<call_stream> streams;  // G.729 streams, in order of first appearance
    std::vector<other_rtp_stream> other_streams;  // RTP of other payload types in the call
    // The capture time of the earliest first played packet of the streams: channel audio is
    // placed on the call's timeline from there. 0 without streams.
    int64_t audio_start_us() const;
};

struct call_options {
    rtp_options rtp;
    bool payload_type_given = false;          // rtp.payload_type overrides what the signalling says
    int64_t idle_us = 60 * 1000000LL;         // a call whose streams are silent this long has ended
    int64_t hangup_grace_us = 2 * 1000000LL;  // after a BYE, for the last packets in flight
};

struct call_tracker_stats {
    uint64_t sip_messages = 0;
    uint64_t rtp_packets = 0;
    uint64_t non_rtp_datagrams = 0;
    uint64_t calls = 0;
    std::size_t most_calls_in_progress = 0;
};

using call_sink = std::function<void(call_record&&)>;

class call_tracker {
public:
    call_tracker(const call_options& options, call_sink sink);
    ~call_tracker();
    call_tracker(const call_tracker&) = delete;
    call_tracker& operator=(const call_tracker&) = delete;

    void add(const udp_datagram& datagram);
    // The end of the capture: every call in progress ends.
    void finish();

    const call_tracker_stats& stats() const;
    std::size_t calls_in_progress() const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// A name for the call's files: its Call-ID made safe for any file system, or without one its
// first stream's endpoints and the UTC start time ("10.0.0.1_4000-10.0.0.2_5000_20231114-221320").
std::string call_label(const call_record& call);

// "2023-11-14 22:13:20.123" (UTC), from microseconds since the epoch.
std::string utc_time_text(int64_t time_us);

}  // namespace tarnel::capture
