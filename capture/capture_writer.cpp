#include "capture/capture_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/capture_format.h"
#include "codec/encoder.h"
#include "media/byte_order.h"

namespace tarnel::capture {

using media::put_be16;
using media::put_be32;

const std::array<uint8_t, 2> kQuietSid = {0x12, 0x0c};

namespace {

constexpr size_t kRtpHeader = 12;
constexpr size_t kUdpHeader = 8;
constexpr size_t kIpHeader = 20;
constexpr size_t kEthernetHeader = 14;
constexpr size_t kLinuxCookedHeader = 16;

uint16_t ip_checksum(const uint8_t* header, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) sum += media::be16(header + i);
    while (sum >> 16) sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> rtp_bytes(uint32_t ssrc, const rtp_packet& p) {
    std::vector<uint8_t> b(kRtpHeader + p.payload.size(), 0);
    b[0] = 0x80;
    b[1] = static_cast<uint8_t>((p.marker ? 0x80 : 0) | (p.payload_type & 0x7F));
    put_be16(b.data() + 2, p.sequence);
    put_be32(b.data() + 4, p.timestamp);
    put_be32(b.data() + 8, ssrc);
    std::copy(p.payload.begin(), p.payload.end(), b.begin() + kRtpHeader);
    return b;
}

// The UDP datagram in an IPv4 header: one packet, or its fragments when the layout asks.
std::vector<std::vector<uint8_t>> ip_packets(const udp_record& r, uint16_t ip_id,
                                             size_t fragment_payload) {
    std::vector<uint8_t> udp(kUdpHeader + r.payload.size(), 0);
    put_be16(udp.data(), r.source.port);
    put_be16(udp.data() + 2, r.destination.port);
    put_be16(udp.data() + 4, static_cast<uint32_t>(udp.size()));
    // UDP checksum 0: optional over IPv4, and nothing here could be corrupted in transit.
    std::copy(r.payload.begin(), r.payload.end(), udp.begin() + kUdpHeader);

    const bool split = fragment_payload >= 8 && udp.size() > fragment_payload;
    const size_t piece = split ? fragment_payload / 8 * 8 : udp.size();
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at < udp.size(); at += piece) {
        const size_t n = std::min(piece, udp.size() - at);
        std::vector<uint8_t> ip(kIpHeader + n, 0);
        uint8_t* const h = ip.data();
        h[0] = 0x45;
        h[1] = 0xB8;  // expedited forwarding, as voice is marked
        put_be16(h + 2, static_cast<uint32_t>(ip.size()));
        put_be16(h + 4, ip_id);
        const bool more = at + n < udp.size();
        put_be16(h + 6, split ? static_cast<uint32_t>((more ? 0x2000 : 0) | (at / 8))
                              : 0x4000);  // don't fragment
        h[8] = 64;
        h[9] = 17;
        std::copy(r.source.address.begin(), r.source.address.end(), ip.begin() + 12);
        std::copy(r.destination.address.begin(), r.destination.address.end(), ip.begin() + 16);
        put_be16(h + 10, ip_checksum(h, kIpHeader));
        std::copy(udp.begin() + static_cast<long>(at), udp.begin() + static_cast<long>(at + n),
                  ip.begin() + kIpHeader);
        out.push_back(std::move(ip));
    }
    return out;
}

// Locally administered MAC addresses derived from the IP addresses: stable and unowned.
std::array<uint8_t, 6> mac_of(const ipv4_endpoint& e) {
    return {0x02, 0, e.address[0], e.address[1], e.address[2], e.address[3]};
}

std::vector<uint8_t> link_frame(int link_type, const udp_record& r,
                                const std::vector<uint8_t>& ip) {
    std::vector<uint8_t> f;
    if (link_type == kLinkLinuxSll) {
        f.assign(kLinuxCookedHeader, 0);
        put_be16(f.data() + 2, 1);  // hardware type: Ethernet
        put_be16(f.data() + 4, 6);
        const std::array<uint8_t, 6> mac = mac_of(r.source);
        std::copy(mac.begin(), mac.end(), f.begin() + 6);
        put_be16(f.data() + 14, 0x0800);
    } else {
        f.assign(kEthernetHeader, 0);
        const std::array<uint8_t, 6> dst = mac_of(r.destination), src = mac_of(r.source);
        std::copy(dst.begin(), dst.end(), f.begin());
        std::copy(src.begin(), src.end(), f.begin() + 6);
        put_be16(f.data() + 12, 0x0800);
    }
    f.insert(f.end(), ip.begin(), ip.end());
    return f;
}

void append_le16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void append_le32(std::vector<uint8_t>& b, uint32_t v) {
    append_le16(b, v & 0xFFFFu);
    append_le16(b, v >> 16);
}

}  // namespace

