// tarnel decode --pcap: the G.729 calls of a packet capture decoded on their call timelines,
// from captures laid out the way capture tools lay them out.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "capture/capture_reader.h"
#include "capture/capture_writer.h"
#include "support/tarnel_run.h"

using namespace tarnel::test;
using tarnel::capture::capture_layout;
using tarnel::capture::rtp_leg;
using tarnel::capture::rtp_packet;
using tarnel::capture::udp_record;

namespace {

const std::string kCall = tarnel::test::source_path("samples/call.pcap");
const char* const kCallFile = "192.0.2.10_16384-198.51.100.20_20000_20231114-221320.wav";
const char* const kCallerFile = "192.0.2.10_16384-198.51.100.20_20000_ssrc5ca11e12.wav";
const char* const kCalleeFile = "198.51.100.20_20000-192.0.2.10_16384_ssrc0ca11ee5.wav";
constexpr int64_t kStart = 1700000000000000;

// The speech frames of the packets, decoded back to back by one fresh decoder.
samples decode_speech(const std::vector<rtp_packet>& packets) {
    std::vector<bytes> units;
    for (const rtp_packet& p : packets)
        for (bytes& frame : split_frames(p.payload)) units.push_back(std::move(frame));
    return codec_decode(units);
}

double rms(const samples& s, size_t from, size_t count) {
    double sum = 0;
    for (size_t i = from; i < from + count; ++i) sum += double(s.at(i)) * s.at(i);
    return std::sqrt(sum / static_cast<double>(count));
}

bool silent(const samples& s, size_t from, size_t count) {
    return std::all_of(s.begin() + static_cast<long>(from),
                       s.begin() + static_cast<long>(from + count),
                       [](int16_t v) { return v == 0; });
}

// The two channels of a stereo WAV file the program wrote (44-byte header).
struct stereo {
    samples left, right;
};
stereo stereo_samples(const std::string& path) {
    const std::string b = read_file(path);
    stereo s;
    EXPECT_GE(b.size(), 44u);
    if (b.size() < 44) return s;
    EXPECT_EQ(2, b[22]) << "channels";
    for (size_t at = 44; at + 4 <= b.size(); at += 4) {
        s.left.push_back(static_cast<int16_t>(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8)));
        s.right.push_back(static_cast<int16_t>(uint8_t(b[at + 2]) | (uint8_t(b[at + 3]) << 8)));
    }
    return s;
}

// A leg that talks in every one of `slots` 20 ms slots from `start_us`: the bundled speech
// from 0.2 s on.
rtp_leg talking_leg(size_t slots, uint8_t payload_type = tarnel::capture::kG729PayloadType,
                    int64_t start_us = kStart) {
    const samples speech = tarnel::test::load_speech_sample();
    const samples audio(speech.begin() + 1600,
                        speech.begin() + 1600 + static_cast<long>(slots) * 160);
    rtp_leg leg;
    leg.source = {{10, 1, 1, 1}, 4000};
    leg.destination = {{10, 2, 2, 2}, 5000};
    leg.ssrc = 0xabcdef01;
    leg.packets = tarnel::capture::dtx_packets(audio, std::vector<bool>(slots, true), 10, 100, 8000,
                                               start_us);
    for (rtp_packet& p : leg.packets) p.payload_type = payload_type;
    return leg;
}

// The other direction of `leg`'s call, talking `slots` slots from `start_us`.
rtp_leg answer_leg(const rtp_leg& leg, size_t slots, int64_t start_us) {
    rtp_leg back = talking_leg(slots, leg.packets.front().payload_type, start_us);
    back.source = leg.destination;
    back.destination = leg.source;
    back.ssrc = 0x0badcafe;
    return back;
}

const std::string kLegName = "10.1.1.1:4000 -> 10.2.2.2:5000 ssrc 0xabcdef01";

