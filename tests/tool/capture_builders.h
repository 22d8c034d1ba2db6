// Packets built byte by byte for the capture tests: RTP in UDP in IPv4 or IPv6 (with extension
// headers), framed for each link layer the reader takes, and written as pcap or pcapng.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_reader.h"
#include "media/byte_order.h"

namespace tarnel::test {

using bytes = std::vector<uint8_t>;

inline bytes concat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// 10.0.0.host:port, as the capture reader reports it.
inline capture::ip_endpoint endpoint(uint8_t host, uint16_t port) {
    capture::ip_endpoint e;
    e.family = 4;
    e.address = {10, 0, 0, host};
    e.port = port;
    return e;
}

inline bytes rtp(uint16_t seq, uint32_t ts, uint32_t ssrc, uint8_t pt, const bytes& payload) {
    bytes h(12, 0);
    h[0] = 0x80;
    h[1] = pt;
    media::put_be16(&h[2], seq);
    media::put_be32(&h[4], ts);
    media::put_be32(&h[8], ssrc);
    return concat(h, payload);
}

inline bytes udp(uint16_t sport, uint16_t dport, const bytes& payload) {
    bytes h(8, 0);
    media::put_be16(&h[0], sport);
    media::put_be16(&h[2], dport);
    media::put_be16(&h[4], static_cast<uint16_t>(8 + payload.size()));
    return concat(h, payload);
}

// From 10.0.0.src to 10.0.0.dst; `frag` is the flags and fragment offset field.
inline bytes ipv4(uint8_t src, uint8_t dst, const bytes& l4, uint16_t frag = 0,
                  size_t options = 0) {
    bytes h(20 + options, 0);
    h[0] = static_cast<uint8_t>(0x40 | (h.size() / 4));
    media::put_be16(&h[2], static_cast<uint16_t>(h.size() + l4.size()));
    media::put_be16(&h[6], frag);
    h[8] = 64;
    h[9] = 17;
    h[12] = h[16] = 10;
    h[15] = src;
    h[19] = dst;
    return concat(h, l4);
}

// From 2001:db8::src to 2001:db8::dst. `ext` is a chain of (header type, header bytes); each
// header's first byte, the next header's type, is set here.
inline bytes ipv6(uint8_t src, uint8_t dst, const bytes& l4,
                  const std::vector<std::pair<uint8_t, bytes>>& ext = {}) {
    bytes chain;
    for (size_t i = 0; i < ext.size(); ++i) {
        bytes e = ext[i].second;
        e[0] = i + 1 < ext.size() ? ext[i + 1].first : 17;
        chain = concat(chain, e);
    }
    bytes h(40, 0);
    h[0] = 0x60;
    media::put_be16(&h[4], static_cast<uint16_t>(chain.size() + l4.size()));
    h[6] = ext.empty() ? 17 : ext[0].first;
    h[7] = 64;
    for (size_t at : {8, 24}) media::put_be32(&h[at], 0x20010db8);
    h[23] = src;
    h[39] = dst;
    return concat(concat(h, chain), l4);
}

enum class encap { kEthernet, kVlan, kSll, kSll2, kRaw, kLoopback };

inline int link_type_of(encap e) {
    switch (e) {
        case encap::kSll:
            return DLT_LINUX_SLL;
        case encap::kSll2:
            return DLT_LINUX_SLL2;
        case encap::kRaw:
            return DLT_RAW;
        case encap::kLoopback:
            return DLT_NULL;
        default:
            return DLT_EN10MB;
    }
}

inline bytes frame(encap e, const bytes& ip) {
    const uint16_t type = (ip[0] >> 4) == 6 ? 0x86DD : 0x0800;
    bytes h;
    switch (e) {
        case encap::kEthernet:
            h.assign(14, 0xEE);
            media::put_be16(&h[12], type);
            break;
        case encap::kVlan:  // 802.1ad outer tag, 802.1Q inner tag
            h.assign(22, 0xEE);
            media::put_be16(&h[12], 0x88A8);
            media::put_be16(&h[16], 0x8100);
            media::put_be16(&h[20], type);
            break;
        case encap::kSll:
            h.assign(16, 0);
            media::put_be16(&h[14], type);
            break;
        case encap::kSll2:
            h.assign(20, 0);
            media::put_be16(&h[0], type);
            break;
        case encap::kRaw:
            break;
        case encap::kLoopback:
            h = {static_cast<uint8_t>(type == 0x0800 ? 2 : 30), 0, 0, 0};
            break;
    }
    bytes f = concat(h, ip);
    // Ethernet pads short frames; the UDP length, not the frame, must bound the payload.
    if (e == encap::kEthernet && f.size() < 60) f.resize(60, 0);
    return f;
}

struct record {
    bytes data;
    int64_t time_us;
};

inline void write_pcap(const std::string& path, int link_type, const std::vector<record>& records) {
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
inline void write_pcapng(const std::string& path, int link_type,
                         const std::vector<record>& records) {
    std::string out;
    auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    u32(0x0A0D0D0A);
    u32(28);
    u32(0x1A2B3C4D);
    u16(1);
    u16(0);
    u32(0xFFFFFFFF);
    u32(0xFFFFFFFF);
    u32(28);
    u32(1);
    u32(20);
    u16(static_cast<uint16_t>(link_type));
    u16(0);
    u32(65535);
    u32(20);
    for (const record& r : records) {
        const uint32_t padded = (static_cast<uint32_t>(r.data.size()) + 3) & ~3u;
        u32(6);
        u32(32 + padded);
        u32(0);
        u32(static_cast<uint32_t>(static_cast<uint64_t>(r.time_us) >> 32));
        u32(static_cast<uint32_t>(r.time_us));
        u32(static_cast<uint32_t>(r.data.size()));
        u32(static_cast<uint32_t>(r.data.size()));
        out.append(reinterpret_cast<const char*>(r.data.data()), r.data.size());
        out.append(padded - r.data.size(), '\0');
        u32(32 + padded);
    }
    std::ofstream(path, std::ios::binary) << out;
}

}  // namespace tarnel::test