capture_file_writer::~capture_file_writer() {
    if (file_) std::fclose(file_);
}

void capture_file_writer::put(const std::vector<uint8_t>& bytes) {
    if (file_ && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) failed_ = true;
}

bool capture_file_writer::open(const std::string& path, const capture_layout& layout,
                               std::string* error) {
    path_ = path;
    layout_ = layout;
    if (layout_.link_types.empty()) layout_.link_types = {kLinkEthernet};
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (layout_.pcapng) {
        new_section();
        return true;
    }
    std::vector<uint8_t> h;
    append_le32(h, kPcapMagicMicro);
    append_le16(h, 2);
    append_le16(h, 4);
    append_le32(h, 0);
    append_le32(h, 0);
    append_le32(h, layout_.snap_length ? layout_.snap_length : kPcapSnapLength);
    append_le32(h, static_cast<uint32_t>(layout_.link_types[0]));
    put(h);
    return true;
}

void capture_file_writer::new_section() {
    if (!layout_.pcapng) return;
    std::vector<uint8_t> b;
    append_le32(b, kPcapngSection);
    append_le32(b, 28);
    append_le32(b, kPcapngByteOrder);
    append_le16(b, 1);
    append_le16(b, 0);
    append_le32(b, 0xFFFFFFFF);  // section length unknown
    append_le32(b, 0xFFFFFFFF);
    append_le32(b, 28);
    for (int link : layout_.link_types) {
        append_le32(b, kBlockInterface);
        append_le32(b, 20);
        append_le16(b, static_cast<uint32_t>(link));
        append_le16(b, 0);
        append_le32(b, layout_.snap_length ? layout_.snap_length : kPcapngSnapLength);
        append_le32(b, 20);
    }
    put(b);
}

void capture_file_writer::write_frame(const udp_record& r, const std::vector<uint8_t>& ip) {
    const size_t itf = r.interface < layout_.link_types.size() ? r.interface : 0;
    const std::vector<uint8_t> frame = link_frame(layout_.link_types[itf], r, ip);
    const uint32_t caplen = layout_.snap_length && frame.size() > layout_.snap_length
                                ? layout_.snap_length
                                : static_cast<uint32_t>(frame.size());
    std::vector<uint8_t> b;
    if (layout_.pcapng) {
        const uint32_t padded = (caplen + 3) & ~3u;
        const uint64_t t = static_cast<uint64_t>(r.time_us);
        append_le32(b, kBlockEnhancedPacket);
        append_le32(b, 32 + padded);
        append_le32(b, static_cast<uint32_t>(itf));
        append_le32(b, static_cast<uint32_t>(t >> 32));
        append_le32(b, static_cast<uint32_t>(t));
        append_le32(b, caplen);
        append_le32(b, static_cast<uint32_t>(frame.size()));
        b.insert(b.end(), frame.begin(), frame.begin() + caplen);
        b.resize(b.size() + padded - caplen, 0);
        append_le32(b, 32 + padded);
    } else {
        append_le32(b, static_cast<uint32_t>(r.time_us / 1000000));
        append_le32(b, static_cast<uint32_t>(r.time_us % 1000000));
        append_le32(b, caplen);
        append_le32(b, static_cast<uint32_t>(frame.size()));
        b.insert(b.end(), frame.begin(), frame.begin() + caplen);
    }
    put(b);
}