class TarnelDecodePcap : public scratch_test {
protected:
    std::string capture(const std::vector<rtp_leg>& legs, const std::string& name = "call.pcap") {
        std::string error;
        EXPECT_TRUE(tarnel::capture::write_capture(path(name), legs, &error)) << error;
        return path(name);
    }
    std::string capture(const std::vector<udp_record>& records, const capture_layout& layout,
                        const std::string& name = "call.pcapng") {
        std::string error;
        EXPECT_TRUE(tarnel::capture::write_records(path(name), records, layout, &error)) << error;
        return path(name);
    }
};

}  // namespace

// ---- calls -----------------------------------------------------------------------------------

TEST_F(TarnelDecodePcap, BundledCallIsOneStereoFileOnTheCapturesClock) {
    const std::vector<rtp_leg> legs =
        tarnel::capture::sample_call(tarnel::test::load_speech_sample());
    const std::string out = path("calls") + "/";  // a trailing slash asks for a new folder
    const run_result r = run_tool({"decode", "--pcap", kCall, out});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 3u) << r.err;
    EXPECT_TRUE(
        contains(r.err, "call 1: starts 2023-11-14 22:13:20.000 UTC, 8.92 s, 2 streams -> " + out +
                            kCallFile + "\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err,
                         "  left  192.0.2.10:16384 -> 198.51.100.20:20000 ssrc 0x5ca11e12: "
                         "starts 2023-11-14 22:13:20.000 UTC, 185 packets, 0 lost, 0 duplicated, "
                         "30 SID frames, 0 refused payloads, 8.91 s\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err,
                         "  right 198.51.100.20:20000 -> 192.0.2.10:16384 ssrc 0x0ca11ee5: "
                         "starts 2023-11-14 22:13:20.007 UTC, 289 packets"))
        << r.err;

    // The caller, on the left, talks first from a fresh decoder: its speech is exactly the
    // codec's decoding of its speech payloads, then comfort noise, quiet but never a hole. The
    // callee answers 7 ms later by the capture's clock: 56 samples into the right channel.
    const stereo call = stereo_samples(out + kCallFile);
    ASSERT_EQ(call.left.size(), 56u + 71280);  // the callee's 8.91 s, 7 ms in
    std::vector<rtp_packet> speech_packets;
    for (const rtp_packet& p : legs[0].packets)
        if (p.payload.size() == 20) speech_packets.push_back(p);
    const samples speech = decode_speech(speech_packets);
    EXPECT_TRUE(std::equal(speech.begin(), speech.end(), call.left.begin()));
    for (size_t at = 160u * 160; at + 800 <= 449 * 160; at += 800)
        EXPECT_GT(rms(call.left, at, 800), 5) << "no hole in the comfort noise at sample " << at;
    EXPECT_TRUE(silent(call.right, 0, 56));
    EXPECT_GT(rms(call.right, 56, 160 * 160), 5);
    EXPECT_LT(rms(call.right, 56, 160 * 160), 100);
    EXPECT_GT(rms(call.right, 56 + 170 * 160, 200 * 160), 1000);
}

TEST_F(TarnelDecodePcap, SidesThatStartLateOrStopEarlyAreAlignedAndPadded) {
    // The caller talks for 1 s from 0; the callee for 0.6 s from 0.3 s: 1 s of call, the
    // right channel silent until the callee's first packet and after its last.
    const rtp_leg caller = talking_leg(50);
    const rtp_leg callee = answer_leg(caller, 30, kStart + 300000);
    const run_result r =
        run_tool({"decode", "--pcap", capture({caller, callee}), path("call.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "call 1: starts 2023-11-14 22:13:20.000 UTC, 1.00 s, 2 streams"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "ssrc 0x0badcafe: starts 2023-11-14 22:13:20.300 UTC")) << r.err;
    EXPECT_TRUE(contains(r.err, "0.60 s (from 0.300 s)")) << r.err;
    const stereo call = stereo_samples(path("call.wav"));
    ASSERT_EQ(call.left.size(), 8000u);
    ASSERT_EQ(call.right.size(), 8000u);
    EXPECT_EQ(call.left, decode_speech(caller.packets));
    EXPECT_TRUE(silent(call.right, 0, 2400));
    const samples answer = decode_speech(callee.packets);
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), call.right.begin() + 2400));
    EXPECT_TRUE(silent(call.right, 2400 + answer.size(), 8000 - 2400 - answer.size()));
}

