// Capture reading and playout planning, on captures written here with the capture library.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "capture/capture_reader.h"
#include "capture/rtp_streams.h"

using namespace tarnel::capture;

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint32_t kSsrc = 0x1a2b3c4d;

void put16(bytes& b, std::size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void put32(bytes& b, std::size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v >> 16));
    put16(b, at + 2, static_cast<uint16_t>(v));
}

bytes concat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A payload that names its packet, so the plan's order can be checked.
bytes payload_for(uint16_t seq, std::size_t size) {
    bytes p(size, 0x55);
    if (size >= 2) put16(p, 0, seq);
    return p;
}

bytes rtp(uint16_t seq, uint32_t ts, uint32_t ssrc, uint8_t pt, const bytes& payload) {
    bytes h(12, 0);
    h[0] = 0x80;
    h[1] = pt;
    put16(h, 2, seq);
    put32(h, 4, ts);
    put32(h, 8, ssrc);
    return concat(h, payload);
}

bytes udp(uint16_t sport, uint16_t dport, const bytes& payload) {
    bytes h(8, 0);
    put16(h, 0, sport);
    put16(h, 2, dport);
    put16(h, 4, static_cast<uint16_t>(8 + payload.size()));
    return concat(h, payload);
}

bytes ipv4(uint8_t src, uint8_t dst, const bytes& l4, uint16_t frag = 0, std::size_t options = 0) {
    bytes h(20 + options, 0);
    h[0] = static_cast<uint8_t>(0x40 | (h.size() / 4));
    put16(h, 2, static_cast<uint16_t>(h.size() + l4.size()));
    put16(h, 6, frag);
    h[8] = 64;
    h[9] = 17;
    const uint8_t s[4] = {10, 0, 0, src}, d[4] = {10, 0, 0, dst};
    std::copy(s, s + 4, h.begin() + 12);
    std::copy(d, d + 4, h.begin() + 16);
    return concat(h, l4);
}

// `ext` is a chain of (header type, header bytes); each header's first byte is set here.
bytes ipv6(uint8_t src, uint8_t dst, const bytes& l4,
           const std::vector<std::pair<uint8_t, bytes>>& ext = {}) {
    bytes chain;
    for (std::size_t i = 0; i < ext.size(); ++i) {
        bytes e = ext[i].second;
        e[0] = i + 1 < ext.size() ? ext[i + 1].first : 17;
        chain = concat(chain, e);
    }
    bytes h(40, 0);
    h[0] = 0x60;
    put16(h, 4, static_cast<uint16_t>(chain.size() + l4.size()));
    h[6] = ext.empty() ? 17 : ext[0].first;
    h[7] = 64;
    h[8] = 0x20; h[9] = 0x01; h[10] = 0x0d; h[11] = 0xb8; h[23] = src;
    h[24] = 0x20; h[25] = 0x01; h[26] = 0x0d; h[27] = 0xb8; h[39] = dst;
    return concat(concat(h, chain), l4);
}

enum class encap { ethernet, vlan, sll, sll2, raw, loopback };

int link_type_of(encap e) {
    switch (e) {
        case encap::sll: return DLT_LINUX_SLL;
        case encap::sll2: return DLT_LINUX_SLL2;
        case encap::raw: return DLT_RAW;
        case encap::loopback: return DLT_NULL;
        default: return DLT_EN10MB;
    }
}

bytes frame(encap e, const bytes& ip) {
    const uint16_t type = (ip[0] >> 4) == 6 ? 0x86DD : 0x0800;
    bytes h;
    switch (e) {
        case encap::ethernet: h.assign(14, 0xEE); put16(h, 12, type); break;
        case encap::vlan:  // 802.1ad outer tag, 802.1Q inner tag
            h.assign(22, 0xEE); put16(h, 12, 0x88A8); put16(h, 16, 0x8100); put16(h, 20, type);
            break;
        case encap::sll: h.assign(16, 0); put16(h, 14, type); break;
        case encap::sll2: h.assign(20, 0); put16(h, 0, type); break;
        case encap::raw: break;
        case encap::loopback: h = {static_cast<uint8_t>(type == 0x0800 ? 2 : 30), 0, 0, 0}; break;
    }
    bytes f = concat(h, ip);
    // Ethernet pads short frames; the UDP length, not the frame, must bound the payload.
    if (e == encap::ethernet && f.size() < 60) f.resize(60, 0);
    return f;
}

