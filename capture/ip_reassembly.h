// IP fragments put back together into whole datagrams, as a protocol analyser does.
//
// Large SIP messages and RTP sent over a small path MTU arrive in pieces; without reassembly a
// call would seem to lose most of its packets. A datagram is complete once its last piece has
// arrived and every byte up to it is covered. What a capture may hold that a network stack
// would refuse is handled the safe way:
//  - a repeated fragment, or one overlapping bytes already held with the same content, adds
//    nothing and is counted;
//  - an overlap that changes bytes already held is how an attacker hides content from a
//    monitor; the datagram is dropped (counted as conflicting) rather than guessed at;
//  - a datagram may not exceed 65535 bytes nor come in more than kMaxFragmentsPerDatagram
//    pieces;
//  - memory is bounded: at most max_datagrams datagrams and max_bytes bytes in progress, the
//    oldest given up first; a datagram whose pieces stop arriving for timeout_us of capture
//    time is given up too. Every datagram given up is counted as incomplete.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <vector>

namespace tarnel::capture {

constexpr std::size_t kMaxIpDatagram = 65535;
constexpr std::size_t kMaxFragmentsPerDatagram = 1024;

// What identifies the pieces of one datagram: the addresses, the protocol and the
// identification field (16 bits in IPv4, 32 in IPv6).
struct fragment_key {
    uint8_t family = 0;
    std::array<uint8_t, 16> source{};
    std::array<uint8_t, 16> destination{};
    uint8_t protocol = 0;
    uint32_t id = 0;
};
bool operator<(const fragment_key& a, const fragment_key& b);

struct ip_fragment {
    fragment_key key;
    std::size_t offset = 0;  // bytes, from the start of the datagram's payload
    bool more = false;       // more fragments follow
    const uint8_t* data = nullptr;
    std::size_t size = 0;  // bytes of this piece
};

struct reassembly_limits {
    std::size_t max_datagrams = 4096;
    std::size_t max_bytes = std::size_t{64} << 20;
    int64_t timeout_us = 30 * 1000000LL;  // capture time without a new piece
};

struct reassembly_stats {
    uint64_t fragments = 0;    // pieces offered
    uint64_t reassembled = 0;  // datagrams completed
    uint64_t repeated = 0;     // pieces that added nothing new (repeats, consistent overlaps)
    uint64_t conflicting = 0;  // datagrams dropped for an overlap that changed bytes
    uint64_t oversized = 0;    // datagrams dropped for exceeding the size or piece limits
    uint64_t incomplete = 0;   // datagrams given up: timed out, evicted, or left at the end
};

class ip_reassembler {
public:
    explicit ip_reassembler(const reassembly_limits& limits = reassembly_limits());

    // Offers one piece captured at `time_us`. True when it completes a datagram: *out then holds
    // the datagram's payload (from offset 0) and *key its identity.
    bool add(const ip_fragment& fragment, int64_t time_us, std::vector<uint8_t>* out);

    // Gives up the datagrams that have waited longer than the timeout at `now_us`.
    void expire(int64_t now_us);

    // Gives up everything still in progress (the end of the capture).
    void finish();

    const reassembly_stats& stats() const { return stats_; }
    std::size_t bytes_held() const { return bytes_held_; }

private:
    struct datagram {
        std::vector<uint8_t> data;
        std::vector<std::pair<std::size_t, std::size_t>> ranges;  // held [begin, end), sorted
        std::size_t total = 0;  // known once the last piece arrived; 0 until then
        std::size_t pieces = 0;
        int64_t last_time_us = 0;
        std::list<fragment_key>::iterator age;
    };
    void drop(std::map<fragment_key, datagram>::iterator it);
    void give_up_oldest();

    reassembly_limits limits_;
    reassembly_stats stats_;
    std::map<fragment_key, datagram> datagrams_;
    std::list<fragment_key> by_age_;  // oldest first, by the last piece's arrival
    std::size_t bytes_held_ = 0;
};

}  // namespace tarnel::capture