TEST_F(TarnelDecodePcap, SipSignallingNamesTheCallAndItsDynamicPayloadType) {
    // Payload type 96, which only the SDP's a=rtpmap makes G.729; a Call-ID with characters
    // no file name should hold.
    const rtp_leg caller = talking_leg(40, 96, kStart + 500000);
    const rtp_leg callee = answer_leg(caller, 40, kStart + 510000);
    tarnel::capture::sip_call sip;
    sip.call_id = "a84b/4c76 e667@pc33";
    sip.caller_signalling = {{10, 1, 1, 1}, 5060};
    sip.callee_signalling = {{10, 2, 2, 2}, 5070};
    sip.caller_media = caller.source;
    sip.callee_media = caller.destination;
    sip.payload_type = 96;
    sip.invite_us = kStart;
    sip.answer_us = kStart + 400000;
    sip.bye_us = kStart + 1400000;
    std::vector<udp_record> records = tarnel::capture::rtp_records({caller, callee});
    const std::vector<udp_record> signalling = tarnel::capture::sip_records(sip);
    records.insert(records.end(), signalling.begin(), signalling.end());
    std::stable_sort(records.begin(), records.end(), [](const udp_record& a, const udp_record& b) {
        return a.time_us < b.time_us;
    });
    capture_layout layout;
    const std::string cap = capture(records, layout, "sip.pcap");

    const run_result r = run_tool({"decode", "--pcap", cap, dir_});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.err,
                         "call 1 a84b/4c76 e667@pc33 (\"Alice\" <sip:alice@example.com> -> "
                         "<sip:bob@example.net>): starts 2023-11-14 22:13:20.500 UTC, 0.81 s"))
        << r.err;
    const stereo call = stereo_samples(path("a84b_4c76_e667@pc33.wav"));
    EXPECT_TRUE(
        std::equal(call.left.begin(), call.left.end() - 80, decode_speech(caller.packets).begin()));
    EXPECT_TRUE(silent(call.right, 0, 80));

    // The same media without its signalling: payload type 96 means nothing.
    const run_result bare = run_tool({"decode", "--pcap", capture({caller, callee}), path("out")});
    EXPECT_EQ(bare.code, tarnel::tool::kExitFailure);
    EXPECT_TRUE(contains(bare.err, kLegName + " (payload type 96)")) << bare.err;
    EXPECT_TRUE(contains(bare.err, "choose with --pt")) << bare.err;
}

// ---- destinations --------------------------------------------------------------------------

