// Reading UDP datagrams out of captures of every link layer and IP version, damaged frames and
// files included, and the capture writer that made samples/call.pcap.
#include <random>
#include <string>
#include <vector>

#include "capture/capture_reader.h"
#include "capture/capture_writer.h"
#include "capture/rtp_streams.h"
#include "support/tarnel_run.h"
#include "tool/capture_builders.h"

using namespace tarnel::capture;
using namespace tarnel::test;

namespace {

// The UDP datagrams of a capture, their payloads copied.
struct read_result {
    bool ok = false;
    std::string error;
    capture_summary summary;
    std::vector<udp_datagram> datagrams;
    std::vector<bytes> payloads;
};

read_result read(const std::string& file) {
    read_result r;
    r.ok = read_capture(file, [&r](const udp_datagram& d) {
        r.datagrams.push_back(d);
        r.payloads.emplace_back(d.payload, d.payload + d.payload_size);
    }, &r.summary, &r.error);
    return r;
}

frame_parse_result parse(int link_type, const bytes& f, udp_datagram* d) {
    return parse_captured_frame(link_type, f.data(), f.size(), d);
}

class CaptureFile : public scratch_test {};
class LinkLayers : public scratch_test, public ::testing::WithParamInterface<std::tuple<encap, bool>> {};

}  // namespace

