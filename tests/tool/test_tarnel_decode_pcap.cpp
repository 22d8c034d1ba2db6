// tarnel decode --pcap: the G.729 streams of a packet capture decoded on their call timelines.
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "capture/capture_writer.h"
#include "support/tarnel_run.h"

using namespace tarnel::test;
using tarnel::capture::rtp_leg;
using tarnel::capture::rtp_packet;

namespace {

const std::string kCall = tarnel::test::source_path("samples/call.pcap");
const char* const kCallerFile = "192.0.2.10_16384-198.51.100.20_20000_ssrc5ca11e12.wav";
const char* const kCalleeFile = "198.51.100.20_20000-192.0.2.10_16384_ssrc0ca11ee5.wav";

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

size_t sid_frames(const rtp_leg& leg) {
    size_t n = 0;
    for (const rtp_packet& p : leg.packets) n += p.payload.size() % 10 == 2;
    return n;
}

// The timeline's length: from the first packet's timestamp to the end of the last payload.
size_t timeline_samples(const rtp_leg& leg) {
    const rtp_packet& last = leg.packets.back();
    const size_t units = last.payload.size() / 10 + (last.payload.size() % 10 == 2);
    return last.timestamp - leg.packets.front().timestamp + units * 80;
}

// A leg that talks in every one of `slots` 20 ms slots: the bundled speech from 0.2 s on.
rtp_leg talking_leg(size_t slots, uint8_t payload_type = tarnel::capture::kG729PayloadType) {
    const samples speech = tarnel::test::load_speech_sample();
    const samples audio(speech.begin() + 1600, speech.begin() + 1600 + static_cast<long>(slots) * 160);
    rtp_leg leg;
    leg.source = {{10, 1, 1, 1}, 4000};
    leg.destination = {{10, 2, 2, 2}, 5000};
    leg.ssrc = 0xabcdef01;
    leg.packets = tarnel::capture::dtx_packets(audio, std::vector<bool>(slots, true), 10, 100, 8000,
                                              1700000000000000);
    for (rtp_packet& p : leg.packets) p.payload_type = payload_type;
    return leg;
}

const std::string kLegName = "10.1.1.1:4000 -> 10.2.2.2:5000 ssrc 0xabcdef01";

class TarnelDecodePcap : public scratch_test {
protected:
    std::string capture(const std::vector<rtp_leg>& legs, const std::string& name = "call.pcap") {
        std::string error;
        EXPECT_TRUE(tarnel::capture::write_capture(path(name), legs, &error)) << error;
        return path(name);
    }
};

}  // namespace

// ---- the bundled call ----------------------------------------------------------------------

