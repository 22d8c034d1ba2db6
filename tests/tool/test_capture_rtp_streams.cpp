// RTP headers, and the streams and playout plans built from datagrams in capture order.
#include <algorithm>
#include <string>
#include <vector>

#include "capture/rtp_streams.h"
#include "tool/capture_builders.h"

using namespace tarnel::capture;
using namespace tarnel::test;

namespace {

constexpr uint32_t kSsrc = 0x1a2b3c4d;

// One RTP packet of a call, with `size` bytes of payload that name the packet, so that the
// plan's order can be checked.
struct pkt {
    uint16_t seq;
    uint32_t ts;
    size_t size = 20;
    uint8_t pt = 18;
    uint32_t ssrc = kSsrc;
    bool reverse = false;  // the other direction of the call
};

// n packets of two speech frames each, 20 ms apart.
std::vector<pkt> talk(uint16_t seq, uint32_t ts, int n, size_t size = 20) {
    std::vector<pkt> out;
    for (int i = 0; i < n; ++i)
        out.push_back({static_cast<uint16_t>(seq + i), ts + 160u * static_cast<uint32_t>(i), size});
    return out;
}

std::vector<pkt> operator+(std::vector<pkt> a, const std::vector<pkt>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void expect_contiguous(const rtp_stream& s) {
    uint64_t at = 0;
    for (const playout_event& e : s.plan) {
        EXPECT_EQ(at, e.offset);
        at += e.samples;
    }
    EXPECT_EQ(at, s.stats.samples);
}

// The packets as datagrams arriving 20 ms apart in vector order, collected and planned.
rtp_scan_result collect(const std::vector<pkt>& pkts, const rtp_options& options = rtp_options()) {
    rtp_stream_collector collector(options);
    for (size_t i = 0; i < pkts.size(); ++i) {
        const pkt& p = pkts[i];
        bytes payload(p.size, 0x55);
        if (p.size >= 2) tarnel::media::put_be16(payload.data(), p.seq);
        const bytes data = rtp(p.seq, p.ts, p.ssrc, p.pt, payload);
        udp_datagram d;
        d.source = p.reverse ? endpoint(2, 5000) : endpoint(1, 4000);
        d.destination = p.reverse ? endpoint(1, 4000) : endpoint(2, 5000);
        d.time_us = 1700000000000000 + 20000 * static_cast<int64_t>(i);
        d.payload = data.data();
        d.payload_size = data.size();
        collector.add(d);
    }
    rtp_scan_result r = collector.finish();
    for (const rtp_stream& s : r.streams) expect_contiguous(s);
    return r;
}

// The one stream the packets make.
rtp_stream stream_of(const std::vector<pkt>& pkts, const rtp_options& options = rtp_options()) {
    rtp_scan_result r = collect(pkts, options);
    EXPECT_EQ(1u, r.streams.size());
    return r.streams.empty() ? rtp_stream() : r.streams[0];
}

std::vector<uint16_t> played_sequence(const rtp_stream& s) {
    std::vector<uint16_t> seqs;
    for (const playout_event& e : s.plan)
        if (e.kind == playout_event::type::kPayload) {
            seqs.push_back(e.sequence);
            EXPECT_EQ(e.sequence, tarnel::media::be16(e.bytes.data())) << "payload moved";
        }
    return seqs;
}

std::vector<playout_event> gaps(const rtp_stream& s) {
    std::vector<playout_event> out;
    for (const playout_event& e : s.plan)
        if (e.kind != playout_event::type::kPayload) out.push_back(e);
    return out;
}

}  // namespace

// ---- headers and names ---------------------------------------------------------------------

TEST(RtpHeader, CsrcExtensionAndPaddingAreSkipped) {
    bytes p = rtp(7, 9, kSsrc, 18, bytes(20, 1));
    p[0] = 0x80 | 0x20 | 0x10 | 2;  // padding, extension, two CSRCs
    p.insert(p.begin() + 12, 8, 0xCC);
    const bytes ext = {0xBE, 0xDE, 0, 1, 9, 9, 9, 9};
    p.insert(p.begin() + 20, ext.begin(), ext.end());
    p.insert(p.end(), {0, 0, 3});
    rtp_packet_view v;
    ASSERT_EQ(rtp_parse_result::kOk, parse_rtp(p.data(), p.size(), &v));
    EXPECT_EQ(7, v.sequence);
    EXPECT_EQ(20u, v.payload_size);
    EXPECT_EQ(p.data() + 28, v.payload);
}

TEST(RtpHeader, InconsistentHeadersAreRefused) {
    const bytes base = rtp(1, 1, 1, 18, bytes(4, 0));
    const struct {
        uint8_t first;    // version, padding, extension, CSRC count
        uint8_t last;     // the padding count when padding is set
        uint8_t ext_len;  // the extension's length in words, when there is one
        size_t size;
        rtp_parse_result expected;
    } cases[] = {
        {0x80, 0, 0, 11, rtp_parse_result::kTooShort},
        {0x40, 0, 0, 16, rtp_parse_result::kBadVersion},
        {0x82, 0, 0, 16, rtp_parse_result::kBadHeader},  // two CSRCs in 4 bytes
        {0x90, 0, 1, 16, rtp_parse_result::kBadHeader},  // extension of 4 more bytes than there are
        {0xA0, 5, 0, 16, rtp_parse_result::kBadPadding},
        {0xA0, 0, 0, 16, rtp_parse_result::kBadPadding},
        {0xA0, 4, 0, 16, rtp_parse_result::kOk},  // a payload of padding alone
    };
    for (const auto& c : cases) {
        bytes p = base;
        p[0] = c.first;
        p[15] = c.last ? c.last : c.ext_len;
        rtp_packet_view v;
        EXPECT_EQ(c.expected, parse_rtp(p.data(), c.size, &v)) << int(c.first) << " " << c.size;
    }
    const bytes report = rtp(1, 1, 1, 200, bytes(4, 0));  // a sender report sharing the port
    rtp_packet_view v;
    EXPECT_EQ(rtp_parse_result::kRtcp, parse_rtp(report.data(), report.size(), &v));
}

TEST(RtpHeader, PayloadShapes) {
    const struct {
        size_t size;
        bool ok;
        size_t speech;
        bool sid;
        uint32_t samples;
    } cases[] = {{0, false, 0, false, 0},  {2, true, 0, true, 80},  {10, true, 1, false, 80},
                 {22, true, 2, true, 240}, {5, false, 0, false, 0}, {14, false, 0, false, 0}};
    for (const auto& c : cases) {
        const g729_payload_shape s = classify_g729_payload(c.size);
        EXPECT_EQ(c.ok, s.well_formed) << c.size;
        EXPECT_EQ(c.speech, s.speech_frames) << c.size;
        EXPECT_EQ(c.sid, s.sid) << c.size;
        EXPECT_EQ(c.samples, s.samples()) << c.size;
    }
}

TEST(StreamNames, LabelsAreFileNames) {
    rtp_stream_key k{endpoint(1, 4000), endpoint(2, 5000), kSsrc};
    EXPECT_EQ("10.0.0.1_4000-10.0.0.2_5000_ssrc1a2b3c4d.wav", stream_file_name(k));
    EXPECT_EQ("10.0.0.1:4000 -> 10.0.0.2:5000 ssrc 0x1a2b3c4d", stream_description(k));
    k.source.family = 6;
    k.source.address = {0x20, 0x01, 0x0d, 0xb8};
    k.source.address[15] = 1;
    EXPECT_EQ("2001.db8..1_4000-10.0.0.2_5000_ssrc1a2b3c4d", stream_label(k));
    EXPECT_EQ("[2001:db8::1]:4000", k.source.to_string());
}

// ---- sequencing and timeline ---------------------------------------------------------------

TEST(RtpStreams, InOrderStreamIsContiguous) {
    const rtp_stream s = stream_of(talk(1, 1000, 50));
    const rtp_stream_stats& st = s.stats;
    EXPECT_EQ(50u, st.packets);
    EXPECT_EQ(0u, st.lost + st.duplicated + st.late + st.reordered);
    EXPECT_EQ(100u, st.speech_frames);
    EXPECT_DOUBLE_EQ(1.0, st.duration_seconds());
    EXPECT_EQ(1000u, st.first_timestamp);
    EXPECT_EQ(1000u + 49 * 160, st.last_timestamp);
    EXPECT_TRUE(gaps(s).empty());
}

TEST(RtpStreams, LostSpeechIsMissingForTheMissingLength) {
    std::vector<pkt> call = talk(1, 0, 10);
    call.erase(call.begin() + 4, call.begin() + 6);
    const rtp_stream s = stream_of(call);
    EXPECT_EQ(2u, s.stats.lost);
    EXPECT_EQ(1600u, s.stats.samples);
    const auto g = gaps(s);
    ASSERT_EQ(1u, g.size());
    EXPECT_EQ(playout_event::type::kMissing, g[0].kind);
    EXPECT_EQ(playout_event::cause::kLoss, g[0].reason);
    EXPECT_EQ(2u, g[0].missing_packets);
    EXPECT_EQ(640u, g[0].offset);
    EXPECT_EQ(320u, g[0].samples);
}

TEST(RtpStreams, DuplicatesAreDroppedWhereverTheyArrive) {
    std::vector<pkt> call = talk(1, 0, 30);
    call.insert(call.begin() + 3, call[2]);  // back to back
    call.push_back(call[5]);                 // long after, out of the window too
    const rtp_stream s = stream_of(call);
    EXPECT_EQ(32u, s.stats.packets);
    EXPECT_EQ(2u, s.stats.duplicated);
    EXPECT_EQ(0u, s.stats.late);
    EXPECT_EQ(30u, s.stats.played);
}

TEST(RtpStreams, APacketBehindByLessThanTheWindowIsPlayedInOrderAndOneBeyondIsLate) {
    const struct {
        uint32_t window;  // 0: the default
        int behind;       // newer packets that arrive before it
        bool late;
    } cases[] = {{4, 3, false}, {4, 4, true}, {0, 15, false}, {0, 16, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.window) + " " + std::to_string(c.behind));
        std::vector<pkt> call = talk(1, 0, 20);
        std::rotate(call.begin() + 2, call.begin() + 3, call.begin() + 3 + c.behind);
        rtp_options options;
        if (c.window) options.reorder_window = c.window;
        const rtp_stream s = stream_of(call, options);
        EXPECT_EQ(c.late ? 0u : 1u, s.stats.reordered);
        EXPECT_EQ(c.late ? 1u : 0u, s.stats.late);
        EXPECT_EQ(0u, s.stats.lost);
        std::vector<uint16_t> expected;
        for (uint16_t seq = 1; seq <= 20; ++seq)
            if (seq != 3 || !c.late) expected.push_back(seq);
        EXPECT_EQ(expected, played_sequence(s));
        const auto g = gaps(s);
        ASSERT_EQ(c.late ? 1u : 0u, g.size());
        for (const playout_event& e : g)
            EXPECT_TRUE(e.reason == playout_event::cause::kLoss && e.samples == 160);
    }
}