TEST_F(TarnelDecodePcap, OneCallGoesToAFileAndSeveralNeedAFolder) {
    const std::string cap = capture({talking_leg(40)});
    const run_result r = run_tool({"decode", "--pcap", cap, path("one.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(count_lines(r.err), 2u) << r.err;
    EXPECT_TRUE(
        contains(r.err, "  left  " + kLegName +
                            ": starts 2023-11-14 22:13:20.000 UTC, 40 packets, "
                            "0 lost, 0 duplicated, 0 SID frames, 0 refused payloads, 0.80 s\n"))
        << r.err;
    EXPECT_EQ(stereo_samples(path("one.wav")).left, decode_speech(talking_leg(40).packets));
    const run_result piped = run_tool({"decode", "-q", "--pcap", cap, "-"});
    ASSERT_EQ(piped.code, 0) << piped.err;
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out.size(), 44u + 40 * 160 * 4);

    // Two calls (the second 2 minutes later, past the idle time) need a folder; so do two
    // streams with --split, unless --ssrc picks one.
    rtp_leg later = talking_leg(10, 18, kStart + 120000000);
    const std::string two = capture({talking_leg(10), later}, "two.pcap");
    const run_result calls = run_tool({"decode", "--pcap", two, path("x.wav")});
    EXPECT_EQ(calls.code, tarnel::tool::kExitFailure);
    EXPECT_TRUE(contains(calls.err, path("x.wav") + ": the capture holds 2 calls; name a folder"))
        << calls.err;
    const run_result split = run_tool({"decode", "--pcap", kCall, "--split", path("x.wav")});
    EXPECT_EQ(split.code, tarnel::tool::kExitFailure);
    EXPECT_TRUE(
        contains(split.err,
                 "the capture holds 2 G.729 streams; name a folder to get one file per stream, "
                 "or choose one with --ssrc"))
        << split.err;
    for (const std::string& ssrc :
         {std::string("0x0ca11ee5"), std::string("0X0CA11EE5"), std::to_string(0x0ca11ee5u)}) {
        const run_result one =
            run_tool({"decode", "--pcap", kCall, "--split", "--ssrc", ssrc, path("callee.wav")});
        ASSERT_EQ(one.code, 0) << one.err;
        EXPECT_TRUE(contains(one.err, "ssrc 0x0ca11ee5: ")) << one.err;
    }
    EXPECT_EQ(entries(),
              (std::vector<std::string>{"call.pcap", "callee.wav", "one.wav", "two.pcap"}));
}

TEST_F(TarnelDecodePcap, SplitWritesOneMonoFilePerStreamWithItsRowCensus) {
    // The caller's first speech frame of every packet names row 100: reported for that stream
    // alone, counted over the speech frames of its payloads.
    std::vector<rtp_leg> legs = tarnel::capture::sample_call(tarnel::test::load_speech_sample());
    size_t speech_frames = 0, marked = 0;
    for (rtp_packet& p : legs[0].packets) {
        speech_frames += p.payload.size() / 10;
        if (p.payload.size() >= 10) {
            p.payload[0] = static_cast<uint8_t>((p.payload[0] & 128) | 100);
            ++marked;
        }
    }
    const run_result r = run_tool({"decode", "--split", "--pcap", capture(legs), dir_});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(count_lines(r.err), 3u) << r.err;
    EXPECT_TRUE(contains(r.err, "  192.0.2.10:16384 -> 198.51.100.20:20000 ssrc 0x5ca11e12: " +
                                    std::to_string(marked) + " of " +
                                    std::to_string(speech_frames) + " speech frames ("))
        << r.err;
    EXPECT_EQ(entries(), (std::vector<std::string>{kCallerFile, kCalleeFile, "call.pcap"}));
    EXPECT_EQ(wav_samples(path(kCallerFile)).size(), 71280u);
}

// ---- what the capture lost ------------------------------------------------------------------

TEST_F(TarnelDecodePcap, PacketsCutByTheSnapshotLengthAreMissingAndSaidSo) {
    // Packets of one speech frame are 64 bytes on Ethernet, of two 74, a SID packet 56.
    rtp_leg leg = talking_leg(50);
    for (size_t i = 0; i < leg.packets.size(); i += 2) leg.packets[i].payload.resize(20);
    // 10 ms of speech in a 20 ms slot: a pause follows.
    for (size_t i = 1; i < leg.packets.size(); i += 2) leg.packets[i].payload.resize(10);
    const struct {
        uint32_t snap;
        int code;
        std::string said;
        bool file;
    } cases[] = {
        {0, 0, "0 refused payloads, 0.99 s", true},
        {68, 1,
         "25 of 50 packets were cut short by the capture's snapshot length (68 bytes); their 0.50 "
         "s "
         "are missing from the audio (capture with -s 0 to keep whole packets)",
         true},
        {60, 1,
         "the capture's snapshot length (60 bytes) cut every packet that carried speech (50 of 50 "
         "packets); only 0 SID frames are whole, so there is nothing to hear. Capture whole "
         "packets: "
         "tcpdump -s 0",
         false},
    };
    for (const auto& c : cases) {
        capture_layout layout;
        layout.pcapng = true;
        layout.snap_length = c.snap;
        const std::string cap = capture(tarnel::capture::rtp_records({leg}), layout,
                                        "cut" + std::to_string(c.snap) + ".pcapng");
        const run_result r = run_tool({"decode", "--no-conceal", "--pcap", cap, path("out.wav")});
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_TRUE(contains(r.err, c.said)) << c.snap << ": " << r.err;
        EXPECT_EQ(access(path("out.wav").c_str(), F_OK) == 0, c.file) << c.snap;
        if (c.snap == 68) {
            // The two-frame packets are silence; the one-frame packets decode as sent, then
            // the pause after each.
            const samples left = stereo_samples(path("out.wav")).left;
            ASSERT_EQ(left.size(), 7920u);
            EXPECT_TRUE(silent(left, 0, 160));
            EXPECT_EQ(samples(left.begin() + 160, left.begin() + 240),
                      decode_speech({leg.packets[1]}));
            EXPECT_TRUE(silent(left, 240, 240));
        }
        std::remove(path("out.wav").c_str());
    }
}

TEST_F(TarnelDecodePcap, FragmentedDatagramsAreReassembled) {
    // 20 s of speech in datagrams of 40 bytes, sent in IP fragments of 16: three pieces each.
    const rtp_leg leg = talking_leg(1000);
    std::vector<udp_record> records = tarnel::capture::rtp_records({leg});
    capture_layout layout;
    layout.fragment_payload = 16;
    const run_result whole =
        run_tool({"decode", "--pcap", capture(records, layout, "frag.pcap"), path("a.wav")});
    ASSERT_EQ(whole.code, 0) << whole.err;
    EXPECT_TRUE(contains(
        whole.err, "1000 packets, 0 lost, 0 duplicated, 0 SID frames, 0 refused payloads, 20.00 s"))
        << whole.err;
    EXPECT_EQ(stereo_samples(path("a.wav")).left, decode_speech(leg.packets));

    // A piece missing from the capture loses its datagram, and the capture says so.
    const std::string cap = capture(records, layout, "frag.pcap");
    std::string file = read_file(cap);
    const size_t record = 16 + 14 + 20 + 16;  // the second piece of the first datagram
    file.erase(24 + record, record);
    write_file(cap, file);
    const run_result gap = run_tool({"decode", "--pcap", cap, path("b.wav")});
    EXPECT_EQ(gap.code, 0) << gap.err;
    EXPECT_TRUE(contains(
        gap.err, "1 fragmented IP datagrams stayed incomplete (pieces missing from the capture)"))
        << gap.err;
    EXPECT_TRUE(contains(gap.err, "999 packets, 0 lost")) << gap.err;
}

TEST_F(TarnelDecodePcap, PcapngOfMixedLinkTypesAndSeveralSectionsIsReadWhole) {
    // As dumpcap -i eth0 -i any writes, concatenated with another such capture: the two
    // directions on interfaces of different link types, spread over three sections.
    const rtp_leg caller = talking_leg(100);
    const rtp_leg callee = answer_leg(caller, 100, kStart + 5000);
    std::vector<udp_record> records = tarnel::capture::rtp_records({caller, callee});
    for (udp_record& r : records) r.interface = r.source.port == 4000 ? 0 : 1;
    capture_layout layout;
    layout.pcapng = true;
    layout.link_types = {tarnel::capture::kLinkEthernet, tarnel::capture::kLinkLinuxSll};
    layout.sections = 3;
    const run_result r = run_tool({"decode", "--pcap", capture(records, layout), path("call.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(contains(r.err, "damaged")) << r.err;
    const stereo call = stereo_samples(path("call.wav"));
    EXPECT_EQ(samples(call.left.begin(), call.left.begin() + 16000), decode_speech(caller.packets));
    EXPECT_EQ(samples(call.right.begin() + 40, call.right.end()), decode_speech(callee.packets));
}

// ---- what is not G.729 -----------------------------------------------------------------------

TEST_F(TarnelDecodePcap, PayloadsThatCannotBeG729AreNotDecoded) {
    std::mt19937 rng(11);
    const struct {
        const char* what;
        size_t extra;  // bytes appended to every payload
        bool scramble;
        std::string said;
    } cases[] = {
        {"random", 0, true,
         "speech frames fail the pitch parity check, which a G.729 sender never sends: "
         "the content is not G.729 (encrypted, or another codec)"},
        {"srtp", 10, false,
         "payload lengths disagree with the timestamps: 30 bytes (30 ms of G.729) every "
         "160 samples (20 ms), in 99 of 99 packets; 10 bytes more than G.729 needs for "
         "that time, as an SRTP authentication tag adds: the stream is probably encrypted (SRTP)"},
        {"srtp32", 4, false,
         "100 of 100 payloads have no G.729 length (most: 24 bytes); 4 bytes more"},
    };
    for (const auto& c : cases) {
        rtp_leg leg = talking_leg(100);
        for (rtp_packet& p : leg.packets) {
            if (c.scramble)
                for (uint8_t& b : p.payload) b = static_cast<uint8_t>(rng());
            p.payload.resize(p.payload.size() + c.extra, 0xA5);
        }
        const run_result r = run_tool({"decode", "--pcap", capture({leg}), path("out.wav")});
        EXPECT_EQ(r.code, tarnel::tool::kExitFailure) << c.what;
        EXPECT_TRUE(contains(r.err, kLegName + ": not decoded: ")) << c.what << ": " << r.err;
        EXPECT_TRUE(contains(r.err, c.said)) << c.what << ": " << r.err;
        EXPECT_EQ(access(path("out.wav").c_str(), F_OK), -1) << c.what;
    }
}

TEST_F(TarnelDecodePcap, CaptureWithoutG729SaysWhatItHolds) {
    const std::string cap = capture({talking_leg(5, 0)});
    const run_result r = run_tool({"decode", "--pcap", cap, path("out")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(
        r.err, cap + ": no G.729 stream (RTP payload type 18, or as SIP signalling maps it)"))
        << r.err;
    EXPECT_TRUE(contains(r.err, kLegName + " (payload type 0)")) << r.err;

    const run_result ssrc = run_tool({"decode", "--pcap", kCall, "--ssrc", "7", path("out")});
    EXPECT_EQ(ssrc.code, tarnel::tool::kExitFailure);
    EXPECT_TRUE(contains(ssrc.err, "with SSRC 0x00000007")) << ssrc.err;
    EXPECT_EQ(entries(), std::vector<std::string>{"call.pcap"});
}

// ---- what the stream lost --------------------------------------------------------------------

TEST_F(TarnelDecodePcap, RefusedPayloadIsReportedAndTheStreamGoesOn) {
    rtp_leg leg = talking_leg(20);
    const rtp_leg clean = leg;
    leg.packets[10].payload.push_back(0x55);  // 21 bytes: no G.729 payload has that length
    const std::string cap = capture({leg});
    const run_result r = run_tool({"decode", "--split", "--pcap", cap, path("out.wav")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    ASSERT_EQ(count_lines(r.err), 2u) << r.err;
    EXPECT_TRUE(contains(r.err, cap + ": " + kLegName +
                                    ": payload seq 110 (21 bytes, RTP timestamp " +
                                    std::to_string(8000 + 10 * 160) +
                                    "): Invalid data (1 bytes at the end); silence in its place\n"))
        << r.err;
    EXPECT_TRUE(
        contains(r.err, "20 packets, 0 lost, 0 duplicated, 0 SID frames, 1 refused payloads"))
        << r.err;

    // The timeline keeps its length; the refused packet's 20 ms are silent and what came
    // before is decoded as if nothing had happened.
    const samples out = wav_samples(path("out.wav"));
    ASSERT_EQ(out.size(), 20u * 160);
    const samples expected = decode_speech(clean.packets);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 10 * 160, expected.begin()));
    EXPECT_TRUE(silent(out, 10 * 160, 160));
    EXPECT_GT(rms(out, 11 * 160, 9 * 160), 300) << "decoding went on after the refusal";
}

TEST_F(TarnelDecodePcap, LossesDuplicatesAndReorderingAreCountedAndLossIsConcealed) {
    const rtp_leg sent = talking_leg(30);
    rtp_leg leg = sent;
    rtp_packet again = leg.packets[20];
    again.time_us += 3000;
    leg.packets.insert(leg.packets.begin() + 21, again);
    std::swap(leg.packets[5].time_us, leg.packets[6].time_us);  // arrive 6 before 5
    std::swap(leg.packets[5], leg.packets[6]);
    leg.packets.erase(leg.packets.begin() + 12);
    const std::string cap = capture({leg});
    // The lost packet's two frames are the codec's concealment, and decoding goes on from the
    // state it left; with --no-conceal they are silence.
    std::vector<bytes> units;
    for (size_t p = 0; p < sent.packets.size(); ++p)
        for (bytes& frame : split_frames(sent.packets[p].payload))
            units.push_back(p == 12 ? bytes() : std::move(frame));
    const struct {
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {{}, "0 refused payloads, 2 frames concealed, 0.60 s"},
        {{"--no-conceal"}, "0 refused payloads, 0.60 s"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"decode", "--split", "--pcap", cap, path("out.wav")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = run_tool(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(contains(r.err, std::string("30 packets, 1 lost, 1 duplicated, 1 reordered, "
                                                "0 SID frames, ") +
                                        c.said))
            << r.err;
        const samples out = wav_samples(path("out.wav"));
        ASSERT_EQ(out.size(), 30u * 160);
        if (c.args.empty()) {
            EXPECT_EQ(out, codec_decode(units));
            EXPECT_FALSE(silent(out, 12 * 160, 160));
        } else {
            EXPECT_TRUE(silent(out, 12 * 160, 160));
        }
    }
}

TEST_F(TarnelDecodePcap, LossThatEndsInsideAFrameIsConcealedToItsEnd) {
    // A packet is lost and the sender's clock moves on 40 samples more: 200 samples are missing,
    // three concealed frames' worth.
    rtp_leg leg = talking_leg(10);
    leg.packets.erase(leg.packets.begin() + 5);
    for (size_t i = 5; i < leg.packets.size(); ++i) leg.packets[i].timestamp += 40;
    const run_result r = run_tool({"decode", "--pcap", capture({leg}), path("out.wav")});
    EXPECT_TRUE(contains(r.err, "3 frames concealed")) << r.err;
}

TEST_F(TarnelDecodePcap, OverlappingStreamsOfOneSideAreMixedWithSaturation) {
    // The same loud speech under two SSRCs at once: the sum clips rather than wraps around.
    rtp_leg leg = talking_leg(50), again = leg;
    again.ssrc = 0x12345678;
    ASSERT_EQ(run_tool({"decode", "--pcap", capture({leg, again}), path("out.wav")}).code, 0);
    const samples one = decode_speech(leg.packets);
    const samples left = stereo_samples(path("out.wav")).left;
    ASSERT_EQ(left.size(), one.size());
    for (size_t i = 0; i < one.size(); ++i)
        ASSERT_EQ(left[i], std::clamp(2 * one[i], -32768, 32767)) << i;
}

TEST_F(TarnelDecodePcap, TruncatedCaptureIsReportedAndWhatWasReadDecodes) {
    const std::string cap = capture({talking_leg(30)});
    const std::string whole = read_file(cap);
    write_file(cap, whole.substr(0, whole.size() - 10));
    const run_result r = run_tool({"decode", "--split", "--pcap", cap, path("out.wav")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    ASSERT_EQ(count_lines(r.err), 2u) << r.err;
    EXPECT_TRUE(contains(r.err, cap + " is truncated or damaged after 29 packets")) << r.err;
    EXPECT_TRUE(contains(r.err, "decoding what was read")) << r.err;
    EXPECT_EQ(wav_samples(path("out.wav")).size(), 29u * 160);
}

TEST_F(TarnelDecodePcap, UnreadableCaptureIsOneLine) {
    write_file(path("notes.txt"), "this is not a capture\n");
    for (const std::string& cap : {path("missing.pcap"), path("notes.txt")}) {
        const run_result r = run_tool({"decode", "--pcap", cap, path("out")});
        EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
        EXPECT_EQ(count_lines(r.err), 1u) << r.err;
        EXPECT_TRUE(contains(r.err, cap)) << r.err;
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"notes.txt"});
}

// ---- listing -----------------------------------------------------------------------------------

TEST_F(TarnelDecodePcap, ListShowsCallsAndStreamFiguresWithoutDecoding) {
    // Packets arriving 5 ms late every other slot: transit alternates 0 and 40 timestamp units,
    // which the jitter estimate converges on (|D| = 40 each packet, i.e. 5 ms).
    rtp_leg leg = talking_leg(200);
    for (size_t i = 1; i < leg.packets.size(); i += 2) leg.packets[i].time_us += 5000;
    leg.packets.erase(leg.packets.begin() + 50, leg.packets.begin() + 53);
    const std::string cap = capture({leg});
    const run_result text = run_tool({"decode", "--pcap", cap, "--list"});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.err, "");
    EXPECT_EQ(text.out,
              "call 1: starts 2023-11-14 22:13:20.000 UTC, 4.00 s\n"
              "  left  " +
                  kLegName +
                  " pt 18: starts 2023-11-14 22:13:20.000 UTC, 4.00 s, 197 packets, "
                  "3 lost, 0 duplicated, 0 late, 0 SID frames, largest gap 80.0 ms, jitter 5.00 ms "
                  "(at most 5.00)\n");
    const run_result json = run_tool({"decode", "--pcap", cap, "--list", "--json"});
    ASSERT_EQ(json.code, 0) << json.err;
    for (const char* field :
         {"\"calls\": [\n  {\"call\": 1, ", "\"ssrc\": \"0xabcdef01\"", "\"packets\": 197",
          "\"lost\": 3", "\"largest_gap_ms\": 80.0", "\"jitter_ms\": 5.00",
          "\"start_us\": 1700000000000000", "\"g729\": true", "\n]}\n"})
        EXPECT_TRUE(contains(json.out, field)) << field << "\n" << json.out;
    EXPECT_EQ(entries(), std::vector<std::string>{"call.pcap"});
}

// ---- RTP over TCP
// --------------------------------------------------------------------------------

TEST_F(TarnelDecodePcap, RtpStreamOfLengthPrefixedPacketsDecodesAsItsCaptureWould) {
    const rtp_leg leg = talking_leg(60);
    std::string framed;
    for (const udp_record& r : tarnel::capture::rtp_records({leg})) {
        framed += static_cast<char>(r.payload.size() >> 8);
        framed += static_cast<char>(r.payload.size() & 0xFF);
        framed += as_string(r.payload);
    }
    write_file(path("call.rtp"), framed);
    const run_result r = run_tool({"decode", "--rtp-stream", path("call.rtp"), path("out.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, path("call.rtp") +
                                    " ssrc 0xabcdef01: 60 packets, 0 lost, 0 duplicated, "
                                    "0 SID frames, 0 refused payloads, 1.20 s -> " +
                                    path("out.wav")))
        << r.err;
    EXPECT_EQ(wav_samples(path("out.wav")), decode_speech(leg.packets));

    write_file(path("cut.rtp"), framed.substr(0, framed.size() - 5));
    const run_result cut =
        run_tool({"decode", "-q", "--rtp-stream", path("cut.rtp"), path("cut.wav")});
    EXPECT_EQ(cut.code, tarnel::tool::kExitFailure);
    EXPECT_TRUE(contains(cut.err, "truncated: packet 60 at byte")) << cut.err;
    EXPECT_EQ(wav_samples(path("cut.wav")).size(), 59u * 160);
}

TEST_F(TarnelDecodePcap, UsageErrorsOfTheCaptureOptions) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"decode", "--split", "a", "b"}, "--split needs --pcap"},
        {{"decode", "--pcap", kCall, "--json", dir_}, "--json needs --list"},
        {{"decode", "--pcap", kCall, "--list", dir_},
         "--list writes to standard output, not '" + dir_ + "'"},
        {{"decode", "--pcap", kCall, "--list", "--split"}, "--list writes no audio"},
        {{"decode", "--pcap", kCall, "--rtp-stream", "x", dir_},
         "--pcap and --rtp-stream exclude each other"},
        {{"decode", "--rtp-stream", "x", "--list"}, "apply to --pcap"},
        {{"decode", "--pcap", kCall, "--threads", "0", dir_},
         "--threads needs a number from 1 to 256, not '0'"},
    };
    for (const auto& c : cases) {
        const run_result r = run_tool(c.first);
        EXPECT_EQ(r.code, tarnel::tool::kExitUsage) << c.second;
        EXPECT_TRUE(contains(r.err, c.second)) << r.err;
    }
}