void capture_file_writer::write(const udp_record& r) { write(r, next_ip_id_++); }

void capture_file_writer::write(const udp_record& r, uint16_t ip_id) {
    for (const std::vector<uint8_t>& ip : ip_packets(r, ip_id, layout_.fragment_payload))
        write_frame(r, ip);
}

bool capture_file_writer::close(std::string* error) {
    if (!file_) return false;
    const bool ok = std::fflush(file_) == 0 && !failed_;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok || !closed) {
        *error = path_ + ": write failed";
        return false;
    }
    return true;
}

std::vector<rtp_packet> dtx_packets(const std::vector<int16_t>& audio,
                                    const std::vector<bool>& talking, int sid_interval,
                                    uint16_t first_sequence, uint32_t first_timestamp,
                                    int64_t start_us) {
    tarnel::g729_encoder_state encoder;
    tarnel::g729_encoder_init(&encoder);
    std::vector<rtp_packet> packets;
    uint16_t sequence = first_sequence;
    int silent_for = 0;  // slots since the leg fell silent
    for (size_t slot = 0; slot < talking.size(); ++slot) {
        // The encoder runs through silence as well, so that each talk spurt starts from the
        // state a sender that never stops analysing would have.
        int16_t pcm[kSlotSamples] = {};
        const size_t at = slot * kSlotSamples;
        if (at < audio.size())
            std::copy(audio.begin() + static_cast<long>(at),
                      audio.begin() + static_cast<long>(std::min(audio.size(), at + kSlotSamples)),
                      pcm);
        uint8_t coded[2 * kSpeechFrameBytes];
        for (int f = 0; f < 2; ++f) {
            int len = 0;
            tarnel::g729_encode_frame(&encoder, pcm + f * kFrame, coded + f * kSpeechFrameBytes,
                                      &len);
        }

        rtp_packet p;
        p.time_us = start_us + static_cast<int64_t>(slot) * kSlotMicroseconds;
        p.timestamp = first_timestamp + static_cast<uint32_t>(slot * kSlotSamples);
        if (talking[slot]) {
            p.marker = slot == 0 || !talking[slot - 1];
            p.payload.assign(coded, coded + 2 * kSpeechFrameBytes);
            silent_for = 0;
        } else {
            const bool after_speech = slot > 0 && talking[slot - 1];
            if (after_speech) {
                p.payload.assign(coded, coded + kSpeechFrameBytes);
                p.payload.insert(p.payload.end(), kQuietSid.begin(), kQuietSid.end());
            } else if (silent_for % sid_interval == 0) {
                p.payload.assign(kQuietSid.begin(), kQuietSid.end());
            }
            ++silent_for;
            if (p.payload.empty()) continue;
        }
        p.sequence = sequence++;
        packets.push_back(std::move(p));
    }
    return packets;
}

std::vector<udp_record> rtp_records(const std::vector<rtp_leg>& legs) {
    std::vector<udp_record> out;
    for (const rtp_leg& leg : legs)
        for (const rtp_packet& p : leg.packets)
            out.push_back({p.time_us, leg.source, leg.destination, rtp_bytes(leg.ssrc, p), 0});
    std::stable_sort(out.begin(), out.end(), [](const udp_record& a, const udp_record& b) {
        return a.time_us < b.time_us;
    });
    return out;
}

bool write_records(const std::string& path, const std::vector<udp_record>& records,
                   const capture_layout& layout, std::string* error) {
    capture_file_writer w;
    if (!w.open(path, layout, error)) return false;
    const size_t sections = static_cast<size_t>(std::max(1, layout.sections));
    const size_t per_section = (records.size() + sections - 1) / sections;
    for (size_t i = 0; i < records.size(); ++i) {
        if (i > 0 && per_section > 0 && i % per_section == 0) w.new_section();
        w.write(records[i]);
    }
    return w.close(error);
}

