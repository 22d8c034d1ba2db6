#include "capture/capture_reader.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cstring>
#include <limits>
#include <memory>

#include "media/byte_order.h"

namespace tarnel::capture {

using media::be16;
using media::be32;
using media::le32;

namespace {

// EtherTypes: the two IP versions, and the VLAN tags that may stand before them.
enum ether_type : uint16_t {
    kEtherIpv4 = 0x0800, kEtherIpv6 = 0x86DD, kEtherVlan = 0x8100, kEtherQinQ = 0x88A8,
    kEtherQinQOld = 0x9100
};
constexpr uint8_t kProtoUdp = 17;

// Real networks stack two tags at most; the bound only stops a crafted frame from looping.
constexpr int kMaxVlanTags = 8;
constexpr int kMaxIpv6Headers = 16;

void set_address(ip_endpoint* e, uint8_t family, const uint8_t* bytes) {
    e->family = family;
    e->address.fill(0);
    std::memcpy(e->address.data(), bytes, family == 4 ? 4 : 16);
}

// `n` is the length the IP header assigned to the UDP datagram, already checked against the
// captured bytes.
frame_parse_result parse_udp(const uint8_t* p, std::size_t n, udp_datagram* out) {
    if (n < 8) return frame_parse_result::kMalformed;
    const std::size_t length = be16(p + 4);
    if (length < 8 || length > n) return frame_parse_result::kMalformed;
    out->source.port = be16(p);
    out->destination.port = be16(p + 2);
    out->payload = p + 8;
    out->payload_size = length - 8;
    return frame_parse_result::kUdp;
}

frame_parse_result parse_ipv4(const uint8_t* p, std::size_t n, udp_datagram* out) {
    if (n < 20 || (p[0] >> 4) != 4) return frame_parse_result::kMalformed;
    const std::size_t header = (p[0] & 0x0F) * 4u;
    if (header < 20 || header > n) return frame_parse_result::kMalformed;
    std::size_t total = be16(p + 2);
    // Captured on a host that offloads segmentation, the length is left for the NIC to fill.
    if (total == 0) total = n;
    if (total < header) return frame_parse_result::kMalformed;
    if (total > n) return frame_parse_result::kCutShort;
    // More-fragments flag or a non-zero offset: a piece of a larger datagram.
    if ((be16(p + 6) & 0x3FFF) != 0) return frame_parse_result::kFragment;
    if (p[9] != kProtoUdp) return frame_parse_result::kNotUdp;
    set_address(&out->source, 4, p + 12);
    set_address(&out->destination, 4, p + 16);
    return parse_udp(p + header, total - header, out);
}

frame_parse_result parse_ipv6(const uint8_t* p, std::size_t n, udp_datagram* out) {
    if (n < 40 || (p[0] >> 4) != 6) return frame_parse_result::kMalformed;
    const std::size_t payload = be16(p + 4);
    // Zero means a jumbogram, which no speech packet is.
    if (payload == 0) return frame_parse_result::kNotUdp;
    if (payload > n - 40) return frame_parse_result::kCutShort;
    const std::size_t end = 40 + payload;
    std::size_t off = 40;
    uint8_t next = p[6];
    for (int i = 0; i < kMaxIpv6Headers; ++i) {
        const std::size_t left = end - off;
        if (next == kProtoUdp) {
            set_address(&out->source, 6, p + 8);
            set_address(&out->destination, 6, p + 24);
            return parse_udp(p + off, left, out);
        }
        std::size_t len = 0;
        switch (next) {
            case 0:    // hop-by-hop options
            case 43:   // routing
            case 60:   // destination options
            case 135:  // mobility
            case 139:  // host identity
            case 140:  // shim6
                if (left < 8) return frame_parse_result::kMalformed;
                len = (p[off + 1] + 1u) * 8u;
                break;
            case 44:  // fragment
                if (left < 8) return frame_parse_result::kMalformed;
                // An offset or the more-fragments bit; an atomic fragment is a whole datagram.
                if ((be16(p + off + 2) & 0xFFF9) != 0) return frame_parse_result::kFragment;
                len = 8;
                break;
            case 51:  // authentication header: length in 4-byte units, minus 2
                if (left < 8) return frame_parse_result::kMalformed;
                len = (p[off + 1] + 2u) * 4u;
                break;
            default:
                return frame_parse_result::kNotUdp;
        }
        if (len > left) return frame_parse_result::kMalformed;
        next = p[off];
        off += len;
    }
    return frame_parse_result::kMalformed;
}

frame_parse_result parse_ip_by_version(const uint8_t* p, std::size_t n, udp_datagram* out) {
    if (n < 1) return frame_parse_result::kMalformed;
    switch (p[0] >> 4) {
        case 4: return parse_ipv4(p, n, out);
        case 6: return parse_ipv6(p, n, out);
        default: return frame_parse_result::kNotUdp;
    }
}

frame_parse_result parse_ethertype(uint16_t type, const uint8_t* p, std::size_t n,
                                   udp_datagram* out) {
    for (int tags = 0; type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld; ++tags) {
        if (tags == kMaxVlanTags || n < 4) return frame_parse_result::kMalformed;
        type = be16(p + 2);
        p += 4;
        n -= 4;
    }
    if (type == kEtherIpv4) return parse_ipv4(p, n, out);
    if (type == kEtherIpv6) return parse_ipv6(p, n, out);
    return frame_parse_result::kNotUdp;
}

// BSD loopback stores the address family in the writer's byte order (DLT_NULL) or in network
// order (DLT_LOOP); IPv6's value differs between systems.
frame_parse_result parse_loopback(uint32_t family, const uint8_t* p, std::size_t n,
                                  udp_datagram* out) {
    switch (family) {
        case 2: case 10: case 24: case 28: case 30:
            return parse_ip_by_version(p, n, out);
        default:
            return frame_parse_result::kNotUdp;
    }
}

int64_t capture_time_us(const timeval& ts) {
    // A crafted pcapng timestamp can exceed what microseconds in 64 bits hold.
    constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max() / 1000000 - 1;
    int64_t sec = static_cast<int64_t>(ts.tv_sec);
    if (sec > kMaxSeconds) sec = kMaxSeconds;
    if (sec < -kMaxSeconds) sec = -kMaxSeconds;
    return sec * 1000000 + static_cast<int64_t>(ts.tv_usec % 1000000);
}

}  // namespace

std::string ip_endpoint::address_string() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (family == 4) {
        if (inet_ntop(AF_INET, address.data(), text, sizeof text)) return text;
    } else if (family == 6) {
        if (inet_ntop(AF_INET6, address.data(), text, sizeof text)) return text;
    }
    return "?";
}

