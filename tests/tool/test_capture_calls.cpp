// SIP signalling read from datagrams, and RTP streams grouped into calls as a capture is read.
#include <string>
#include <vector>

#include "capture/calls.h"
#include "capture/sip_signalling.h"
#include "tool/capture_builders.h"

using namespace tarnel::capture;
using namespace tarnel::test;

namespace {

constexpr int64_t kT0 = 1700000000000000;

bytes as_bytes_of(const std::string& s) { return bytes(s.begin(), s.end()); }

std::string sip(const std::string& first, const std::string& call_id, const std::string& cseq,
                const std::string& sdp = "") {
    return first +
           "\r\nVia: SIP/2.0/UDP 10.0.0.1:5060\r\nFrom: \"A\" <sip:a@x>;tag=1\r\n"
           "t: <sip:b@y>\r\ni: " +
           call_id + "\r\nCSeq: " + cseq + "\r\n" + (sdp.empty() ? "" : "c: application/sdp\r\n") +
           "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

std::string sdp(uint8_t host, uint16_t port, const std::string& formats, const std::string& maps) {
    return "v=0\r\no=- 1 1 IN IP4 10.0.0." + std::to_string(host) + "\r\ns=-\r\nc=IN IP4 10.0.0." +
           std::to_string(host) + "\r\nt=0 0\r\nm=audio " + std::to_string(port) + " RTP/AVP " +
           formats + "\r\n" + maps;
}

// Datagrams fed to a tracker; the calls it hands over, in order.
class tracker_run {
public:
    explicit tracker_run(call_options options = call_options())
        : tracker_(options, [this](call_record&& c) { calls.push_back(std::move(c)); }) {}
    void send(const ip_endpoint& from, const ip_endpoint& to, const bytes& payload, int64_t t) {
        udp_datagram d;
        d.source = from;
        d.destination = to;
        d.payload = payload.data();
        d.payload_size = d.original_size = payload.size();
        d.time_us = t;
        tracker_.add(d);
    }
    void rtp_run(const ip_endpoint& from, const ip_endpoint& to, uint32_t ssrc, uint8_t pt,
                 int64_t t0, int packets, uint16_t seq = 1) {
        for (int i = 0; i < packets; ++i)
            send(from, to,
                 rtp(static_cast<uint16_t>(seq + i), 160u * static_cast<uint32_t>(i), ssrc, pt,
                     bytes(20, 0x11)),
                 t0 + 20000 * i);
    }
    void finish() { tracker_.finish(); }
    call_tracker& tracker() { return tracker_; }
    std::vector<call_record> calls;

private:
    call_tracker tracker_;
};

}  // namespace

TEST(SipSignalling, InviteAndAnswerYieldTheCallAndEachSidesAudio) {
    const struct {
        std::string text;
        bool sip;
        int status;
        std::string method, address;
        int g729;
    } cases[] = {
        {sip("INVITE sip:b@y SIP/2.0", "abc@host", "1 INVITE",
             sdp(1, 4000, "96 0 101",
                 "a=rtpmap:96 G729/8000\r\na=rtpmap:101 telephone-event/8000\r\n")),
         true, 0, "INVITE", "10.0.0.1:4000", 96},
        {sip("SIP/2.0 200 OK", "abc@host", "1 INVITE", sdp(2, 5000, "18", "")), true, 200, "",
         "10.0.0.2:5000", 18},
        {sip("SIP/2.0 200 OK", "abc@host", "1 INVITE",
             sdp(2, 5000, "0 8", "a=rtpmap:97 G7291/16000\r\n")),
         true, 200, "", "10.0.0.2:5000", -1},
        {sip("BYE sip:b@y SIP/2.0", "abc@host", "2 BYE"), true, 0, "BYE", "", -1},
        {sip("INVITE sip:b@y SIP/2.0", "", "1 INVITE"), false, 0, "", "", -1},  // no Call-ID
        {"HTTP/1.1 200 OK\r\nCall-ID: x\r\n\r\n", false, 0, "", "", -1},
        {"\x80\x12\x00\x01 not a SIP message at all", false, 0, "", "", -1},
    };
    for (const auto& c : cases) {
        sip_message m;
        const bytes b = as_bytes_of(c.text);
        ASSERT_EQ(c.sip, parse_sip(b.data(), b.size(), &m)) << c.text;
        if (!c.sip) continue;
        EXPECT_EQ(c.status, m.status);
        EXPECT_EQ(c.method, m.method);
        EXPECT_EQ("abc@host", m.call_id);
        EXPECT_EQ("\"A\" <sip:a@x>", m.from);
        EXPECT_EQ("<sip:b@y>", m.to);
        EXPECT_EQ(!c.address.empty(), m.audio.present) << c.text;
        if (m.audio.present) {
            EXPECT_EQ(c.address, m.audio.address.to_string());
        }
        EXPECT_EQ(c.g729, m.audio.g729_payload_type) << c.text;
    }
    sdp_audio audio;
    EXPECT_TRUE(parse_sdp_audio("c=IN IP6 2001:db8::5\r\nm=audio 7078 RTP/SAVP 18\r\n", &audio));
    EXPECT_EQ("[2001:db8::5]:7078", audio.address.to_string());
    EXPECT_FALSE(parse_sdp_audio("c=IN IP4 10.0.0.1\r\nm=video 7078 RTP/AVP 96\r\n", &audio));
}

TEST(CallTracker, SignalledStreamsJoinTheirCallByTheSdpAddresses) {
    // The callee answers from behind a NAT: its stream comes from another address than its
    // SDP names, yet is sent to the caller's: both are the call, on their channels, with the
    // payload type the SDP maps to G.729.
    tracker_run run;
    const std::string offer = sip("INVITE sip:b@y SIP/2.0", "c1@x", "1 INVITE",
                                  sdp(1, 4000, "96", "a=rtpmap:96 G729/8000\r\n"));
    const std::string answer =
        sip("SIP/2.0 200 OK", "c1@x", "1 INVITE", sdp(2, 5000, "96", "a=rtpmap:96 G729/8000\r\n"));
    run.send(endpoint(1, 5060), endpoint(2, 5060), as_bytes_of(offer), kT0);
    run.send(endpoint(2, 5060), endpoint(1, 5060), as_bytes_of(answer), kT0 + 1000);
    run.rtp_run(endpoint(1, 4000), endpoint(2, 5000), 0xA, 96, kT0 + 10000, 20);
    run.rtp_run(endpoint(9, 31000), endpoint(1, 4000), 0xB, 96, kT0 + 20000, 20);
    run.rtp_run(endpoint(7, 7000), endpoint(8, 8000), 0xC, 18, kT0 + 30000, 20);
    run.finish();
    ASSERT_EQ(2u, run.calls.size());
    const call_record& call = run.calls[0];
    EXPECT_TRUE(call.signalled);
    EXPECT_EQ("c1@x", call.call_id);
    ASSERT_EQ(2u, call.streams.size());
    EXPECT_EQ(0xAu, call.streams[0].stream.key.ssrc);
    EXPECT_EQ(0, call.streams[0].channel);
    EXPECT_EQ(1, call.streams[1].channel);
    EXPECT_EQ(96, call.streams[1].stream.payload_type);
    EXPECT_EQ(20u, call.streams[1].stream.stats.packets);
    EXPECT_FALSE(run.calls[1].signalled);
    EXPECT_EQ(2u, run.calls[1].number);
}

TEST(CallTracker, UnsignalledStreamsPairByMirroredAddresses) {
    tracker_run run;
    run.rtp_run(endpoint(1, 4000), endpoint(2, 5000), 0xA, 18, kT0, 50);
    run.rtp_run(endpoint(2, 5000), endpoint(1, 4000), 0xB, 18, kT0 + 7000, 50);
    // The first side changes its SSRC mid-call: the same channel of the same call.
    run.rtp_run(endpoint(1, 4000), endpoint(2, 5000), 0xD, 18, kT0 + 1000000, 50, 900);
    run.rtp_run(endpoint(1, 4000), endpoint(3, 5000), 0xE, 18, kT0, 10);  // another call
    run.finish();
    ASSERT_EQ(2u, run.calls.size());
    const call_record& call = run.calls[0];
    ASSERT_EQ(3u, call.streams.size());
    EXPECT_EQ(0, call.streams[0].channel);
    EXPECT_EQ(1, call.streams[1].channel);
    EXPECT_EQ(0, call.streams[2].channel);
    EXPECT_EQ(kT0, call.audio_start_us());
    EXPECT_EQ("10.0.0.1_4000-10.0.0.2_5000_20231114-221320", call_label(call));
    EXPECT_EQ(1u, run.calls[1].streams.size());
}

TEST(CallTracker, CallsEndAsTheCaptureGoesOnSoMemoryFollowsTheCallsInProgress) {
    // A hang-up ends a call once its last packets are in; silence longer than the idle time
    // ends one without signalling. Both are handed over while the capture is still being read.
    tracker_run run;
    run.send(endpoint(1, 5060), endpoint(2, 5060),
             as_bytes_of(sip("INVITE sip:b@y SIP/2.0", "c2@x", "1 INVITE", sdp(1, 4000, "18", ""))),
             kT0);
    run.rtp_run(endpoint(2, 5000), endpoint(1, 4000), 0xA, 18, kT0, 50);
    run.rtp_run(endpoint(5, 6000), endpoint(6, 6000), 0xB, 18, kT0, 50);
    EXPECT_EQ(2u, run.tracker().calls_in_progress());
    run.send(endpoint(1, 5060), endpoint(2, 5060),
             as_bytes_of(sip("BYE sip:b@y SIP/2.0", "c2@x", "2 BYE")), kT0 + 1000000);
    run.rtp_run(endpoint(5, 6000), endpoint(6, 6000), 0xB, 18, kT0 + 1000000, 180, 51);  // to 4.6 s
    ASSERT_EQ(1u, run.calls.size());
    EXPECT_EQ("c2@x", run.calls[0].call_id);
    // The same addresses two minutes later are a new call.
    run.rtp_run(endpoint(5, 6000), endpoint(6, 6000), 0xB, 18, kT0 + 125000000, 10, 231);
    ASSERT_EQ(2u, run.calls.size());
    EXPECT_EQ(230u, run.calls[1].streams[0].stream.stats.packets);
    run.finish();
    ASSERT_EQ(3u, run.calls.size());
    EXPECT_EQ(2u, run.tracker().stats().sip_messages);
    EXPECT_EQ(2u, run.tracker().stats().most_calls_in_progress);
}

TEST(CallTracker, AddressesAReInviteLeftBehindEndWithTheCall) {
    // A re-INVITE moves the caller's media; once the call has ended, a stream to its first
    // address is a call of its own.
    tracker_run run;
    for (const uint16_t port : {4000, 4002})
        run.send(endpoint(1, 5060), endpoint(2, 5060),
                 as_bytes_of(sip("INVITE sip:b@y SIP/2.0", "c3@x", std::to_string(port) + " INVITE",
                                 sdp(1, port, "18", ""))),
                 kT0 + port);
    run.rtp_run(endpoint(2, 5000), endpoint(1, 4002), 0xA, 18, kT0 + 10000, 50);
    run.send(endpoint(1, 5060), endpoint(2, 5060),
             as_bytes_of(sip("BYE sip:b@y SIP/2.0", "c3@x", "5000 BYE")), kT0 + 1000000);
    run.rtp_run(endpoint(3, 7000), endpoint(1, 4000), 0xB, 18, kT0 + 10000000, 10);
    run.finish();
    ASSERT_EQ(2u, run.calls.size());
    EXPECT_EQ("c3@x", run.calls[0].call_id);
    EXPECT_FALSE(run.calls[1].signalled);
    ASSERT_EQ(1u, run.calls[1].streams.size());
    EXPECT_EQ(10u, run.calls[1].streams[0].stream.stats.packets);
}

TEST(CallLabels, CallIdsBecomeSafeFileNames) {
    call_record c;
    c.signalled = true;
    const std::pair<std::string, std::string> cases[] = {
        {"a84b4c76e66710@pc33.atlanta.com", "a84b4c76e66710@pc33.atlanta.com"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {"..", "call.."},
        {std::string(300, 'x'), std::string(120, 'x')},
        {"id with spaces;\"quotes\"", "id_with_spaces__quotes_"},
    };
    for (const auto& k : cases) {
        c.call_id = k.first;
        EXPECT_EQ(k.second, call_label(c));
    }
}
