#include "capture/capture_reader.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "capture/capture_format.h"
#include "media/byte_order.h"

namespace tarnel::capture {

using media::be16;
using media::be32;
using media::le32;

namespace {

// EtherTypes: the two IP versions, and the VLAN tags that may stand before them.
enum ether_type : uint16_t {
    kEtherIpv4 = 0x0800,
    kEtherIpv6 = 0x86DD,
    kEtherVlan = 0x8100,
    kEtherQinQ = 0x88A8,
    kEtherQinQOld = 0x9100
};
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kIpv6Fragment = 44;

// Real networks stack two tags at most; the bound only stops a crafted frame from looping.
constexpr int kMaxVlanTags = 8;
constexpr int kMaxIpv6Headers = 16;

// What a frame's parse knows besides the bytes: whether the capture kept less than was sent.
struct frame_context {
    bool cut = false;
    udp_datagram* out = nullptr;
    ip_fragment* fragment = nullptr;
};

// Headers that reach past the captured bytes: the snapshot length's doing when the frame was
// cut, a lie otherwise.
frame_parse_result short_of_bytes(const frame_context& c) {
    return c.cut ? frame_parse_result::kCutShort : frame_parse_result::kMalformed;
}

void set_address(ip_endpoint* e, uint8_t family, const uint8_t* bytes) {
    e->family = family;
    e->address.fill(0);
    std::memcpy(e->address.data(), bytes, family == 4 ? 4 : 16);
}

// `sent` is the length the IP header assigned to the UDP datagram, `have` the part of it
// captured (at most `sent`).
frame_parse_result parse_udp(const uint8_t* p, std::size_t sent, std::size_t have,
                             udp_datagram* out) {
    if (sent < 8) return frame_parse_result::kMalformed;
    if (have < 8) return frame_parse_result::kCutShort;
    const std::size_t length = be16(p + 4);
    if (length < 8 || length > sent) return frame_parse_result::kMalformed;
    out->source.port = be16(p);
    out->destination.port = be16(p + 2);
    out->payload = p + 8;
    out->original_size = length - 8;
    out->payload_size = std::min(length, have) - 8;
    out->reassembled = false;
    return frame_parse_result::kUdp;
}

// Lengths of the IPv6 extension headers this reader walks; 0 for any other type.
bool ipv6_extension_length(uint8_t type, const uint8_t* h, std::size_t left, std::size_t* len) {
    switch (type) {
        case 0:    // hop-by-hop options
        case 43:   // routing
        case 60:   // destination options
        case 135:  // mobility
        case 139:  // host identity
        case 140:  // shim6
            if (left < 8) return false;
            *len = (h[1] + 1u) * 8u;
            return true;
        case 51:  // authentication header: length in 4-byte units, minus 2
            if (left < 8) return false;
            *len = (h[1] + 2u) * 4u;
            return true;
        default:
            return false;
    }
}

bool is_ipv6_extension(uint8_t type) {
    std::size_t len = 0;
    const uint8_t probe[8] = {};
    return ipv6_extension_length(type, probe, 8, &len);
}

// Fills *f (when asked for) with a piece of the datagram `protocol`/`id` between the addresses.
frame_parse_result fragment(ip_fragment* f, uint8_t family, const uint8_t* source,
                            const uint8_t* destination, uint8_t protocol, uint32_t id,
                            std::size_t offset, bool more, const uint8_t* data, std::size_t size) {
    if (f) {
        const std::size_t address = family == 4 ? 4 : 16;
        f->key = fragment_key{};
        f->key.family = family;
        std::memcpy(f->key.source.data(), source, address);
        std::memcpy(f->key.destination.data(), destination, address);
        f->key.protocol = protocol;
        f->key.id = id;
        f->offset = offset;
        f->more = more;
        f->data = data;
        f->size = size;
    }
    return frame_parse_result::kFragment;
}

frame_parse_result parse_ipv4(const uint8_t* p, std::size_t n, const frame_context& c) {
    if (n < 20)
        return n >= 1 && (p[0] >> 4) != 4 ? frame_parse_result::kMalformed : short_of_bytes(c);
    if ((p[0] >> 4) != 4) return frame_parse_result::kMalformed;
    const std::size_t header = (p[0] & 0x0F) * 4u;
    if (header < 20) return frame_parse_result::kMalformed;
    if (header > n) return short_of_bytes(c);
    std::size_t total = be16(p + 2);
    // Captured on a host that offloads segmentation, the length is left for the NIC to fill.
    if (total == 0) total = n;
    if (total < header) return frame_parse_result::kMalformed;
    if (total > n && !c.cut) return frame_parse_result::kMalformed;
    const std::size_t have = std::min(total, n);
    const uint16_t flags = be16(p + 6);
    // More-fragments flag or a non-zero offset: a piece of a larger datagram.
    if ((flags & 0x3FFF) != 0) {
        if (p[9] != kProtoUdp) return frame_parse_result::kNotUdp;
        if (have < total) return frame_parse_result::kCutShort;
        return fragment(c.fragment, 4, p + 12, p + 16, p[9], be16(p + 4),
                        static_cast<std::size_t>(flags & 0x1FFF) * 8, (flags & 0x2000) != 0,
                        p + header, total - header);
    }
    if (p[9] != kProtoUdp) return frame_parse_result::kNotUdp;
    set_address(&c.out->source, 4, p + 12);
    set_address(&c.out->destination, 4, p + 16);
    return parse_udp(p + header, total - header, have - header, c.out);
}

frame_parse_result parse_ipv6(const uint8_t* p, std::size_t n, const frame_context& c) {
    if (n >= 1 && (p[0] >> 4) != 6) return frame_parse_result::kMalformed;
    if (n < 40) return short_of_bytes(c);
    const std::size_t payload = be16(p + 4);
    // Zero means a jumbogram, which no speech packet is.
    if (payload == 0) return frame_parse_result::kNotUdp;
    if (payload > n - 40 && !c.cut) return frame_parse_result::kMalformed;
    const std::size_t end = 40 + payload;       // what was sent
    const std::size_t have = std::min(end, n);  // what was captured
    std::size_t off = 40;
    uint8_t next = p[6];
    for (int i = 0; i < kMaxIpv6Headers; ++i) {
        if (next == kProtoUdp) {
            set_address(&c.out->source, 6, p + 8);
            set_address(&c.out->destination, 6, p + 24);
            return parse_udp(p + off, end - off, have - off, c.out);
        }
        if (next == kIpv6Fragment) {
            if (end - off < 8) return frame_parse_result::kMalformed;
            if (have - off < 8) return frame_parse_result::kCutShort;
            const uint16_t field = be16(p + off + 2);
            // An atomic fragment (no offset, no more to come) is a whole datagram.
            if ((field & 0xFFF9) == 0) {
                next = p[off];
                off += 8;
                continue;
            }
            const uint8_t protocol = p[off];
            if (protocol != kProtoUdp && !is_ipv6_extension(protocol))
                return frame_parse_result::kNotUdp;
            if (have < end) return frame_parse_result::kCutShort;
            return fragment(c.fragment, 6, p + 8, p + 24, protocol, be32(p + off + 4),
                            field & 0xFFF8, (field & 1) != 0, p + off + 8, end - off - 8);
        }
        std::size_t len = 0;
        if (!is_ipv6_extension(next)) return frame_parse_result::kNotUdp;
        if (!ipv6_extension_length(next, p + off, std::min(end, have) - off, &len))
            return end - off < 8 ? frame_parse_result::kMalformed : frame_parse_result::kCutShort;
        if (len > end - off) return frame_parse_result::kMalformed;
        if (len > have - off) return frame_parse_result::kCutShort;
        next = p[off];
        off += len;
    }
    return frame_parse_result::kMalformed;
}

frame_parse_result parse_ip_by_version(const uint8_t* p, std::size_t n, const frame_context& c) {
    if (n < 1) return short_of_bytes(c);
    switch (p[0] >> 4) {
        case 4:
            return parse_ipv4(p, n, c);
        case 6:
            return parse_ipv6(p, n, c);
        default:
            return frame_parse_result::kNotUdp;
    }
}

frame_parse_result parse_ethertype(uint16_t type, const uint8_t* p, std::size_t n,
                                   const frame_context& c) {
    for (int tags = 0; type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld; ++tags) {
        if (tags == kMaxVlanTags) return frame_parse_result::kMalformed;
        if (n < 4) return short_of_bytes(c);
        type = be16(p + 2);
        p += 4;
        n -= 4;
    }
    if (type == kEtherIpv4) return parse_ipv4(p, n, c);
    if (type == kEtherIpv6) return parse_ipv6(p, n, c);
    return frame_parse_result::kNotUdp;
}

// BSD loopback stores the address family in the writer's byte order (kLinkNull) or in network
// order (kLinkLoop); IPv6's value differs between systems.
frame_parse_result parse_loopback(uint32_t family, const uint8_t* p, std::size_t n,
                                  const frame_context& c) {
    switch (family) {
        case 2:
        case 10:
        case 24:
        case 28:
        case 30:
            return parse_ip_by_version(p, n, c);
        default:
            return frame_parse_result::kNotUdp;
    }
}

bool is_raw_ip(int link_type) {
    // 12 and 14 are what some systems' capture libraries wrote for raw IP before the number
    // was made the same everywhere.
    return link_type == kLinkRaw || link_type == 12 || link_type == 14 || link_type == kLinkIpv4 ||
           link_type == kLinkIpv6;
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
        case kLinkEthernet:
        case kLinkLinuxSll:
        case kLinkLinuxSll2:
        case kLinkNull:
        case kLinkLoop:
            return true;
        default:
            return is_raw_ip(link_type);
    }
}

std::string link_type_name(int link_type) {
    switch (link_type) {
        case kLinkNull:
            return "BSD loopback";
        case kLinkEthernet:
            return "Ethernet";
        case kLinkLoop:
            return "OpenBSD loopback";
        case kLinkLinuxSll:
            return "Linux cooked";
        case kLinkLinuxSll2:
            return "Linux cooked v2";
        case 105:
            return "802.11";
        case 127:
            return "802.11 radiotap";
        default:
            return is_raw_ip(link_type) ? "raw IP" : std::to_string(link_type);
    }
}

frame_parse_result parse_captured_frame(int link_type, const uint8_t* data, std::size_t size,
                                        std::size_t original_size, udp_datagram* out,
                                        ip_fragment* fragment) {
    if (data == nullptr) return frame_parse_result::kMalformed;
    frame_context c;
    c.cut = original_size > size;
    c.out = out;
    c.fragment = fragment;
    auto header = [&](std::size_t n) { return size >= n; };
    switch (link_type) {
        case kLinkEthernet:
            if (!header(14)) return short_of_bytes(c);
            return parse_ethertype(be16(data + 12), data + 14, size - 14, c);
        case kLinkLinuxSll:
            if (!header(16)) return short_of_bytes(c);
            return parse_ethertype(be16(data + 14), data + 16, size - 16, c);
        case kLinkLinuxSll2:
            if (!header(20)) return short_of_bytes(c);
            return parse_ethertype(be16(data), data + 20, size - 20, c);
        case kLinkNull: {
            if (!header(4)) return short_of_bytes(c);
            uint32_t family = le32(data);
            if (family > 0xFFFF) family = be32(data);
            return parse_loopback(family, data + 4, size - 4, c);
        }
        case kLinkLoop:
            if (!header(4)) return short_of_bytes(c);
            return parse_loopback(be32(data), data + 4, size - 4, c);
        default:
            if (is_raw_ip(link_type)) return parse_ip_by_version(data, size, c);
            return frame_parse_result::kNotUdp;
    }
}

frame_parse_result parse_reassembled(const fragment_key& key, const uint8_t* data, std::size_t size,
                                     udp_datagram* out) {
    const uint8_t family = key.family == 6 ? 6 : 4;
    uint8_t next = key.protocol;
    std::size_t off = 0;
    for (int i = 0; i < kMaxIpv6Headers && next != kProtoUdp; ++i) {
        std::size_t len = 0;
        if (family != 6 || !is_ipv6_extension(next)) return frame_parse_result::kNotUdp;
        if (!ipv6_extension_length(next, data + off, size - off, &len) || len > size - off)
            return frame_parse_result::kMalformed;
        next = data[off];
        off += len;
    }
    if (next != kProtoUdp) return frame_parse_result::kMalformed;
    const frame_parse_result r = parse_udp(data + off, size - off, size - off, out);
    if (r != frame_parse_result::kUdp) return r;
    set_address(&out->source, family, key.source.data());
    set_address(&out->destination, family, key.destination.data());
    out->reassembled = true;
    return r;
}

namespace {

// ---- files -----------------------------------------------------------------------------------

// A block or record larger than this is damage, not data: no link layer carries frames this
// large, and reading one would only exhaust memory.
constexpr uint32_t kMaxRecord = 16u << 20;

uint32_t swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Integers of a file written in either byte order.
struct byte_order {
    bool big = false;
    uint16_t u16(const uint8_t* p) const {
        return big ? be16(p) : static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    uint32_t u32(const uint8_t* p) const { return big ? be32(p) : le32(p); }
    uint64_t u64(const uint8_t* p) const {
        const uint64_t a = u32(p), b = u32(p + 4);
        return big ? (a << 32) | b : (b << 32) | a;
    }
};

class source {
public:
    explicit source(std::FILE* in) : in_(in) {}
    // True when all `n` bytes were read; *got says how many were.
    bool read(uint8_t* to, std::size_t n, std::size_t* got = nullptr) {
        const std::size_t r = n ? std::fread(to, 1, n, in_) : 0;
        consumed_ += r;
        if (got) *got = r;
        return r == n;
    }
    bool read(std::vector<uint8_t>& to, std::size_t n) {
        to.resize(n);
        return read(to.data(), n);
    }
    bool failed() const { return std::ferror(in_) != 0; }
    uint64_t consumed() const { return consumed_; }

private:
    std::FILE* in_;
    uint64_t consumed_ = 0;
};

struct interface_info {
    int link_type = -1;
    uint32_t snap_length = 0;
    uint64_t units_per_second = 1000000;  // timestamp resolution
    int64_t offset_seconds = 0;
};

// Microseconds since the epoch from a timestamp counted in `units` per second, kept within
// what 64 bits of microseconds hold.
int64_t to_microseconds(uint64_t ticks, uint64_t units, int64_t offset_seconds) {
    constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max() / 1000000 - 1;
    const uint64_t whole = ticks / units;
    const uint64_t part = ticks % units;
    int64_t sec =
        whole > static_cast<uint64_t>(kMaxSeconds) ? kMaxSeconds : static_cast<int64_t>(whole);
    if (offset_seconds > 0)
        sec = sec > kMaxSeconds - offset_seconds ? kMaxSeconds : sec + offset_seconds;
    if (offset_seconds < 0)
        sec = std::max<int64_t>(sec + std::max(offset_seconds, -kMaxSeconds), -kMaxSeconds);
    const auto frac = static_cast<int64_t>(static_cast<unsigned __int128>(part) * 1000000u / units);
    return sec * 1000000 + frac;
}

class reader {
public:
    reader(std::FILE* in, const std::string& name, const udp_datagram_sink& sink,
           capture_summary* summary, const read_options& options)
        : src_(in),
          name_(name),
          sink_(sink),
          s_(*summary),
          options_(options),
          reassembler_(options.reassembly) {}