bool write_capture(const std::string& path, const std::vector<rtp_leg>& legs, std::string* error) {
    // Each leg numbers its IP datagrams from 0x1000, as a phone of its own would.
    capture_file_writer w;
    if (!w.open(path, capture_layout(), error)) return false;
    std::vector<uint16_t> ids(legs.size(), 0x1000);
    struct entry {
        int64_t time_us;
        size_t leg;
        size_t index;
    };
    std::vector<entry> order;
    for (size_t l = 0; l < legs.size(); ++l)
        for (size_t i = 0; i < legs[l].packets.size(); ++i)
            order.push_back({legs[l].packets[i].time_us, l, i});
    std::stable_sort(order.begin(), order.end(),
                     [](const entry& a, const entry& b) { return a.time_us < b.time_us; });
    for (const entry& e : order) {
        const rtp_leg& leg = legs[e.leg];
        const rtp_packet& p = leg.packets[e.index];
        const udp_record r{p.time_us, leg.source, leg.destination, rtp_bytes(leg.ssrc, p), 0};
        w.write(r, ids[e.leg]++);
    }
    return w.close(error);
}

namespace {

std::string endpoint_text(const ipv4_endpoint& e) {
    return std::to_string(e.address[0]) + "." + std::to_string(e.address[1]) + "." +
           std::to_string(e.address[2]) + "." + std::to_string(e.address[3]);
}

std::string sdp_body(const sip_call& c, const ipv4_endpoint& media, const char* user) {
    const std::string pt = std::to_string(c.payload_type);
    std::string rtpmap = "a=rtpmap:" + pt + " G729/8000\r\n";
    return "v=0\r\n"
           "o=" +
           std::string(user) + " 2890844526 2890844526 IN IP4 " + endpoint_text(media) +
           "\r\n"
           "s=-\r\n"
           "c=IN IP4 " +
           endpoint_text(media) +
           "\r\n"
           "t=0 0\r\n"
           "m=audio " +
           std::to_string(media.port) + " RTP/AVP " + pt + " 101\r\n" + rtpmap + "a=fmtp:" + pt +
           " annexb=yes\r\n"
           "a=rtpmap:101 telephone-event/8000\r\n"
           "a=ptime:20\r\n";
}

std::vector<uint8_t> sip_text(const std::string& first, const sip_call& c, const std::string& cseq,
                              const ipv4_endpoint& via, bool answer_tag, const std::string& body) {
    std::string m = first +
                    "\r\n"
                    "Via: SIP/2.0/UDP " +
                    endpoint_text(via) + ":" + std::to_string(via.port) + ";branch=z9hG4bK" +
                    c.call_id.substr(0, 8) + cseq.substr(0, 1) +
                    "\r\n"
                    "Max-Forwards: 70\r\n"
                    "From: \"Alice\" <" +
                    c.caller_uri +
                    ">;tag=1928301774\r\n"
                    "To: <" +
                    c.callee_uri + ">" + (answer_tag ? ";tag=a6c85cf" : "") +
                    "\r\n"
                    "Call-ID: " +
                    c.call_id +
                    "\r\n"
                    "CSeq: " +
                    cseq +
                    "\r\n"
                    "Contact: <sip:" +
                    endpoint_text(via) + ":" + std::to_string(via.port) + ">\r\n";
    if (!body.empty()) m += "Content-Type: application/sdp\r\n";
    m += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return std::vector<uint8_t>(m.begin(), m.end());
}

}  // namespace