TEST(RtpStreams, SilentPeriodAfterSidIsComfortNoise) {
    std::vector<pkt> call = talk(1, 0, 4);
    call.push_back({5, 640, 22});           // speech, then the SID that opens a silence
    call.push_back({6, 880 + 1600, 2});     // a noise update 200 ms later
    call = call + talk(7, 2560 + 8000, 5);  // talk resumes 1 s later
    call.push_back({12, 11360, 2});
    call = call + talk(14, 11440 + 4000, 2);  // the update in between (13) is lost
    const rtp_stream s = stream_of(call);
    EXPECT_EQ(3u, s.stats.sid_frames);
    EXPECT_EQ(1u, s.stats.lost);
    const auto g = gaps(s);
    ASSERT_EQ(3u, g.size());
    const struct {
        playout_event::cause reason;
        uint64_t samples;
        bytes sid;
    } want[] = {{playout_event::cause::kPause, 1600, {0x55, 0x55}},
                {playout_event::cause::kPause, 8000, {0, 6}},  // the newest description is re-fed
                {playout_event::cause::kLoss, 4000, {0, 12}}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(playout_event::type::kComfortNoise, g[i].kind) << i;
        EXPECT_EQ(want[i].reason, g[i].reason) << i;
        EXPECT_EQ(want[i].samples, g[i].samples) << i;
        EXPECT_EQ(want[i].sid, g[i].bytes) << i;
    }
    EXPECT_EQ(13600u, s.stats.comfort_noise_samples);
    EXPECT_EQ(0u, s.stats.silence_samples);
    EXPECT_EQ(15440u + 320, s.stats.samples);
}