struct record {
    bytes data;
    int64_t time_us;
};

void write_pcap(const std::string& path, int link_type, const std::vector<record>& records) {
    pcap_t* dead = pcap_open_dead(link_type, 65535);
    ASSERT_NE(dead, nullptr);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr) << pcap_geterr(dead);
    for (const record& r : records) {
        pcap_pkthdr h{};
        h.ts.tv_sec = r.time_us / 1000000;
        h.ts.tv_usec = r.time_us % 1000000;
        h.caplen = h.len = static_cast<bpf_u_int32>(r.data.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &h, r.data.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

// The capture library writes only classic pcap; a minimal pcapng is laid out by hand.
void write_pcapng(const std::string& path, int link_type, const std::vector<record>& records) {
    std::string out;
    auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    u32(0x0A0D0D0A); u32(28); u32(0x1A2B3C4D); u16(1); u16(0); u32(0xFFFFFFFF); u32(0xFFFFFFFF);
    u32(28);
    u32(1); u32(20); u16(static_cast<uint16_t>(link_type)); u16(0); u32(65535); u32(20);
    for (const record& r : records) {
        const uint32_t padded = (static_cast<uint32_t>(r.data.size()) + 3) & ~3u;
        u32(6); u32(32 + padded); u32(0);
        u32(static_cast<uint32_t>(static_cast<uint64_t>(r.time_us) >> 32));
        u32(static_cast<uint32_t>(r.time_us));
        u32(static_cast<uint32_t>(r.data.size())); u32(static_cast<uint32_t>(r.data.size()));
        out.append(reinterpret_cast<const char*>(r.data.data()), r.data.size());
        out.append(padded - r.data.size(), '\0');
        u32(32 + padded);
    }
    std::ofstream(path, std::ios::binary) << out;
}

// One RTP packet of a call; `size` bytes of dummy G.729 payload.
struct pkt {
    uint16_t seq;
    uint32_t ts;
    std::size_t size = 20;
    uint8_t pt = 18;
    uint32_t ssrc = kSsrc;
    bool reverse = false;  // the other direction of the call
    bool v6 = false;
};

// n packets of two speech frames each, 20 ms apart.
std::vector<pkt> talk(uint16_t seq, uint32_t ts, int n, std::size_t size = 20) {
    std::vector<pkt> out;
    for (int i = 0; i < n; ++i)
        out.push_back({static_cast<uint16_t>(seq + i), ts + 160u * static_cast<uint32_t>(i), size});
    return out;
}

std::vector<pkt> operator+(std::vector<pkt> a, const std::vector<pkt>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes ip_for(const pkt& p) {
    const bytes u = p.reverse ? udp(5000, 4000, rtp(p.seq, p.ts, p.ssrc, p.pt, payload_for(p.seq, p.size)))
                              : udp(4000, 5000, rtp(p.seq, p.ts, p.ssrc, p.pt, payload_for(p.seq, p.size)));
    const uint8_t a = p.reverse ? 2 : 1, b = p.reverse ? 1 : 2;
    return p.v6 ? ipv6(a, b, u) : ipv4(a, b, u);
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "tarnel_pcap_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Packets arrive in vector order, 20 ms apart in capture time.
    std::string write(const std::vector<pkt>& pkts, encap e = encap::ethernet) {
        std::vector<record> records;
        for (std::size_t i = 0; i < pkts.size(); ++i)
            records.push_back({frame(e, ip_for(pkts[i])), 1700000000000000 + 20000 * static_cast<int64_t>(i)});
        const std::string file = path("call.pcap");
        write_pcap(file, link_type_of(e), records);
        return file;
    }

    capture_scan scan(const std::string& file, const rtp_options& options = rtp_options()) {
        capture_scan result;
        std::string error;
        EXPECT_TRUE(scan_capture(file, options, &result, &error)) << error;
        for (const rtp_stream& s : result.rtp.streams) expect_contiguous(s);
        return result;
    }

    capture_scan scan(const std::vector<pkt>& pkts, const rtp_options& options = rtp_options()) {
        return scan(write(pkts), options);
    }

    static void expect_contiguous(const rtp_stream& s) {
        uint64_t at = 0;
        for (const playout_event& e : s.plan) {
            EXPECT_EQ(at, e.offset);
            at += e.samples;
        }
        EXPECT_EQ(at, s.stats.samples);
    }

    static std::vector<uint16_t> played_sequence(const rtp_stream& s) {
        std::vector<uint16_t> seqs;
        for (const playout_event& e : s.plan)
            if (e.kind == playout_event::type::kPayload) {
                seqs.push_back(e.sequence);
                if (e.bytes.size() >= 2) {
                    EXPECT_EQ(e.sequence, (e.bytes[0] << 8) | e.bytes[1]) << "payload moved";
                }
            }
        return seqs;
    }

    static std::vector<playout_event> gaps(const rtp_stream& s) {
        std::vector<playout_event> out;
        for (const playout_event& e : s.plan)
            if (e.kind != playout_event::type::kPayload) out.push_back(e);
        return out;
    }

    std::string dir_;
};

}  // namespace

// --- reading captures -----------------------------------------------------------------------

class LinkLayers : public Capture, public ::testing::WithParamInterface<std::tuple<encap, bool>> {};

TEST_P(LinkLayers, EveryEncapsulationYieldsTheSameStream) {
    const auto [e, v6] = GetParam();
    std::vector<pkt> call = talk(100, 8000, 5);
    for (pkt& p : call) p.v6 = v6;
    const capture_scan r = scan(write(call, e));
    EXPECT_EQ(5u, r.capture.udp_datagrams);
    ASSERT_EQ(1u, r.rtp.streams.size());
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(v6 ? "2001:db8::1" : "10.0.0.1", s.key.source.address_string());
    EXPECT_EQ(4000, s.key.source.port);
    EXPECT_EQ(5000, s.key.destination.port);
    EXPECT_EQ(kSsrc, s.key.ssrc);
    EXPECT_EQ((std::vector<uint16_t>{100, 101, 102, 103, 104}), played_sequence(s));
    for (const playout_event& ev : s.plan) EXPECT_EQ(20u, ev.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Capture, LinkLayers,
    ::testing::Combine(::testing::Values(encap::ethernet, encap::vlan, encap::sll, encap::sll2,
                                         encap::raw, encap::loopback),
                       ::testing::Bool()));

TEST(FrameParsing, Ipv4OptionsAndFragments) {
    udp_datagram d;
    const bytes u = udp(1, 2, bytes(30, 7));
    EXPECT_EQ(frame_parse_result::kUdp, parse_captured_frame(DLT_RAW, ipv4(1, 2, u, 0, 8).data(),
                                                            u.size() + 28, &d));
    EXPECT_EQ(30u, d.payload_size);
    EXPECT_EQ(frame_parse_result::kFragment,
              parse_captured_frame(DLT_RAW, ipv4(1, 2, u, 0x2000).data(), u.size() + 20, &d));
    EXPECT_EQ(frame_parse_result::kFragment,
              parse_captured_frame(DLT_RAW, ipv4(1, 2, u, 0x0010).data(), u.size() + 20, &d));
    EXPECT_EQ(frame_parse_result::kUdp,  // don't-fragment bit alone
              parse_captured_frame(DLT_RAW, ipv4(1, 2, u, 0x4000).data(), u.size() + 20, &d));
}

TEST(FrameParsing, Ipv6ExtensionHeadersAreWalked) {
    udp_datagram d;
    const bytes u = udp(1, 2, bytes(12, 7));
    const bytes hop(8, 0), dest(16, 0), atomic(8, 0);
    bytes dest_opts = dest;
    dest_opts[1] = 1;  // 16 bytes
    bytes frag = atomic;
    const bytes ok = ipv6(1, 2, u, {{0, hop}, {60, dest_opts}, {44, frag}});
    EXPECT_EQ(frame_parse_result::kUdp, parse_captured_frame(DLT_RAW, ok.data(), ok.size(), &d));
    EXPECT_EQ(12u, d.payload_size);
    frag[3] = 1;  // more fragments follow
    const bytes first = ipv6(1, 2, u, {{44, frag}});
    EXPECT_EQ(frame_parse_result::kFragment,
              parse_captured_frame(DLT_RAW, first.data(), first.size(), &d));
    bytes long_opts = dest;
    long_opts[1] = 9;  // claims 80 bytes
    const bytes bad = ipv6(1, 2, u, {{60, long_opts}});
    EXPECT_EQ(frame_parse_result::kMalformed, parse_captured_frame(DLT_RAW, bad.data(), bad.size(), &d));
}

TEST(FrameParsing, LoopbackFamilyInEitherByteOrder) {
    udp_datagram d;
    const bytes v4 = concat({0, 0, 0, 2}, ipv4(1, 2, udp(1, 2, bytes(3, 7))));
    EXPECT_EQ(frame_parse_result::kUdp, parse_captured_frame(DLT_NULL, v4.data(), v4.size(), &d));
    const bytes v6 = concat({0, 0, 0, 30}, ipv6(1, 2, udp(1, 2, bytes(3, 7))));
    EXPECT_EQ(frame_parse_result::kUdp, parse_captured_frame(DLT_LOOP, v6.data(), v6.size(), &d));
    EXPECT_EQ(6, d.source.family);
    const bytes other = concat({0, 0, 0, 7}, ipv4(1, 2, udp(1, 2, bytes(3, 7))));
    EXPECT_EQ(frame_parse_result::kNotUdp,
              parse_captured_frame(DLT_NULL, other.data(), other.size(), &d));
}

TEST(FrameParsing, LengthsAreCheckedAgainstCapturedBytes) {
    udp_datagram d;
    const bytes f = frame(encap::vlan, ipv4(1, 2, udp(1, 2, bytes(40, 7))));
    // Every shorter capture of the same frame must be refused, never read past.
    for (std::size_t n = 0; n < f.size(); ++n) {
        const bytes cut(f.begin(), f.begin() + static_cast<long>(n));
        EXPECT_NE(frame_parse_result::kUdp, parse_captured_frame(DLT_EN10MB, cut.data(), n, &d)) << n;
    }
    const bytes padded = frame(encap::ethernet, ipv4(1, 2, udp(1, 2, bytes(2, 7))));
    ASSERT_EQ(60u, padded.size());
    ASSERT_EQ(frame_parse_result::kUdp,
              parse_captured_frame(DLT_EN10MB, padded.data(), padded.size(), &d));
    EXPECT_EQ(2u, d.payload_size);
    bytes lying = ipv4(1, 2, udp(1, 2, bytes(40, 7)));
    put16(lying, 24, 60);  // UDP length past the IP datagram
    EXPECT_EQ(frame_parse_result::kMalformed,
              parse_captured_frame(DLT_RAW, lying.data(), lying.size(), &d));
}

TEST(FrameParsing, RandomBytesAreSurvived) {
    std::mt19937 rng(7);
    const bytes base = frame(encap::vlan, ipv6(1, 2, udp(1, 2, rtp(1, 2, 3, 18, bytes(20, 0)))));
    const int types[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_NULL, DLT_LOOP};
    rtp_stream_collector collector;
    for (int i = 0; i < 20000; ++i) {
        bytes b = base;
        for (int k = 0; k < 4; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        b.resize(rng() % (b.size() + 1));
        udp_datagram d;
        if (parse_captured_frame(types[i % 6], b.data(), b.size(), &d) == frame_parse_result::kUdp) {
            ASSERT_LE(d.payload + d.payload_size, b.data() + b.size());
            collector.add(d);
        }
    }
    collector.finish();
}

TEST_F(Capture, PcapngIsRead) {
    std::vector<record> records;
    for (const pkt& p : talk(1, 0, 3)) records.push_back({frame(encap::sll2, ip_for(p)), 1000});
    write_pcapng(path("call.pcapng"), DLT_LINUX_SLL2, records);
    const capture_scan r = scan(path("call.pcapng"));
    ASSERT_EQ(1u, r.rtp.streams.size());
    EXPECT_EQ(3u, r.rtp.streams[0].stats.played);
}

TEST_F(Capture, TruncatedFileKeepsWhatWasRead) {
    const std::string file = write(talk(1, 0, 10));
    std::ifstream in(file, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << all.substr(0, all.size() - 5);
    const capture_scan r = scan(file);
    EXPECT_TRUE(r.capture.truncated);
    EXPECT_NE(std::string::npos, r.capture.warning.find("after 9 packets")) << r.capture.warning;
    ASSERT_EQ(1u, r.rtp.streams.size());
    EXPECT_EQ(9u, r.rtp.streams[0].stats.played);
}

TEST_F(Capture, UnreadableOrUnsupportedCaptureIsAnError) {
    capture_scan r;
    std::string error;
    EXPECT_FALSE(scan_capture(path("missing.pcap"), rtp_options(), &r, &error));
    EXPECT_NE(std::string::npos, error.find("missing.pcap"));
    write_pcap(path("wifi.pcap"), DLT_IEEE802_11, {{bytes(40, 0), 0}});
    EXPECT_FALSE(scan_capture(path("wifi.pcap"), rtp_options(), &r, &error));
    EXPECT_NE(std::string::npos, error.find("link type 105")) << error;
}

TEST_F(Capture, NoG729StreamIsReportedWithWhatIsThere) {
    std::vector<pkt> pcmu = talk(1, 0, 4, 160);
    for (pkt& p : pcmu) p.pt = 0;
    std::vector<record> records;
    for (const pkt& p : pcmu) records.push_back({frame(encap::ethernet, ip_for(p)), 0});
    records.push_back({frame(encap::ethernet, ipv4(1, 2, udp(53, 53, bytes(30, 0x12)))), 0});
    write_pcap(path("other.pcap"), DLT_EN10MB, records);
    const capture_scan r = scan(path("other.pcap"));
    EXPECT_TRUE(r.rtp.streams.empty());
    ASSERT_EQ(1u, r.rtp.other_streams.size());
    EXPECT_EQ(bytes{0}, r.rtp.other_streams[0].payload_types);
    EXPECT_EQ(1u, r.rtp.non_rtp_datagrams);
}

// --- RTP headers ----------------------------------------------------------------------------

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
    rtp_packet_view v;
    bytes p = rtp(1, 1, 1, 18, bytes(4, 0));
    EXPECT_EQ(rtp_parse_result::kTooShort, parse_rtp(p.data(), 11, &v));
    p[0] = 0x40;
    EXPECT_EQ(rtp_parse_result::kBadVersion, parse_rtp(p.data(), p.size(), &v));
    p[0] = 0x82;  // two CSRCs in 4 bytes
    EXPECT_EQ(rtp_parse_result::kBadHeader, parse_rtp(p.data(), p.size(), &v));
    p[0] = 0x90;
    p[14] = 0;
    p[15] = 1;  // extension of 4 more bytes than there are
    EXPECT_EQ(rtp_parse_result::kBadHeader, parse_rtp(p.data(), p.size(), &v));
    p[0] = 0xA0;
    p.back() = 5;
    EXPECT_EQ(rtp_parse_result::kBadPadding, parse_rtp(p.data(), p.size(), &v));
    p.back() = 0;
    EXPECT_EQ(rtp_parse_result::kBadPadding, parse_rtp(p.data(), p.size(), &v));
    p = rtp(1, 1, 1, 200, bytes(4, 0));  // a sender report sharing the port
    EXPECT_EQ(rtp_parse_result::kRtcp, parse_rtp(p.data(), p.size(), &v));
}

TEST(RtpHeader, PayloadShapes) {
    const struct { std::size_t size; bool ok; std::size_t speech; bool sid; uint32_t samples; } cases[] = {
        {0, false, 0, false, 0}, {2, true, 0, true, 80},    {10, true, 1, false, 80},
        {22, true, 2, true, 240}, {5, false, 0, false, 0},  {14, false, 0, false, 0}};
    for (const auto& c : cases) {
        const g729_payload_shape s = classify_g729_payload(c.size);
        EXPECT_EQ(c.ok, s.well_formed) << c.size;
        EXPECT_EQ(c.speech, s.speech_frames) << c.size;
        EXPECT_EQ(c.sid, s.sid) << c.size;
        EXPECT_EQ(c.samples, s.samples()) << c.size;
    }
}

TEST(StreamNames, LabelsAreFileNames) {
    rtp_stream_key k;
    k.source.family = k.destination.family = 4;
    k.source.address = {10, 0, 0, 1};
    k.destination.address = {10, 0, 0, 2};
    k.source.port = 4000;
    k.destination.port = 5000;
    k.ssrc = kSsrc;
    EXPECT_EQ("10.0.0.1_4000-10.0.0.2_5000_ssrc1a2b3c4d.wav", stream_file_name(k));
    EXPECT_EQ("10.0.0.1:4000 -> 10.0.0.2:5000 ssrc 0x1a2b3c4d", stream_description(k));
    k.source.family = 6;
    k.source.address = {0x20, 0x01, 0x0d, 0xb8};
    k.source.address[15] = 1;
    EXPECT_EQ("2001.db8..1_4000-10.0.0.2_5000_ssrc1a2b3c4d", stream_label(k));
    EXPECT_EQ("[2001:db8::1]:4000", k.source.to_string());
}

// --- sequencing and timeline ----------------------------------------------------------------

TEST_F(Capture, InOrderStreamIsContiguous) {
    const capture_scan r = scan(talk(1, 1000, 50));
    ASSERT_EQ(1u, r.rtp.streams.size());
    const rtp_stream_stats& st = r.rtp.streams[0].stats;
    EXPECT_EQ(50u, st.packets);
    EXPECT_EQ(0u, st.lost + st.duplicated + st.late + st.reordered);
    EXPECT_EQ(100u, st.speech_frames);
    EXPECT_DOUBLE_EQ(1.0, st.duration_seconds());
    EXPECT_EQ(1000u, st.first_timestamp);
    EXPECT_EQ(1000u + 49 * 160, st.last_timestamp);
    EXPECT_TRUE(gaps(r.rtp.streams[0]).empty());
}

TEST_F(Capture, LostSpeechBecomesSilenceOfTheMissingLength) {
    std::vector<pkt> call = talk(1, 0, 10);
    call.erase(call.begin() + 4, call.begin() + 6);
    const capture_scan r = scan(call);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(2u, s.stats.lost);
    EXPECT_EQ(1600u, s.stats.samples);
    const auto g = gaps(s);
    ASSERT_EQ(1u, g.size());
    EXPECT_EQ(playout_event::type::kSilence, g[0].kind);
    EXPECT_EQ(playout_event::cause::kLoss, g[0].reason);
    EXPECT_EQ(2u, g[0].missing_packets);
    EXPECT_EQ(640u, g[0].offset);
    EXPECT_EQ(320u, g[0].samples);
}

TEST_F(Capture, DuplicatesAreDroppedWhereverTheyArrive) {
    std::vector<pkt> call = talk(1, 0, 30);
    call.insert(call.begin() + 3, call[2]);  // back to back
    call.push_back(call[5]);                 // long after, out of the window too
    const capture_scan r = scan(call);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(32u, s.stats.packets);
    EXPECT_EQ(2u, s.stats.duplicated);
    EXPECT_EQ(0u, s.stats.late);
    EXPECT_EQ(30u, s.stats.played);
}

TEST_F(Capture, ReorderingWithinTheWindowIsRepaired) {
    std::vector<pkt> call = talk(1, 0, 10);
    std::swap(call[3], call[4]);
    std::rotate(call.begin() + 5, call.begin() + 6, call.begin() + 9);  // seq 6 arrives 3 late
    rtp_options options;
    options.reorder_window = 4;
    const capture_scan r = scan(call, options);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(2u, s.stats.reordered);
    EXPECT_EQ(0u, s.stats.late);
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), played_sequence(s));
}

TEST_F(Capture, PacketsBeyondTheWindowAreDroppedNotCountedLost) {
    std::vector<pkt> call = talk(1, 0, 10);
    std::rotate(call.begin() + 2, call.begin() + 3, call.begin() + 7);  // seq 3 arrives 4 late
    rtp_options options;
    options.reorder_window = 4;
    const capture_scan r = scan(call, options);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(1u, s.stats.late);
    EXPECT_EQ(0u, s.stats.lost);
    EXPECT_EQ(9u, s.stats.played);
    const auto g = gaps(s);
    ASSERT_EQ(1u, g.size());
    EXPECT_EQ(playout_event::cause::kLoss, g[0].reason);
    EXPECT_EQ(160u, g[0].samples);
}

TEST_F(Capture, SilentPeriodAfterSidIsComfortNoise) {
    std::vector<pkt> call = talk(1, 0, 4);
    call.push_back({5, 640, 22});                   // speech, then the SID that opens a silence
    call.push_back({6, 880 + 1600, 2});             // a noise update 200 ms later
    call = call + talk(7, 2560 + 8000, 5);          // talk resumes 1 s later
    call.push_back({12, 11360, 2});
    call = call + talk(14, 11440 + 4000, 2);        // the update in between (13) is lost
    const capture_scan r = scan(call);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(3u, s.stats.sid_frames);
    EXPECT_EQ(1u, s.stats.lost);
    const auto g = gaps(s);
    ASSERT_EQ(3u, g.size());
    const struct { playout_event::cause reason; uint64_t samples; bytes sid; } want[] = {
        {playout_event::cause::kPause, 1600, {0x55, 0x55}},
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

TEST_F(Capture, PauseWithoutSidIsSilence) {
    const capture_scan r = scan(talk(1, 0, 3) + talk(4, 480 + 2400, 3));
    const auto g = gaps(r.rtp.streams[0]);
    ASSERT_EQ(1u, g.size());
    EXPECT_EQ(playout_event::type::kSilence, g[0].kind);
    EXPECT_EQ(playout_event::cause::kPause, g[0].reason);
    EXPECT_EQ(2400u, g[0].samples);
}

TEST_F(Capture, TwoStreamsInOneCapture) {
    std::vector<pkt> call;
    for (const pkt& p : talk(500, 0, 10)) {
        call.push_back(p);
        pkt back = p;
        back.reverse = true;
        back.ssrc = 0xCAFE;
        back.seq = static_cast<uint16_t>(p.seq + 1000);
        call.push_back(back);
    }
    const capture_scan r = scan(call);
    ASSERT_EQ(2u, r.rtp.streams.size());
    EXPECT_EQ("10.0.0.1_4000-10.0.0.2_5000_ssrc1a2b3c4d", stream_label(r.rtp.streams[0].key));
    EXPECT_EQ("10.0.0.2_5000-10.0.0.1_4000_ssrc0000cafe", stream_label(r.rtp.streams[1].key));
    for (const rtp_stream& s : r.rtp.streams) EXPECT_EQ(10u, s.stats.played);

    rtp_options only;
    only.ssrc = 0xCAFE;
    const capture_scan one = scan(call, only);
    ASSERT_EQ(1u, one.rtp.streams.size());
    EXPECT_EQ(0xCAFEu, one.rtp.streams[0].key.ssrc);
    EXPECT_EQ(1u, one.rtp.other_streams.size());
}

TEST_F(Capture, SequenceAndTimestampWrapAround) {
    std::vector<pkt> call = talk(65530, 0xFFFFFFFFu - 500, 12);
    std::swap(call[5], call[6]);  // 65535 arrives after 0
    call.erase(call.begin() + 8);
    const capture_scan r = scan(call);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ((std::vector<uint16_t>{65530, 65531, 65532, 65533, 65534, 65535, 0, 1, 3, 4, 5}),
              played_sequence(s));
    EXPECT_EQ(1u, s.stats.lost);
    EXPECT_EQ(0u, s.stats.timestamp_jumps);
    EXPECT_EQ(12u * 160, s.stats.samples);
}

TEST_F(Capture, OtherPayloadTypesShareTheNumbering) {
    std::vector<pkt> call = talk(1, 0, 4) + talk(5, 640, 3, 4) + talk(8, 1120, 4);
    for (std::size_t i = 4; i < 7; ++i) call[i].pt = 101;  // telephone events
    call.push_back(call.back());
    call.back().pt = 200;  // RTCP on the same port
    const capture_scan r = scan(call);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(0u, s.stats.lost);
    EXPECT_EQ(3u, s.stats.other_payload_packets);
    EXPECT_EQ(8u, s.stats.played);
    EXPECT_EQ(0u, s.stats.duplicated);

    rtp_options dynamic;
    dynamic.payload_type = 101;
    EXPECT_EQ(3u, scan(call, dynamic).rtp.streams.at(0).stats.played);
}

TEST_F(Capture, TimestampJumpsFallBackToCaptureTime) {
    // Backwards by a second, then forward by two days; packets keep arriving every 20 ms.
    const capture_scan r = scan(talk(1, 100000, 3) + talk(4, 92000, 3) + talk(7, 1400000000, 3));
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(2u, s.stats.timestamp_jumps);
    EXPECT_EQ(9u * 160, s.stats.samples);  // the capture clock shows no pause
    EXPECT_TRUE(gaps(s).empty());
}

TEST_F(Capture, StrayPacketIsDroppedAndRenumberingFollowed) {
    std::vector<pkt> call = talk(10, 0, 4);
    call.insert(call.begin() + 2, pkt{40000, 0, 20});  // one forged packet
    call = call + talk(20000, 640, 4);                  // sender restarts its numbering
    const capture_scan r = scan(call);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_EQ(1u, s.stats.stray);
    EXPECT_EQ(0u, s.stats.lost);
    EXPECT_EQ(8u, s.stats.played);
    EXPECT_EQ(8u * 160, s.stats.samples);
}

TEST_F(Capture, GapsAreBoundedByTheStreamLimit) {
    rtp_options options;
    options.max_gap_seconds = 10;
    options.max_stream_seconds = 5;
    const capture_scan r = scan(talk(1, 0, 2) + talk(3, 320 + 8000 * 8, 2), options);
    const rtp_stream& s = r.rtp.streams[0];
    EXPECT_TRUE(s.stats.capped);
    EXPECT_EQ(5u * 8000 + 320, s.stats.samples);
}