std::string ip_endpoint::to_string() const {
    const std::string port_text = std::to_string(port);
    if (family == 6) return "[" + address_string() + "]:" + port_text;
    return address_string() + ":" + port_text;
}

bool operator==(const ip_endpoint& a, const ip_endpoint& b) {
    return a.family == b.family && a.address == b.address && a.port == b.port;
}

bool operator!=(const ip_endpoint& a, const ip_endpoint& b) { return !(a == b); }

bool operator<(const ip_endpoint& a, const ip_endpoint& b) {
    if (a.family != b.family) return a.family < b.family;
    if (a.address != b.address) return a.address < b.address;
    return a.port < b.port;
}

bool link_type_supported(int link_type) {
    switch (link_type) {
        case DLT_EN10MB:
        case DLT_LINUX_SLL:
        case DLT_LINUX_SLL2:
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_IPV6:
        case DLT_NULL:
        case DLT_LOOP:
            return true;
        default:
            return false;
    }
}

frame_parse_result parse_captured_frame(int link_type, const uint8_t* data, std::size_t size,
                                        udp_datagram* out) {
    if (data == nullptr) return frame_parse_result::kMalformed;
    switch (link_type) {
        case DLT_EN10MB:
            if (size < 14) return frame_parse_result::kMalformed;
            return parse_ethertype(be16(data + 12), data + 14, size - 14, out);
        case DLT_LINUX_SLL:
            if (size < 16) return frame_parse_result::kMalformed;
            return parse_ethertype(be16(data + 14), data + 16, size - 16, out);
        case DLT_LINUX_SLL2:
            if (size < 20) return frame_parse_result::kMalformed;
            return parse_ethertype(be16(data), data + 20, size - 20, out);
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_IPV6:
            return parse_ip_by_version(data, size, out);
        case DLT_NULL: {
            if (size < 4) return frame_parse_result::kMalformed;
            uint32_t family = le32(data);
            if (family > 0xFFFF) family = be32(data);
            return parse_loopback(family, data + 4, size - 4, out);
        }
        case DLT_LOOP:
            if (size < 4) return frame_parse_result::kMalformed;
            return parse_loopback(be32(data), data + 4, size - 4, out);
        default:
            return frame_parse_result::kNotUdp;
    }
}

bool read_capture(const std::string& path, const udp_datagram_sink& sink,
                  capture_summary* summary, std::string* error) {
    *summary = capture_summary{};
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline_with_tstamp_precision(
        path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (handle == nullptr) {
        *error = "cannot read capture " + path + ": " + errbuf;
        return false;
    }
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> guard(handle, pcap_close);

    const int link_type = pcap_datalink(handle);
    summary->link_type = link_type;
    if (!link_type_supported(link_type)) {
        const char* name = pcap_datalink_val_to_name(link_type);
        *error = "capture " + path + " has link type " + std::to_string(link_type) +
                 (name ? std::string(" (") + name + ")" : std::string()) +
                 ", which is not supported (Ethernet, Linux cooked, raw IP, loopback are)";
        return false;
    }

    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int rc = pcap_next_ex(handle, &header, &data);
        if (rc == PCAP_ERROR_BREAK) break;  // end of file
        if (rc != 1) {
            summary->truncated = true;
            summary->warning = "capture " + path + " is truncated or damaged after " +
                               std::to_string(summary->frames) + " packets (" +
                               pcap_geterr(handle) + "); using the packets read so far";
            break;
        }
        ++summary->frames;
        udp_datagram datagram;
        switch (parse_captured_frame(link_type, data, header->caplen, &datagram)) {
            case frame_parse_result::kUdp:
                ++summary->udp_datagrams;
                datagram.frame_number = summary->frames;
                datagram.time_us = capture_time_us(header->ts);
                sink(datagram);
                break;
            case frame_parse_result::kNotUdp: ++summary->not_udp; break;
            case frame_parse_result::kFragment: ++summary->fragments; break;
            case frame_parse_result::kCutShort: ++summary->cut_short; break;
            case frame_parse_result::kMalformed: ++summary->malformed; break;
        }
    }
    return true;
}

}  // namespace tarnel::capture