TEST(RtpStreams, PauseWithoutSidIsSilence) {
    const auto g = gaps(stream_of(talk(1, 0, 3) + talk(4, 480 + 2400, 3)));
    ASSERT_EQ(1u, g.size());
    EXPECT_EQ(playout_event::type::kSilence, g[0].kind);
    EXPECT_EQ(playout_event::cause::kPause, g[0].reason);
    EXPECT_EQ(2400u, g[0].samples);
}

TEST(RtpStreams, TwoStreamsAndTheSsrcFilter) {
    std::vector<pkt> call;
    for (const pkt& p : talk(500, 0, 10)) {
        call.push_back(p);
        call.push_back({static_cast<uint16_t>(p.seq + 1000), p.ts, 20, 18, 0xCAFE, true});
    }
    const rtp_scan_result r = collect(call);
    ASSERT_EQ(2u, r.streams.size());
    EXPECT_EQ("10.0.0.1_4000-10.0.0.2_5000_ssrc1a2b3c4d", stream_label(r.streams[0].key));
    EXPECT_EQ("10.0.0.2_5000-10.0.0.1_4000_ssrc0000cafe", stream_label(r.streams[1].key));
    for (const rtp_stream& s : r.streams) EXPECT_EQ(10u, s.stats.played);

    rtp_options only;
    only.ssrc = 0xCAFE;
    const rtp_scan_result one = collect(call, only);
    ASSERT_EQ(1u, one.streams.size());
    EXPECT_EQ(0xCAFEu, one.streams[0].key.ssrc);
    EXPECT_EQ(1u, one.other_streams.size());
}