std::vector<udp_record> sip_records(const sip_call& c) {
    const ipv4_endpoint& a = c.caller_signalling;
    const ipv4_endpoint& b = c.callee_signalling;
    const std::string request_uri = c.callee_uri;
    std::vector<udp_record> out;
    auto add = [&](int64_t t, const ipv4_endpoint& from, const ipv4_endpoint& to,
                   std::vector<uint8_t> text) {
        out.push_back({t, from, to, std::move(text), 0});
    };
    add(c.invite_us, a, b,
        sip_text("INVITE " + request_uri + " SIP/2.0", c, "1 INVITE", a, false,
                 sdp_body(c, c.caller_media, "alice")));
    add(c.invite_us + 2000, b, a, sip_text("SIP/2.0 100 Trying", c, "1 INVITE", a, false, ""));
    add(c.invite_us + 3000, b, a, sip_text("SIP/2.0 180 Ringing", c, "1 INVITE", a, true, ""));
    add(c.answer_us, b, a,
        sip_text("SIP/2.0 200 OK", c, "1 INVITE", a, true, sdp_body(c, c.callee_media, "bob")));
    add(c.answer_us + 1000, a, b,
        sip_text("ACK " + request_uri + " SIP/2.0", c, "1 ACK", a, true, ""));
    add(c.bye_us, a, b, sip_text("BYE " + request_uri + " SIP/2.0", c, "2 BYE", a, true, ""));
    add(c.bye_us + 1000, b, a, sip_text("SIP/2.0 200 OK", c, "2 BYE", a, true, ""));
    return out;
}

bool write_many_calls(const std::string& path, const std::vector<int16_t>& speech, int count,
                      int seconds, const capture_layout& layout, std::string* error) {
    constexpr int kSidInterval = 10;
    constexpr int64_t kStart = 1700000000000000;
    const size_t slots = static_cast<size_t>(seconds) * 50;
    // One conversation, coded once: the caller talks in the first half of every 8 s, the
    // callee in the second half, each from its own part of the recording.
    std::vector<bool> caller_talks(slots), callee_talks(slots);
    for (size_t i = 0; i < slots; ++i) {
        caller_talks[i] = (i % 400) < 190;
        callee_talks[i] = (i % 400) >= 200 && (i % 400) < 390;
    }
    std::vector<int16_t> audio(slots * kSlotSamples);
    for (size_t i = 0; i < audio.size() && !speech.empty(); ++i)
        audio[i] = speech[i % speech.size()];
    const std::vector<rtp_packet> caller = dtx_packets(audio, caller_talks, kSidInterval, 0, 0, 0);
    std::rotate(audio.begin(), audio.begin() + static_cast<long>(audio.size() / 3), audio.end());
    const std::vector<rtp_packet> callee = dtx_packets(audio, callee_talks, kSidInterval, 0, 0, 0);

    capture_file_writer w;
    if (!w.open(path, layout, error)) return false;
    auto host = [](int call, int side) {
        return std::array<uint8_t, 4>{10, static_cast<uint8_t>(side + 1),
                                      static_cast<uint8_t>(call / 250),
                                      static_cast<uint8_t>(call % 250 + 1)};
    };
    // Calls start at different moments of a 20 ms slot, so their packets interleave as on a
    // busy trunk while the file stays in capture order.
    auto call_offset = [](int call) { return static_cast<int64_t>(call) * 97 % 16000; };
    std::vector<std::vector<udp_record>> signalling(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        sip_call c;
        c.call_id = "call" + std::to_string(k) + "-7f3a9c@example.com";
        c.caller_signalling = {host(k, 0), 5060};
        c.callee_signalling = {host(k, 1), 5060};
        c.caller_media = {host(k, 0), static_cast<uint16_t>(16384 + 2 * k)};
        c.callee_media = {host(k, 1), static_cast<uint16_t>(20000 + 2 * k)};
        c.payload_type = 18;
        c.invite_us = kStart + call_offset(k) - 300000;
        c.answer_us = kStart + call_offset(k) - 100000;
        c.bye_us = kStart + call_offset(k) + static_cast<int64_t>(seconds) * 1000000 + 20000;
        signalling[static_cast<size_t>(k)] = sip_records(c);
    }
    // Signalling before the media, then slot by slot, then the hang-ups.
    std::vector<udp_record> setup, teardown;
    for (const auto& s : signalling)
        for (const udp_record& r : s) (r.time_us < kStart ? setup : teardown).push_back(r);
    auto by_time = [](const udp_record& a, const udp_record& b) { return a.time_us < b.time_us; };
    std::stable_sort(setup.begin(), setup.end(), by_time);
    std::stable_sort(teardown.begin(), teardown.end(), by_time);
    for (const udp_record& r : setup) w.write(r);
    size_t next[2] = {0, 0};
    std::vector<udp_record> slot_records;
    for (size_t slot = 0; slot < slots; ++slot) {
        slot_records.clear();
        for (int side = 0; side < 2; ++side) {
            const std::vector<rtp_packet>& packets = side == 0 ? caller : callee;
            size_t& i = next[side];
            if (i >= packets.size() || packets[i].timestamp != slot * kSlotSamples) continue;
            for (int k = 0; k < count; ++k) {
                rtp_packet p = packets[i];
                p.sequence = static_cast<uint16_t>(p.sequence + 1000 * k + side * 7);
                p.timestamp += static_cast<uint32_t>(160000u * static_cast<uint32_t>(k) + side);
                udp_record r;
                r.time_us = kStart + call_offset(k) +
                            static_cast<int64_t>(slot) * kSlotMicroseconds + side * 3000;
                r.source = {host(k, side), static_cast<uint16_t>((side ? 20000 : 16384) + 2 * k)};
                r.destination = {host(k, 1 - side),
                                 static_cast<uint16_t>((side ? 16384 : 20000) + 2 * k)};
                r.payload = rtp_bytes(0x10000000u + static_cast<uint32_t>(2 * k + side), p);
                slot_records.push_back(std::move(r));
            }
            ++i;
        }
        std::stable_sort(slot_records.begin(), slot_records.end(), by_time);
        for (const udp_record& r : slot_records) w.write(r);
    }
    for (const udp_record& r : teardown) w.write(r);
    return w.close(error);
}

