#include "capture/capture_writer.h"

#include <pcap/pcap.h>

#include <algorithm>

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

uint16_t ip_checksum(const uint8_t* header, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) sum += media::be16(header + i);
    while (sum >> 16) sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> ethernet_frame(const rtp_leg& leg, const rtp_packet& p, uint16_t ip_id) {
    const size_t rtp_size = kRtpHeader + p.payload.size();
    const size_t udp_size = kUdpHeader + rtp_size;
    const size_t ip_size = kIpHeader + udp_size;
    std::vector<uint8_t> f(kEthernetHeader + ip_size, 0);
    uint8_t* const b = f.data();
    // Locally administered MAC addresses derived from the IP addresses: stable and unowned.
    const uint8_t dst_mac[6] = {0x02, 0, leg.destination.address[0], leg.destination.address[1],
                                leg.destination.address[2], leg.destination.address[3]};
    const uint8_t src_mac[6] = {0x02, 0, leg.source.address[0], leg.source.address[1],
                                leg.source.address[2], leg.source.address[3]};
    std::copy(dst_mac, dst_mac + 6, f.begin());
    std::copy(src_mac, src_mac + 6, f.begin() + 6);
    put_be16(b + 12, 0x0800);

    const size_t ip = kEthernetHeader;
    f[ip] = 0x45;
    f[ip + 1] = 0xB8;  // expedited forwarding, as voice is marked
    put_be16(b + ip + 2, static_cast<uint32_t>(ip_size));
    put_be16(b + ip + 4, ip_id);
    put_be16(b + ip + 6, 0x4000);  // don't fragment
    f[ip + 8] = 64;
    f[ip + 9] = 17;
    std::copy(leg.source.address.begin(), leg.source.address.end(), f.begin() + static_cast<long>(ip + 12));
    std::copy(leg.destination.address.begin(), leg.destination.address.end(),
              f.begin() + static_cast<long>(ip + 16));
    put_be16(b + ip + 10, ip_checksum(f.data() + ip, kIpHeader));

    const size_t udp = ip + kIpHeader;
    put_be16(b + udp, leg.source.port);
    put_be16(b + udp + 2, leg.destination.port);
    put_be16(b + udp + 4, static_cast<uint32_t>(udp_size));
    // UDP checksum 0: optional over IPv4, and nothing here could be corrupted in transit.

    const size_t rtp = udp + kUdpHeader;
    f[rtp] = 0x80;
    f[rtp + 1] = static_cast<uint8_t>((p.marker ? 0x80 : 0) | (p.payload_type & 0x7F));
    put_be16(b + rtp + 2, p.sequence);
    put_be32(b + rtp + 4, p.timestamp);
    put_be32(b + rtp + 8, leg.ssrc);
    std::copy(p.payload.begin(), p.payload.end(), f.begin() + static_cast<long>(rtp + kRtpHeader));
    return f;
}

}  // namespace

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
                      audio.begin() + static_cast<long>(std::min(audio.size(), at + kSlotSamples)), pcm);
        uint8_t coded[2 * kSpeechFrameBytes];
        for (int f = 0; f < 2; ++f) {
            int len = 0;
            tarnel::g729_encode_frame(&encoder, pcm + f * kFrame, coded + f * kSpeechFrameBytes, &len);
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

bool write_capture(const std::string& path, const std::vector<rtp_leg>& legs, std::string* error) {
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

    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    if (!dead) {
        *error = path + ": cannot set up the capture writer";
        return false;
    }
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    if (!dumper) {
        *error = path + ": " + pcap_geterr(dead);
        pcap_close(dead);
        return false;
    }
    std::vector<uint16_t> ip_ids(legs.size(), 0x1000);
    for (const entry& e : order) {
        const std::vector<uint8_t> frame =
            ethernet_frame(legs[e.leg], legs[e.leg].packets[e.index], ip_ids[e.leg]++);
        pcap_pkthdr h{};
        h.ts.tv_sec = e.time_us / 1000000;
        h.ts.tv_usec = static_cast<suseconds_t>(e.time_us % 1000000);
        h.caplen = h.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &h, frame.data());
    }
    const bool flushed = pcap_dump_flush(dumper) == 0;
    pcap_dump_close(dumper);
    pcap_close(dead);
    if (!flushed) {
        *error = path + ": write failed";
        return false;
    }
    return true;
}

std::vector<rtp_leg> sample_call(const std::vector<int16_t>& speech) {
    constexpr size_t kSlots = 450;                 // 9 s
    constexpr size_t kCallerTalks = 155;           // slots 0..154: the first sentence, 0-3.1 s
    constexpr size_t kCalleeStarts = 165;          // answers 200 ms after the caller stops
    constexpr size_t kCalleeTalks = 270;           // 5.4 s of the third sentence
    constexpr size_t kCalleeFrom = 9 * kSampleRate;  // where the third sentence starts
    constexpr int kSidInterval = 10;               // a noise update every 200 ms
    constexpr int64_t kStart = 1700000000000000;   // capture time of the first slot

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
    callee.packets = dtx_packets(callee_audio, callee_talks, kSidInterval, 40001, 3200000, kStart + 7000);
    return {caller, callee};
}

}  // namespace tarnel::capture