TEST(RtpStreams, SequenceAndTimestampWrapAround) {
    std::vector<pkt> call = talk(65530, 0xFFFFFFFFu - 500, 12);
    std::swap(call[5], call[6]);  // 65535 arrives after 0
    call.erase(call.begin() + 8);
    const rtp_stream s = stream_of(call);
    EXPECT_EQ((std::vector<uint16_t>{65530, 65531, 65532, 65533, 65534, 65535, 0, 1, 3, 4, 5}),
              played_sequence(s));
    EXPECT_EQ(1u, s.stats.lost);
    EXPECT_EQ(0u, s.stats.timestamp_jumps);
    EXPECT_EQ(12u * 160, s.stats.samples);
}

TEST(RtpStreams, OtherPayloadTypesShareTheNumbering) {
    std::vector<pkt> call = talk(1, 0, 4) + talk(5, 640, 3, 4) + talk(8, 1120, 4);
    for (size_t i = 4; i < 7; ++i) call[i].pt = 101;  // telephone events
    call.push_back(call.back());
    call.back().pt = 200;  // RTCP on the same port
    const rtp_stream s = stream_of(call);
    EXPECT_EQ(0u, s.stats.lost);
    EXPECT_EQ(3u, s.stats.other_payload_packets);
    EXPECT_EQ(8u, s.stats.played);
    EXPECT_EQ(0u, s.stats.duplicated);

    rtp_options dynamic;
    dynamic.payload_type = 101;
    EXPECT_EQ(3u, stream_of(call, dynamic).stats.played);
}

TEST(RtpStreams, StreamsOfOtherPayloadTypesAndOtherDatagramsAreCountedApart) {
    std::vector<pkt> pcmu = talk(1, 0, 4, 160);
    for (pkt& p : pcmu) p.pt = 0;
    const rtp_scan_result r = collect(pcmu);
    EXPECT_TRUE(r.streams.empty());
    ASSERT_EQ(1u, r.other_streams.size());
    EXPECT_EQ(bytes{0}, r.other_streams[0].payload_types);
    EXPECT_EQ(4u, r.other_streams[0].packets);

    rtp_stream_collector collector;
    const bytes dns(30, 0x12);
    udp_datagram d;
    d.payload = dns.data();
    d.payload_size = dns.size();
    collector.add(d);
    EXPECT_EQ(1u, collector.finish().non_rtp_datagrams);
}

TEST(RtpStreams, TimestampJumpsFallBackToCaptureTime) {
    // Backwards by a second, then forward by two days; packets keep arriving every 20 ms.
    const rtp_stream s = stream_of(talk(1, 100000, 3) + talk(4, 92000, 3) + talk(7, 1400000000, 3));
    EXPECT_EQ(2u, s.stats.timestamp_jumps);
    EXPECT_EQ(9u * 160, s.stats.samples);  // the capture clock shows no pause
    EXPECT_TRUE(gaps(s).empty());
}

TEST(RtpStreams, StrayPacketIsDroppedAndRenumberingFollowed) {
    std::vector<pkt> call = talk(10, 0, 4);
    call.insert(call.begin() + 2, pkt{40000, 0, 20});  // one forged packet
    call = call + talk(20000, 640, 4);                 // sender restarts its numbering
    const rtp_stream s = stream_of(call);
    EXPECT_EQ(1u, s.stats.stray);
    EXPECT_EQ(0u, s.stats.lost);
    EXPECT_EQ(8u, s.stats.played);
    EXPECT_EQ(8u * 160, s.stats.samples);
}

TEST(RtpStreams, AJumpOfTheLargestDropoutIsLossNotARestart) {
    const rtp_stream s = stream_of(talk(1, 0, 2) + talk(3002, 3001 * 160, 2));
    EXPECT_EQ(2999u, s.stats.lost);
    EXPECT_EQ(0u, s.stats.stray);
}

TEST(RtpStreams, GapsAreBoundedByTheStreamLimit) {
    rtp_options options;
    options.max_gap_seconds = 10;
    options.max_stream_seconds = 5;
    const rtp_stream s = stream_of(talk(1, 0, 2) + talk(3, 320 + 8000 * 8, 2), options);
    EXPECT_TRUE(s.stats.capped);
    EXPECT_EQ(5u * 8000 + 320, s.stats.samples);
}