    bool run(std::string* error);

private:
    bool classic(const uint8_t* head, std::string* error);
    bool pcapng(const uint8_t* head, std::string* error);
    void packet(const interface_info& itf, const uint8_t* data, std::size_t caplen,
                std::size_t origlen, int64_t time_us);
    void damaged(const std::string& why) {
        s_.truncated = true;
        s_.warning = "capture " + name_ + " is truncated or damaged after " +
                     std::to_string(s_.frames) + " packets (" + why +
                     "); using the packets read so far";
    }
    void note_interface(const interface_info& itf) {
        if (std::find(s_.link_types.begin(), s_.link_types.end(), itf.link_type) ==
            s_.link_types.end())
            s_.link_types.push_back(itf.link_type);
        if (itf.snap_length != 0 && (s_.snap_length == 0 || itf.snap_length < s_.snap_length))
            s_.snap_length = itf.snap_length;
    }
    std::string ended_early() const {
        return src_.failed() ? std::string("read error: ") + std::strerror(errno)
                             : "the file ends inside a record";
    }

    source src_;
    std::string name_;
    const udp_datagram_sink& sink_;
    capture_summary& s_;
    const read_options& options_;
    ip_reassembler reassembler_;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> whole_;  // a reassembled datagram
    int64_t last_time_us_ = 0;
    uint32_t longest_cut_ = 0;
};

void reader::packet(const interface_info& itf, const uint8_t* data, std::size_t caplen,
                    std::size_t origlen, int64_t time_us) {
    ++s_.frames;
    last_time_us_ = time_us;
    if (origlen > caplen) {
        longest_cut_ = std::max<uint32_t>(longest_cut_, static_cast<uint32_t>(caplen));
        if (s_.snap_length == 0 || longest_cut_ < s_.snap_length) s_.snap_length = longest_cut_;
    }
    if (options_.progress && (s_.frames & 0xFFF) == 0) options_.progress(src_.consumed());
    if (!link_type_supported(itf.link_type)) {
        ++s_.unsupported_link;
        return;
    }
    udp_datagram d;
    ip_fragment f;
    frame_parse_result r =
        parse_captured_frame(itf.link_type, data, caplen, std::max(origlen, caplen), &d, &f);
    if (r == frame_parse_result::kFragment) {
        if (!reassembler_.add(f, time_us, &whole_)) return;
        r = parse_reassembled(f.key, whole_.data(), whole_.size(), &d);
    }
    switch (r) {
        case frame_parse_result::kUdp:
            ++s_.udp_datagrams;
            if (d.cut()) ++s_.cut_datagrams;
            d.frame_number = s_.frames;
            d.time_us = time_us;
            sink_(d);
            break;
        case frame_parse_result::kNotUdp:
            ++s_.not_udp;
            break;
        case frame_parse_result::kFragment:
            break;
        case frame_parse_result::kCutShort:
            ++s_.cut_unplaced;
            break;
        case frame_parse_result::kMalformed:
            ++s_.malformed;
            break;
    }
}

bool reader::classic(const uint8_t* head, std::string* error) {
    byte_order order;
    uint32_t magic = le32(head);
    if (magic != kPcapMagicMicro && magic != kPcapMagicNano && magic != kPcapMagicModified) {
        order.big = true;
        magic = swap32(magic);
    }
    uint8_t rest[20];
    if (!src_.read(rest, sizeof rest)) {
        *error = "capture " + name_ + " is too short to be a capture (its header is cut off)";
        return false;
    }
    interface_info itf;
    itf.snap_length = order.u32(rest + 12);
    const uint32_t link = order.u32(rest + 16);
    // The upper bits of the link type field may carry the frame check sequence's length.
    itf.link_type = static_cast<int>(link & 0x0FFFFFFF);
    if (magic == kPcapMagicNano) itf.units_per_second = 1000000000;
    note_interface(itf);
    if (!link_type_supported(itf.link_type)) {
        *error = "capture " + name_ + " has link type " + std::to_string(itf.link_type) + " (" +
                 link_type_name(itf.link_type) +
                 "), which is not supported (Ethernet, Linux cooked, raw IP, loopback are)";
        return false;
    }
    const std::size_t header = magic == kPcapMagicModified ? 24 : 16;
    uint8_t h[24];
    for (;;) {
        std::size_t got = 0;
        if (!src_.read(h, header, &got)) {
            if (got != 0 || src_.failed()) damaged(ended_early());
            return true;
        }
        const uint32_t caplen = order.u32(h + 8);
        const uint32_t origlen = order.u32(h + 12);
        if (caplen > kMaxRecord) {
            damaged("a record claims " + std::to_string(caplen) + " bytes");
            return true;
        }
        if (!src_.read(buffer_, caplen)) {
            damaged(ended_early());
            return true;
        }
        const uint64_t ticks = static_cast<uint64_t>(order.u32(h)) * itf.units_per_second +
                               std::min<uint64_t>(order.u32(h + 4), itf.units_per_second - 1);
        packet(itf, buffer_.data(), caplen, origlen,
               to_microseconds(ticks, itf.units_per_second, 0));
    }
}

bool reader::pcapng(const uint8_t* head, std::string* error) {
    byte_order order;
    std::vector<interface_info> interfaces;
    uint8_t h[12];
    std::memcpy(h, head, 4);
    bool first = true;
    for (;;) {
        std::size_t got = 0;
        if (!first && !src_.read(h, 8, &got)) {
            if (got != 0 || src_.failed()) damaged(ended_early());
            return true;
        }
        if (first && !src_.read(h + 4, 4)) {
            *error = "capture " + name_ + " is too short to be a capture (its header is cut off)";
            return false;
        }
        const uint32_t type = order.u32(h);
        uint32_t length = order.u32(h + 4);
        std::size_t body_from = 8;
        if (type == kPcapngSection) {
            // A new section may be written in the other byte order: its marker says which.
            if (!src_.read(h + 8, 4)) {
                if (first) {
                    *error = "capture " + name_ + " is too short to be a capture";
                    return false;
                }
                damaged(ended_early());
                return true;
            }
            const uint32_t marker = le32(h + 8);
            if (marker != kPcapngByteOrder && swap32(marker) != kPcapngByteOrder) {
                if (first) {
                    *error = "capture " + name_ +
                             " is not a pcap or pcapng capture "
                             "(a pcapng section without its byte-order marker)";
                    return false;
                }
                damaged("a section header without its byte-order marker");
                return true;
            }
            order.big = marker != kPcapngByteOrder;
            length = order.u32(h + 4);
            body_from = 12;
            interfaces.clear();
            ++s_.sections;
        } else if (first) {
            *error = "capture " + name_ + " is not a pcap or pcapng capture";
            return false;
        }
        first = false;
        if (length < 12 || length % 4 != 0 || length > kMaxRecord) {
            damaged("a block claims " + std::to_string(length) + " bytes");
            return true;
        }
        if (length < body_from + 4 || !src_.read(buffer_, length - body_from)) {
            damaged(length < body_from + 4
                        ? "a section header of " + std::to_string(length) + " bytes"
                        : ended_early());
            return true;
        }
        if (order.u32(buffer_.data() + buffer_.size() - 4) != length) {
            damaged("a block's two lengths differ");
            return true;
        }
        const uint8_t* b = buffer_.data();
        const std::size_t n = buffer_.size() - 4;  // the body, without the trailing length
        switch (type) {
            case kBlockInterface: {
                if (n < 8) break;
                interface_info itf;
                itf.link_type = order.u16(b);
                itf.snap_length = order.u32(b + 4);
                for (std::size_t at = 8; at + 4 <= n;) {
                    const uint16_t code = order.u16(b + at);
                    const uint16_t len = order.u16(b + at + 2);
                    if (code == kOptionEnd || at + 4 + len > n) break;
                    const uint8_t* v = b + at + 4;
                    if (code == kOptionTsResolution && len >= 1) {
                        const unsigned exponent = v[0] & 0x7Fu;
                        if (v[0] & 0x80) {
                            if (exponent < 64) itf.units_per_second = uint64_t{1} << exponent;
                        } else if (exponent <= 19) {
                            uint64_t u = 1;
                            for (unsigned i = 0; i < exponent; ++i) u *= 10;
                            itf.units_per_second = u;
                        }
                    } else if (code == kOptionTsOffset && len >= 8) {
                        itf.offset_seconds = static_cast<int64_t>(order.u64(v));
                    }
                    at += 4 + ((len + 3u) & ~3u);
                }
                interfaces.push_back(itf);
                note_interface(itf);
                break;
            }
            case kBlockEnhancedPacket:
            case kBlockPacketObsolete: {
                if (n < 20) {
                    ++s_.frames;
                    ++s_.malformed;
                    break;
                }
                const uint32_t id = type == kBlockEnhancedPacket ? order.u32(b) : order.u16(b);
                const uint32_t caplen = order.u32(b + 12);
                const uint32_t origlen = order.u32(b + 16);
                if (id >= interfaces.size() || caplen > n - 20) {
                    ++s_.frames;
                    ++s_.malformed;
                    break;
                }
                const interface_info& itf = interfaces[id];
                const uint64_t ticks =
                    (static_cast<uint64_t>(order.u32(b + 4)) << 32) | order.u32(b + 8);
                packet(itf, b + 20, caplen, origlen,
                       to_microseconds(ticks, itf.units_per_second, itf.offset_seconds));
                break;
            }
            case kBlockSimplePacket: {
                if (n < 4 || interfaces.empty()) {
                    ++s_.frames;
                    ++s_.malformed;
                    break;
                }
                const interface_info& itf = interfaces[0];
                const uint32_t origlen = order.u32(b);
                std::size_t caplen = std::min<std::size_t>(origlen, n - 4);
                if (itf.snap_length != 0) caplen = std::min<std::size_t>(caplen, itf.snap_length);
                // A simple packet has no timestamp: it shares the previous packet's place.
                packet(itf, b + 4, caplen, origlen, last_time_us_);
                break;
            }
            default:
                break;  // statistics, name resolution, comments, custom blocks: nothing for us
        }
    }
}

bool reader::run(std::string* error) {
    uint8_t head[4];
    std::size_t got = 0;
    if (!src_.read(head, 4, &got)) {
        *error = got == 0 && !src_.failed() ? "capture " + name_ + " is empty"
                                            : "capture " + name_ + " is too short to be a capture";
        return false;
    }
    const uint32_t magic = le32(head);
    bool ok;
    if (magic == kPcapngSection) {
        s_.pcapng = true;
        ok = pcapng(head, error);
    } else if (magic == kPcapMagicMicro || magic == kPcapMagicNano || magic == kPcapMagicModified ||
               swap32(magic) == kPcapMagicMicro || swap32(magic) == kPcapMagicNano ||
               swap32(magic) == kPcapMagicModified) {
        ok = classic(head, error);
    } else {
        *error = "capture " + name_ + " is not a pcap or pcapng capture";
        return false;
    }
    reassembler_.finish();
    s_.reassembly = reassembler_.stats();
    if (options_.progress) options_.progress(src_.consumed());
    return ok;
}

}  // namespace

bool read_capture_stream(std::FILE* in, const std::string& name, const udp_datagram_sink& sink,
                         capture_summary* summary, std::string* error,
                         const read_options& options) {
    *summary = capture_summary{};
    reader r(in, name, sink, summary, options);
    return r.run(error);
}

bool read_capture(const std::string& path, const udp_datagram_sink& sink, capture_summary* summary,
                  std::string* error, const read_options& options) {
    *summary = capture_summary{};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!in) {
        *error = "cannot read capture " + path + ": " + std::strerror(errno);
        return false;
    }
    return read_capture_stream(in.get(), path, sink, summary, error, options);
}

}  // namespace tarnel::capture
