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
    r.ok = read_capture(
        file,
        [&r](const udp_datagram& d) {
            r.datagrams.push_back(d);
            r.payloads.emplace_back(d.payload, d.payload + d.payload_size);
        },
        &r.summary, &r.error);
    return r;
}

frame_parse_result parse(int link_type, const bytes& f, udp_datagram* d) {
    return parse_captured_frame(link_type, f.data(), f.size(), d);
}

class CaptureFile : public scratch_test {};
class LinkLayers : public scratch_test,
                   public ::testing::WithParamInterface<std::tuple<encap, bool>> {};

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

INSTANTIATE_TEST_SUITE_P(Capture, LinkLayers,
                         ::testing::Combine(::testing::Values(encap::kEthernet, encap::kVlan,
                                                              encap::kSll, encap::kSll2,
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
    ASSERT_EQ(
        frame_parse_result::kUdp,
        parse(DLT_RAW, ipv6(1, 2, u, {{0, bytes(8, 0)}, {60, dest_opts}, {51, auth}, {44, frag}}),
              &d));
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
        EXPECT_NE(frame_parse_result::kUdp,
                  parse(DLT_EN10MB, bytes(f.begin(), f.begin() + long(n)), &d))
            << n;
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
    const std::vector<record> records(
        10, {frame(encap::kEthernet, ipv4(1, 2, udp(1, 2, bytes(20, 1)))), 0});
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
    ASSERT_TRUE(
        write_capture(path("call.pcap"), sample_call(tarnel::test::load_speech_sample()), &error))
        << error;
    EXPECT_EQ(read_file(path("call.pcap")),
              read_file(tarnel::test::source_path("samples/call.pcap")))
        << "samples/call.pcap is stale: rebuild it with make_call_pcap";
}

// ---- what capture tools write ----------------------------------------------------------------

namespace {

// A pcapng file block by block, in either byte order.
class pcapng_builder {
public:
    explicit pcapng_builder(bool big) : big_(big) {}
    void section() {
        block(0x0A0D0D0A, concat(u32(0x1A2B3C4D), concat(u16(1), concat(u16(0), bytes(8, 0xFF)))));
    }
    // An interface; `resolution` is the if_tsresol option's byte (none when 0).
    void interface(int link_type, uint8_t resolution = 0, int64_t offset_seconds = 0) {
        bytes body = concat(concat(u16(static_cast<uint16_t>(link_type)), u16(0)), u32(0));
        if (resolution) body = concat(body, concat(concat(u16(9), u16(1)), {resolution, 0, 0, 0}));
        if (offset_seconds)
            body = concat(
                body, concat(concat(u16(14), u16(8)), u64(static_cast<uint64_t>(offset_seconds))));
        block(1, concat(body, u32(0)));
    }
    void enhanced(uint32_t itf, uint64_t ticks, const bytes& frame, uint32_t origlen = 0) {
        bytes body = concat(
            concat(u32(itf), u32(static_cast<uint32_t>(ticks >> 32))),
            concat(u32(static_cast<uint32_t>(ticks)), u32(static_cast<uint32_t>(frame.size()))));
        body = concat(concat(body, u32(origlen ? origlen : static_cast<uint32_t>(frame.size()))),
                      padded(frame));
        block(6, body);
    }
    void simple(const bytes& frame) {
        block(3, concat(u32(static_cast<uint32_t>(frame.size())), padded(frame)));
    }
    void obsolete(uint16_t itf, uint64_t ticks, const bytes& frame) {
        bytes body = concat(
            concat(u16(itf), u16(0)),
            concat(u32(static_cast<uint32_t>(ticks >> 32)), u32(static_cast<uint32_t>(ticks))));
        body = concat(concat(body, u32(static_cast<uint32_t>(frame.size()))),
                      u32(static_cast<uint32_t>(frame.size())));
        block(2, concat(body, padded(frame)));
    }
    void unknown() { block(0x0BAD, bytes(12, 7)); }
    bytes data;

private:
    bytes u16(uint16_t v) const {
        return big_ ? bytes{uint8_t(v >> 8), uint8_t(v)} : bytes{uint8_t(v), uint8_t(v >> 8)};
    }
    bytes u32(uint32_t v) const {
        return big_ ? concat(u16(uint16_t(v >> 16)), u16(uint16_t(v)))
                    : concat(u16(uint16_t(v)), u16(uint16_t(v >> 16)));
    }
    bytes u64(uint64_t v) const {
        return big_ ? concat(u32(uint32_t(v >> 32)), u32(uint32_t(v)))
                    : concat(u32(uint32_t(v)), u32(uint32_t(v >> 32)));
    }
    static bytes padded(bytes b) {
        b.resize((b.size() + 3) / 4 * 4, 0);
        return b;
    }
    void block(uint32_t type, const bytes& body) {
        const uint32_t length = static_cast<uint32_t>(body.size() + 12);
        data = concat(data, concat(concat(u32(type), u32(length)), concat(body, u32(length))));
    }
    bool big_;
};

bytes udp_frame(encap e, uint8_t tag) {
    return frame(e, ipv4(1, 2, udp(4000, 5000, bytes(20, tag))));
}

}  // namespace

TEST_F(CaptureFile, PcapngSectionsInterfacesAndBlocksOfEveryKind) {
    // Two sections written in opposite byte orders, as concatenating captures of two machines
    // gives; interfaces of different link types and timestamp resolutions; simple, obsolete
    // and unknown blocks.
    std::string file;
    for (bool big : {false, true}) {
        pcapng_builder b(big);
        b.section();
        b.interface(DLT_EN10MB);               // microseconds
        b.interface(DLT_LINUX_SLL, 9);         // nanoseconds
        b.interface(DLT_RAW, 0x80 | 10, 100);  // 1/1024 s, 100 s later
        b.unknown();
        b.enhanced(0, 1000, udp_frame(encap::kEthernet, 1));
        b.enhanced(1, 2000000, udp_frame(encap::kSll, 2));
        b.enhanced(2, 512, udp_frame(encap::kRaw, 3));
        b.obsolete(0, 3000, udp_frame(encap::kEthernet, 4));
        b.simple(udp_frame(encap::kEthernet, 5));          // no time of its own
        b.enhanced(7, 1, udp_frame(encap::kEthernet, 6));  // no such interface
        file += as_string(b.data);
    }
    write_file(path("mixed.pcapng"), file);
    const read_result r = read(path("mixed.pcapng"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.summary.truncated) << r.summary.warning;
    EXPECT_EQ(2u, r.summary.sections);
    EXPECT_EQ((std::vector<int>{DLT_EN10MB, DLT_LINUX_SLL, DLT_RAW}), r.summary.link_types);
    EXPECT_EQ(2u, r.summary.malformed);
    ASSERT_EQ(10u, r.datagrams.size());
    const int64_t times[] = {1000, 2000, 100500000, 3000, 3000};
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(times[i % 5], r.datagrams[i].time_us) << i;
        EXPECT_EQ(bytes(20, static_cast<uint8_t>(i % 5 + 1)), r.payloads[i]) << i;
    }

    // A block whose two lengths differ is damage: what came before it is kept.
    pcapng_builder one(false);
    one.section();
    one.interface(DLT_EN10MB);
    one.enhanced(0, 1, udp_frame(encap::kEthernet, 1));
    bytes broken = one.data;
    broken[broken.size() - 2] = 0x7F;
    write_file(path("broken.pcapng"), as_string(broken));
    const read_result b = read(path("broken.pcapng"));
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_TRUE(b.summary.truncated);
    EXPECT_TRUE(contains(b.summary.warning, "a block's two lengths differ")) << b.summary.warning;
}

TEST_F(CaptureFile, PacketsCutByTheSnapshotLengthAreDeliveredWithWhatSurvived) {
    const bytes whole =
        frame(encap::kEthernet, ipv4(1, 2, udp(4000, 5000, rtp(1, 2, 3, 18, bytes(20, 9)))));
    const struct {
        size_t keep;
        uint64_t datagrams, unplaced;
        size_t payload;
    } cases[] = {
        {whole.size(), 1, 0, 32}, {60, 1, 0, 18}, {42, 1, 0, 0}, {40, 0, 1, 0}, {20, 0, 1, 0}};
    for (const auto& c : cases) {
        pcapng_builder b(false);
        b.section();
        b.interface(DLT_EN10MB);
        b.enhanced(0, 0, bytes(whole.begin(), whole.begin() + static_cast<long>(c.keep)),
                   static_cast<uint32_t>(whole.size()));
        write_file(path("cut.pcapng"), as_string(b.data));
        const read_result r = read(path("cut.pcapng"));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(c.datagrams, r.summary.udp_datagrams) << c.keep;
        EXPECT_EQ(c.unplaced, r.summary.cut_unplaced) << c.keep;
        EXPECT_EQ(0u, r.summary.malformed) << c.keep;
        if (c.datagrams) {
            EXPECT_EQ(c.payload, r.datagrams[0].payload_size) << c.keep;
            EXPECT_EQ(32u, r.datagrams[0].original_size) << c.keep;
        }
    }
}

TEST_F(CaptureFile, FragmentsOfBothIpVersionsAreReassembled) {
    // A datagram of 8 + 40 bytes in three pieces, given in the order of `order`.
    const bytes u = udp(4000, 5000, bytes(40, 0x5A));
    const std::vector<std::pair<size_t, size_t>> pieces = {{0, 16}, {16, 32}, {32, 48}};
    std::vector<record> records;
    for (size_t i : {2, 0, 1}) {
        const bytes part(u.begin() + static_cast<long>(pieces[i].first),
                         u.begin() + static_cast<long>(pieces[i].second));
        const bool more = i < 2;
        bytes v4 =
            ipv4(1, 2, part, static_cast<uint16_t>((more ? 0x2000 : 0) | (pieces[i].first / 8)));
        tarnel::media::put_be16(&v4[4], 77);
        bytes frag(8, 0);
        tarnel::media::put_be16(&frag[2], static_cast<uint16_t>(pieces[i].first | (more ? 1 : 0)));
        tarnel::media::put_be32(&frag[4], 0xF00D);
        bytes v6 = ipv6(1, 2, part, {{44, frag}});
        records.push_back({frame(encap::kEthernet, v4), 10});
        records.push_back({frame(encap::kEthernet, v6), 20});
    }
    write_pcap(path("frag.pcap"), DLT_EN10MB, records);
    const read_result r = read(path("frag.pcap"));
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(2u, r.datagrams.size());
    EXPECT_EQ(6u, r.summary.reassembly.fragments);
    EXPECT_EQ(2u, r.summary.reassembly.reassembled);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(r.datagrams[i].reassembled);
        EXPECT_EQ(bytes(40, 0x5A), r.payloads[i]);
        EXPECT_EQ(6u - 1 + i, r.datagrams[i].frame_number);
    }
    EXPECT_EQ("10.0.0.1:4000", r.datagrams[0].source.to_string());
    EXPECT_EQ("[2001:db8::1]:4000", r.datagrams[1].source.to_string());
}

TEST(IpReassembly, OverlapsRepeatsLimitsAndTimeouts) {
    struct piece {
        uint32_t id;
        size_t offset, size;
        bool more;
        uint8_t fill;
        int64_t time_us = 0;
    };
    const struct {
        const char* what;
        std::vector<piece> pieces;
        std::vector<size_t> completed;  // datagram sizes completed, in order
        reassembly_stats expected;      // fragments is not compared
        reassembly_limits limits;
    } cases[] = {
        {"in order",
         {{1, 0, 16, true, 1}, {1, 16, 16, true, 1}, {1, 32, 5, false, 1}},
         {37},
         {},
         {}},
        {"last first",
         {{1, 32, 5, false, 1}, {1, 0, 16, true, 1}, {1, 16, 16, true, 1}},
         {37},
         {},
         {}},
        {"repeat and consistent overlap",
         {{1, 0, 16, true, 1}, {1, 0, 16, true, 1}, {1, 8, 16, true, 1}, {1, 24, 8, false, 1}},
         {32},
         {0, 1, 1, 0, 0, 0},
         {}},
        {"conflicting overlap",
         {{1, 0, 16, true, 1}, {1, 8, 16, false, 2}},
         {},
         {0, 0, 0, 1, 0, 0},
         {}},
        {"two different ends",
         {{1, 16, 8, false, 1}, {1, 0, 8, false, 1}},
         {},
         {0, 0, 0, 1, 0, 0},
         {}},
        {"past 65535 bytes", {{1, 65528, 16, false, 1}}, {}, {0, 0, 0, 0, 1, 0}, {}},
        {"a piece never comes",
         {{1, 0, 16, true, 1}, {1, 24, 8, false, 1}},
         {},
         {0, 0, 0, 0, 0, 1},
         {}},
        {"one microsecond past the timeout",
         {{1, 0, 16, true, 1, 0}, {2, 0, 8, false, 1, 30000001}, {1, 16, 8, false, 1, 30000001}},
         {8},
         {0, 1, 0, 0, 0, 2},
         {}},
        {"oldest given up for room",
         {{1, 0, 8, true, 1}, {2, 0, 8, true, 1}, {3, 0, 8, true, 1}, {1, 8, 8, false, 1}},
         {},
         {0, 0, 0, 0, 0, 4},
         {2, std::size_t{64} << 20, 30000000}},
    };
    for (const auto& c : cases) {
        ip_reassembler r(c.limits);
        std::vector<size_t> completed;
        for (const piece& p : c.pieces) {
            const bytes data(p.size, p.fill);
            ip_fragment f;
            f.key.family = 4;
            f.key.protocol = 17;
            f.key.id = p.id;
            f.offset = p.offset;
            f.more = p.more;
            f.data = data.data();
            f.size = data.size();
            std::vector<uint8_t> out;
            if (r.add(f, p.time_us, &out)) {
                completed.push_back(out.size());
                EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 1; }))
                    << c.what;
            }
        }
        r.finish();
        EXPECT_EQ(c.completed, completed) << c.what;
        EXPECT_EQ(c.expected.repeated, r.stats().repeated) << c.what;
        EXPECT_EQ(c.expected.conflicting, r.stats().conflicting) << c.what;
        EXPECT_EQ(c.expected.oversized, r.stats().oversized) << c.what;
        EXPECT_EQ(c.expected.incomplete, r.stats().incomplete) << c.what;
        EXPECT_EQ(0u, r.bytes_held()) << c.what;
    }
}