std::vector<rtp_leg> sample_call(const std::vector<int16_t>& speech) {
    constexpr size_t kSlots = 450;                   // 9 s
    constexpr size_t kCallerTalks = 155;             // slots 0..154: the first sentence, 0-3.1 s
    constexpr size_t kCalleeStarts = 165;            // answers 200 ms after the caller stops
    constexpr size_t kCalleeTalks = 270;             // 5.4 s of the third sentence
    constexpr size_t kCalleeFrom = 9 * kSampleRate;  // where the third sentence starts
    constexpr int kSidInterval = 10;                 // a noise update every 200 ms
    constexpr int64_t kStart = 1700000000000000;     // capture time of the first slot

    auto slice = [&](size_t from, size_t count) {
        std::vector<int16_t> out(count, 0);
        for (size_t i = 0; i < count && from + i < speech.size(); ++i) out[i] = speech[from + i];
        return out;
    };

    rtp_leg caller;
    caller.source = {{192, 0, 2, 10}, 16384};
    caller.destination = {{198, 51, 100, 20}, 20000};
    caller.ssrc = 0x5ca11e12;
    std::vector<bool> caller_talks(kSlots, false);
    std::fill(caller_talks.begin(), caller_talks.begin() + kCallerTalks, true);
    std::vector<int16_t> caller_audio = slice(0, kCallerTalks * kSlotSamples);
    caller.packets = dtx_packets(caller_audio, caller_talks, kSidInterval, 1201, 48000, kStart);

    rtp_leg callee;
    callee.source = caller.destination;
    callee.destination = caller.source;
    callee.ssrc = 0x0ca11ee5;
    std::vector<bool> callee_talks(kSlots, false);
    std::fill(callee_talks.begin() + kCalleeStarts,
              callee_talks.begin() + kCalleeStarts + kCalleeTalks, true);
    std::vector<int16_t> callee_audio(kCalleeStarts * kSlotSamples, 0);
    const std::vector<int16_t> answer = slice(kCalleeFrom, kCalleeTalks * kSlotSamples);
    callee_audio.insert(callee_audio.end(), answer.begin(), answer.end());
    // The callee's phone answers 7 ms after the caller's: the two legs' packets interleave.
    callee.packets =
        dtx_packets(callee_audio, callee_talks, kSidInterval, 40001, 3200000, kStart + 7000);
    return {caller, callee};
}

}  // namespace tarnel::capture