TEST_F(TarnelDecodePcap, BundledCallDecodesBothDirectionsIntoAFolder) {
    const std::vector<rtp_leg> legs = tarnel::capture::sample_call(tarnel::test::load_speech_sample());
    const std::string out = path("calls") + "/";  // a trailing slash asks for a new folder
    const run_result r = run_tool({"decode", "--pcap", kCall, out});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string caller = out + kCallerFile;
    const std::string callee = out + kCalleeFile;
    ASSERT_EQ(access(caller.c_str(), R_OK), 0) << r.err;
    ASSERT_EQ(access(callee.c_str(), R_OK), 0) << r.err;

    // One line per stream with its figures.
    ASSERT_EQ(count_lines(r.err), 2u) << r.err;
    const std::string caller_line = "192.0.2.10:16384 -> 198.51.100.20:20000 ssrc 0x5ca11e12: " +
                                    std::to_string(legs[0].packets.size()) + " packets, 0 lost, 0 duplicated, " +
                                    std::to_string(sid_frames(legs[0])) + " SID frames, 0 refused payloads, 8.91 s -> " +
                                    caller + "\n";
    EXPECT_TRUE(contains(r.err, caller_line)) << r.err;
    EXPECT_TRUE(contains(r.err, "198.51.100.20:20000 -> 192.0.2.10:16384 ssrc 0x0ca11ee5: " +
                                    std::to_string(legs[1].packets.size()) + " packets, 0 lost, 0 duplicated, " +
                                    std::to_string(sid_frames(legs[1])) + " SID frames, 0 refused payloads"))
        << r.err;
    EXPECT_GT(sid_frames(legs[0]), 10u);

    // The caller talks first from a fresh decoder: its speech is exactly the codec's decoding
    // of its speech payloads. Then, after the payload that ends in a SID frame, comfort noise
    // fills the rest of the call: quiet, but not silence.
    const samples a = wav_samples(caller);
    ASSERT_EQ(a.size(), timeline_samples(legs[0]));
    std::vector<rtp_packet> speech_packets;
    for (const rtp_packet& p : legs[0].packets)
        if (p.payload.size() == 20) speech_packets.push_back(p);
    const samples speech = decode_speech(speech_packets);
    ASSERT_EQ(speech.size(), 155u * 160);
    EXPECT_TRUE(std::equal(speech.begin(), speech.end(), a.begin()));
    const size_t noise_from = 160u * 160;
    EXPECT_LT(rms(a, noise_from, a.size() - noise_from), 100);
    EXPECT_GT(rms(a, noise_from, a.size() - noise_from), 10);
    for (size_t at = noise_from; at + 800 <= a.size(); at += 800)
        EXPECT_GT(rms(a, at, 800), 5) << "no hole in the comfort noise at sample " << at;

    // The callee listens first, then answers: noise, then speech, on the same timeline.
    const samples b = wav_samples(callee);
    ASSERT_EQ(b.size(), timeline_samples(legs[1]));
    EXPECT_LT(rms(b, 0, 160 * 160), 100);
    EXPECT_GT(rms(b, 170 * 160, 200 * 160), 1000);
}