TEST_P(LinkLayers, EveryEncapsulationYieldsTheSameDatagrams) {
    const auto [e, v6] = GetParam();
    std::vector<record> records;
    for (uint16_t i = 0; i < 5; ++i) {
        const bytes u = udp(4000, 5000, bytes(20, static_cast<uint8_t>(i)));
        records.push_back({frame(e, v6 ? ipv6(1, 2, u) : ipv4(1, 2, u)), 1000 + i});
    }
    write_pcap(path("call.pcap"), link_type_of(e), records);
    const read_result r = read(path("call.pcap"));
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(5u, r.datagrams.size());
    for (size_t i = 0; i < 5; ++i) {
        const udp_datagram& d = r.datagrams[i];
        EXPECT_EQ(v6 ? "[2001:db8::1]:4000" : "10.0.0.1:4000", d.source.to_string());
        EXPECT_EQ(v6 ? "2001:db8::2" : "10.0.0.2", d.destination.address_string());
        EXPECT_EQ(5000, d.destination.port);
        EXPECT_EQ(i + 1, d.frame_number);
        EXPECT_EQ(static_cast<int64_t>(1000 + i), d.time_us);
        EXPECT_EQ(bytes(20, static_cast<uint8_t>(i)), r.payloads[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Capture, LinkLayers,
    ::testing::Combine(::testing::Values(encap::kEthernet, encap::kVlan, encap::kSll, encap::kSll2,
                                         encap::kRaw, encap::kLoopback),
                       ::testing::Bool()));

TEST(FrameParsing, Ipv4OptionsAndFragments) {
    const bytes u = udp(1, 2, bytes(30, 7));
    const struct {
        uint16_t frag;
        size_t options;
        frame_parse_result expected;
    } cases[] = {{0, 8, frame_parse_result::kUdp},
                 {0x2000, 0, frame_parse_result::kFragment},  // more fragments follow
                 {0x0010, 0, frame_parse_result::kFragment},  // a later piece
                 {0x4000, 0, frame_parse_result::kUdp}};      // don't-fragment bit alone
    for (const auto& c : cases) {
        udp_datagram d;
        EXPECT_EQ(c.expected, parse(DLT_RAW, ipv4(1, 2, u, c.frag, c.options), &d)) << c.frag;
        if (c.expected == frame_parse_result::kUdp) {
            EXPECT_EQ(30u, d.payload_size);
        }
    }
}

TEST(FrameParsing, Ipv6ExtensionHeadersAreWalked) {
    udp_datagram d;
    const bytes u = udp(1, 2, bytes(12, 7));
    bytes dest_opts(16, 0), auth(16, 0), frag(8, 0);
    dest_opts[1] = 1;  // 16 bytes, in 8-byte units after the first
    auth[1] = 2;       // 16 bytes, in 4-byte units after the first two
    ASSERT_EQ(frame_parse_result::kUdp,
              parse(DLT_RAW, ipv6(1, 2, u, {{0, bytes(8, 0)}, {60, dest_opts}, {51, auth}, {44, frag}}), &d));
    EXPECT_EQ(12u, d.payload_size);
    frag[3] = 1;  // more fragments follow
    EXPECT_EQ(frame_parse_result::kFragment, parse(DLT_RAW, ipv6(1, 2, u, {{44, frag}}), &d));
    dest_opts[1] = 9;  // claims 80 bytes
    EXPECT_EQ(frame_parse_result::kMalformed, parse(DLT_RAW, ipv6(1, 2, u, {{60, dest_opts}}), &d));
}

TEST(FrameParsing, LoopbackFamilyInEitherByteOrder) {
    udp_datagram d;
    const bytes v4 = ipv4(1, 2, udp(1, 2, bytes(3, 7))), v6 = ipv6(1, 2, udp(1, 2, bytes(3, 7)));
    EXPECT_EQ(frame_parse_result::kUdp, parse(DLT_NULL, concat({0, 0, 0, 2}, v4), &d));
    EXPECT_EQ(frame_parse_result::kUdp, parse(DLT_NULL, concat({2, 0, 0, 0}, v4), &d));
    EXPECT_EQ(frame_parse_result::kUdp, parse(DLT_LOOP, concat({0, 0, 0, 30}, v6), &d));
    EXPECT_EQ(6, d.source.family);
    EXPECT_EQ(frame_parse_result::kNotUdp, parse(DLT_NULL, concat({0, 0, 0, 7}, v4), &d));
}

TEST(FrameParsing, LengthsAreCheckedAgainstCapturedBytes) {
    udp_datagram d;
    const bytes f = frame(encap::kVlan, ipv4(1, 2, udp(1, 2, bytes(40, 7))));
    // Every shorter capture of the same frame must be refused, never read past.
    for (size_t n = 0; n < f.size(); ++n)
        EXPECT_NE(frame_parse_result::kUdp, parse(DLT_EN10MB, bytes(f.begin(), f.begin() + long(n)), &d)) << n;
    const bytes padded = frame(encap::kEthernet, ipv4(1, 2, udp(1, 2, bytes(2, 7))));
    ASSERT_EQ(60u, padded.size());
    ASSERT_EQ(frame_parse_result::kUdp, parse(DLT_EN10MB, padded, &d));
    EXPECT_EQ(2u, d.payload_size);
    bytes lying = ipv4(1, 2, udp(1, 2, bytes(40, 7)));
    tarnel::media::put_be16(&lying[24], 60);  // UDP length past the IP datagram
    EXPECT_EQ(frame_parse_result::kMalformed, parse(DLT_RAW, lying, &d));
}

TEST(FrameParsing, RandomBytesAreSurvived) {
    std::mt19937 rng(7);
    const bytes base = frame(encap::kVlan, ipv6(1, 2, udp(1, 2, rtp(1, 2, 3, 18, bytes(20, 0)))));
    const int types[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_NULL, DLT_LOOP};
    rtp_stream_collector collector;
    for (int i = 0; i < 20000; ++i) {
        bytes b = base;
        for (int k = 0; k < 4; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        b.resize(rng() % (b.size() + 1));
        udp_datagram d;
        if (parse(types[i % 6], b, &d) == frame_parse_result::kUdp) {
            ASSERT_LE(d.payload + d.payload_size, b.data() + b.size());
            collector.add(d);
        }
    }
    collector.finish();
}

TEST_F(CaptureFile, PcapngIsRead) {
    std::vector<record> records(3, {frame(encap::kSll2, ipv4(1, 2, udp(1, 2, bytes(9, 1)))), 1000});
    write_pcapng(path("call.pcapng"), DLT_LINUX_SLL2, records);
    const read_result r = read(path("call.pcapng"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(3u, r.datagrams.size());
    EXPECT_EQ(std::vector<int>{DLT_LINUX_SLL2}, r.summary.link_types);
}

TEST_F(CaptureFile, TruncatedFileKeepsWhatWasRead) {
    const std::vector<record> records(10, {frame(encap::kEthernet, ipv4(1, 2, udp(1, 2, bytes(20, 1)))), 0});
    write_pcap(path("call.pcap"), DLT_EN10MB, records);
    const std::string all = read_file(path("call.pcap"));
    write_file(path("call.pcap"), all.substr(0, all.size() - 5));
    const read_result r = read(path("call.pcap"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.summary.truncated);
    EXPECT_TRUE(contains(r.summary.warning, "after 9 packets")) << r.summary.warning;
    EXPECT_EQ(9u, r.datagrams.size());
}

TEST_F(CaptureFile, UnreadableOrUnsupportedCaptureIsAnError) {
    EXPECT_FALSE(read(path("missing.pcap")).ok);
    EXPECT_TRUE(contains(read(path("missing.pcap")).error, "missing.pcap"));
    write_pcap(path("wifi.pcap"), DLT_IEEE802_11, {{bytes(40, 0), 0}});
    const read_result wifi = read(path("wifi.pcap"));
    EXPECT_FALSE(wifi.ok);
    EXPECT_TRUE(contains(wifi.error, "link type 105")) << wifi.error;
}

TEST_F(CaptureFile, BundledCaptureIsWhatItsGeneratorWrites) {
    std::string error;
    ASSERT_TRUE(write_capture(path("call.pcap"), sample_call(tarnel::test::load_speech_sample()), &error))
        << error;
    EXPECT_EQ(read_file(path("call.pcap")), read_file(tarnel::test::source_path("samples/call.pcap")))
        << "samples/call.pcap is stale: rebuild it with make_call_pcap";
}
