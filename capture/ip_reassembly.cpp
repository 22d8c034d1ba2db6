#include "capture/ip_reassembly.h"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace tarnel::capture {

bool operator<(const fragment_key& a, const fragment_key& b) {
    return std::tie(a.family, a.source, a.destination, a.protocol, a.id) <
           std::tie(b.family, b.source, b.destination, b.protocol, b.id);
}

ip_reassembler::ip_reassembler(const reassembly_limits& limits) : limits_(limits) {}

void ip_reassembler::drop(std::map<fragment_key, datagram>::iterator it) {
    bytes_held_ -= it->second.data.capacity();
    by_age_.erase(it->second.age);
    datagrams_.erase(it);
}

void ip_reassembler::give_up_oldest() {
    ++stats_.incomplete;
    drop(datagrams_.find(by_age_.front()));
}

void ip_reassembler::expire(int64_t now_us) {
    while (!by_age_.empty()) {
        const auto it = datagrams_.find(by_age_.front());
        if (now_us - it->second.last_time_us <= limits_.timeout_us) break;
        ++stats_.incomplete;
        drop(it);
    }
}

void ip_reassembler::finish() {
    stats_.incomplete += datagrams_.size();
    datagrams_.clear();
    by_age_.clear();
    bytes_held_ = 0;
}

bool ip_reassembler::add(const ip_fragment& f, int64_t time_us, std::vector<uint8_t>* out) {
    ++stats_.fragments;
    expire(time_us);
    auto it = datagrams_.find(f.key);
    const std::size_t end = f.offset + f.size;
    if (end > kMaxIpDatagram) {
        ++stats_.oversized;
        if (it != datagrams_.end()) drop(it);
        return false;
    }
    if (it == datagrams_.end()) {
        if (datagrams_.size() >= limits_.max_datagrams) give_up_oldest();
        it = datagrams_.emplace(f.key, datagram{}).first;
        by_age_.push_back(f.key);
        it->second.age = std::prev(by_age_.end());
    } else {
        by_age_.splice(by_age_.end(), by_age_, it->second.age);
    }
    datagram& d = it->second;
    d.last_time_us = time_us;

    // The last piece fixes the length; a second, different end, or data past it, is a conflict.
    if (!f.more) {
        if (d.total != 0 && d.total != end) {
            ++stats_.conflicting;
            drop(it);
            return false;
        }
        d.total = end;
    }
    if ((d.total != 0 && end > d.total) || ++d.pieces > kMaxFragmentsPerDatagram) {
        ++(d.total != 0 && end > d.total ? stats_.conflicting : stats_.oversized);
        drop(it);
        return false;
    }

    if (f.size > 0) {
        if (d.data.size() < end) {
            const std::size_t before = d.data.capacity();
            d.data.resize(end, 0);
            bytes_held_ += d.data.capacity() - before;
        }
        // Bytes already held must agree; only the uncovered parts are copied.
        bool added = false;
        std::size_t at = f.offset;
        for (const auto& r : d.ranges) {
            if (r.second <= at) continue;
            if (r.first >= end) break;
            if (r.first > at) {
                std::memcpy(d.data.data() + at, f.data + (at - f.offset), r.first - at);
                added = true;
            }
            const std::size_t from = std::max(at, r.first), to = std::min(end, r.second);
            if (std::memcmp(d.data.data() + from, f.data + (from - f.offset), to - from) != 0) {
                ++stats_.conflicting;
                drop(it);
                return false;
            }
            at = to;
        }
        if (at < end) {
            std::memcpy(d.data.data() + at, f.data + (at - f.offset), end - at);
            added = true;
        }
        if (!added) ++stats_.repeated;
        d.ranges.emplace_back(f.offset, end);
        std::sort(d.ranges.begin(), d.ranges.end());
        std::vector<std::pair<std::size_t, std::size_t>> merged;
        for (const auto& r : d.ranges) {
            if (!merged.empty() && r.first <= merged.back().second)
                merged.back().second = std::max(merged.back().second, r.second);
            else
                merged.push_back(r);
        }
        d.ranges.swap(merged);
    } else if (f.more) {
        ++stats_.repeated;  // an empty middle piece carries nothing
    }

    const bool complete = d.total != 0 && d.ranges.size() == 1 && d.ranges[0].first == 0 &&
                          d.ranges[0].second == d.total;
    if (!complete) {
        while (bytes_held_ > limits_.max_bytes && by_age_.size() > 1) give_up_oldest();
        if (bytes_held_ > limits_.max_bytes) {
            ++stats_.oversized;
            drop(datagrams_.find(by_age_.front()));
        }
        return false;
    }
    out->assign(d.data.begin(), d.data.begin() + static_cast<long>(d.total));
    ++stats_.reassembled;
    drop(it);
    return true;
}

}  // namespace tarnel::capture