TEST_F(TarnelDecodePcap, StreamsNamingUnpublishedRowsAreReportedPerStream) {
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
    const run_result r = run_tool({"decode", "--pcap", capture(legs), path("calls") + "/"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(count_lines(r.err), 3u) << r.err;
    EXPECT_TRUE(contains(r.err, "  192.0.2.10:16384 -> 198.51.100.20:20000 ssrc 0x5ca11e12: " +
                                    std::to_string(marked) + " of " + std::to_string(speech_frames) +
                                    " speech frames (")) << r.err;
}

// ---- destinations --------------------------------------------------------------------------

TEST_F(TarnelDecodePcap, OneStreamGoesToAFile) {
    const rtp_leg leg = talking_leg(40);
    const std::string cap = capture({leg});
    for (const char* name : {"one.wav", "one.audio"}) {
        const run_result r = run_tool({"decode", "--pcap", cap, path(name)});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(count_lines(r.err), 1u) << r.err;
        EXPECT_TRUE(contains(r.err, kLegName + ": 40 packets, 0 lost, 0 duplicated, 0 SID frames, "
                                               "0 refused payloads, 0.80 s -> " + path(name)))
            << r.err;
        EXPECT_EQ(wav_samples(path(name)), decode_speech(leg.packets)) << name;
    }
    // Standard output takes a single stream too.
    const run_result r = run_tool({"decode", "-q", "--pcap", cap, "-"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, 4), "RIFF");
    EXPECT_EQ(r.out.size(), 44u + 40 * 160 * 2);
}

TEST_F(TarnelDecodePcap, SeveralStreamsNeedAFolderOrAnSsrc) {
    const run_result r = run_tool({"decode", "--pcap", kCall, path("call.wav")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, path("call.wav") + ": the capture holds 2 G.729 streams (SSRC 0x5ca11e12, 0x0ca11ee5)"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "folder")) << r.err;
    EXPECT_TRUE(contains(r.err, "--ssrc")) << r.err;
    EXPECT_TRUE(entries().empty());

    // Either way of writing the SSRC picks the callee alone.
    for (const std::string& ssrc : {std::string("0x0ca11ee5"), std::to_string(0x0ca11ee5u)}) {
        const run_result one = run_tool({"decode", "--pcap", kCall, "--ssrc", ssrc, path("callee.wav")});
        ASSERT_EQ(one.code, 0) << one.err;
        EXPECT_EQ(count_lines(one.err), 1u) << one.err;
        EXPECT_TRUE(contains(one.err, "ssrc 0x0ca11ee5: ")) << one.err;
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"callee.wav"});
}

TEST_F(TarnelDecodePcap, ExistingFolderReceivesOneFilePerStream) {
    ASSERT_EQ(run_tool({"decode", "-q", "--pcap", kCall, dir_}).code, 0);
    EXPECT_EQ(entries(), (std::vector<std::string>{kCallerFile, kCalleeFile}));
}

// ---- what a capture may lack or hold wrong --------------------------------------------------

TEST_F(TarnelDecodePcap, CaptureWithoutG729SaysWhatItHolds) {
    const std::string cap = capture({talking_leg(5, 0)});
    const run_result r = run_tool({"decode", "--pcap", cap, path("out")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, cap + ": no G.729 stream (RTP payload type 18)")) << r.err;
    EXPECT_TRUE(contains(r.err, kLegName + " (payload type 0)")) << r.err;

    const run_result ssrc = run_tool({"decode", "--pcap", kCall, "--ssrc", "7", path("out")});
    EXPECT_EQ(ssrc.code, tarnel::tool::kExitFailure);
    EXPECT_TRUE(contains(ssrc.err, "no G.729 stream (RTP payload type 18) with SSRC 0x00000007")) << ssrc.err;
    EXPECT_EQ(entries(), std::vector<std::string>{"call.pcap"});
}

TEST_F(TarnelDecodePcap, RefusedPayloadIsReportedAndTheStreamGoesOn) {
    rtp_leg leg = talking_leg(20);
    const rtp_leg clean = leg;
    leg.packets[10].payload.push_back(0x55);  // 21 bytes: no G.729 payload has that length
    const std::string cap = capture({leg});
    const run_result r = run_tool({"decode", "--pcap", cap, path("out.wav")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    ASSERT_EQ(count_lines(r.err), 2u) << r.err;
    EXPECT_TRUE(contains(r.err, cap + ": " + kLegName + ": payload seq 110 (21 bytes, RTP timestamp " +
                                    std::to_string(8000 + 10 * 160) +
                                    "): Invalid data (1 bytes at the end); silence in its place\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "20 packets, 0 lost, 0 duplicated, 0 SID frames, 1 refused payloads"))
        << r.err;

    // The timeline keeps its length; the refused packet's 20 ms are silent and what came
    // before is decoded as if nothing had happened.
    const samples out = wav_samples(path("out.wav"));
    ASSERT_EQ(out.size(), 20u * 160);
    const samples expected = decode_speech(clean.packets);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 10 * 160, expected.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 10 * 160, out.begin() + 11 * 160, [](int16_t s) { return s == 0; }));
    EXPECT_GT(rms(out, 11 * 160, 9 * 160), 300) << "decoding went on after the refusal";
}

TEST_F(TarnelDecodePcap, LossesAndDuplicatesAreCountedAndLeaveSilence) {
    rtp_leg leg = talking_leg(30);
    rtp_packet again = leg.packets[20];
    again.time_us += 3000;
    leg.packets.insert(leg.packets.begin() + 21, again);
    leg.packets.erase(leg.packets.begin() + 12);
    const run_result r = run_tool({"decode", "--pcap", capture({leg}), path("out.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "30 packets, 1 lost, 1 duplicated, 0 SID frames, 0 refused payloads, 0.60 s"))
        << r.err;
    const samples out = wav_samples(path("out.wav"));
    ASSERT_EQ(out.size(), 30u * 160);
    EXPECT_TRUE(std::all_of(out.begin() + 12 * 160, out.begin() + 13 * 160, [](int16_t s) { return s == 0; }));
}

TEST_F(TarnelDecodePcap, TruncatedCaptureIsReportedAndWhatWasReadDecodes) {
    const std::string cap = capture({talking_leg(30)});
    const std::string whole = read_file(cap);
    write_file(cap, whole.substr(0, whole.size() - 10));
    const run_result r = run_tool({"decode", "--pcap", cap, path("out.wav")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    ASSERT_EQ(count_lines(r.err), 2u) << r.err;
    EXPECT_TRUE(contains(r.err, cap)) << r.err;
    EXPECT_TRUE(contains(r.err, "truncated")) << r.err;
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
