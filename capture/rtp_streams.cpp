#include "capture/rtp_streams.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_set>

#include "media/byte_order.h"

namespace tarnel::capture {

using media::be16;
using media::be32;

namespace {

// How far a sequence number may move from the highest seen and still belong to the stream
// without confirmation: a minute of consecutive loss ahead, a burst of misordering behind.
constexpr int kMaxDropout = 3000;
constexpr int kMaxMisorder = 100;

struct stored_packet {
    int64_t ext_seq = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    int64_t time_us = 0;
    bool decodable = false;  // of the payload type asked for
    std::vector<uint8_t> payload;
};

struct stream_state {
    rtp_stream_key key;
    uint64_t all_packets = 0;
    std::set<uint8_t> payload_types;
    bool selected = true;  // passes the SSRC filter
    rtp_stream_stats stats;

    bool started = false;
    int64_t max_ext = 0;
    uint16_t max_raw = 0;
    bool has_pending = false;
    stored_packet pending;

    std::unordered_set<int64_t> played_seqs;
    std::unordered_set<int64_t> late_seqs;
    std::vector<stored_packet> packets;
};

}  // namespace

rtp_parse_result parse_rtp(const uint8_t* data, std::size_t size, rtp_packet_view* out) {
    if (data == nullptr || size < 12) return rtp_parse_result::kTooShort;
    if ((data[0] >> 6) != 2) return rtp_parse_result::kBadVersion;
    const bool padding = (data[0] & 0x20) != 0;
    const bool extension = (data[0] & 0x10) != 0;
    const std::size_t csrc_count = data[0] & 0x0F;
    const uint8_t payload_type = data[1] & 0x7F;
    // RTCP sharing the port: its packet types 200..204 read as these with the marker set.
    if (payload_type >= 72 && payload_type <= 76) return rtp_parse_result::kRtcp;

    std::size_t offset = 12 + 4 * csrc_count;
    if (offset > size) return rtp_parse_result::kBadHeader;
    if (extension) {
        if (size - offset < 4) return rtp_parse_result::kBadHeader;
        const std::size_t length = 4 + 4 * static_cast<std::size_t>(be16(data + offset + 2));
        if (length > size - offset) return rtp_parse_result::kBadHeader;
        offset += length;
    }
    std::size_t end = size;
    if (padding) {
        if (end == offset) return rtp_parse_result::kBadPadding;
        const std::size_t pad = data[end - 1];
        if (pad == 0 || pad > end - offset) return rtp_parse_result::kBadPadding;
        end -= pad;
    }
    out->marker = (data[1] & 0x80) != 0;
    out->payload_type = payload_type;
    out->sequence = be16(data + 2);
    out->timestamp = be32(data + 4);
    out->ssrc = be32(data + 8);
    out->payload = data + offset;
    out->payload_size = end - offset;
    return rtp_parse_result::kOk;
}

g729_payload_shape classify_g729_payload(std::size_t size) {
    g729_payload_shape shape;
    const std::size_t rest = size % kSpeechFrameBytes;
    if (size == 0 || (rest != 0 && rest != kSidFrameBytes)) return shape;
    shape.well_formed = true;
    shape.speech_frames = size / kSpeechFrameBytes;
    shape.sid = rest == kSidFrameBytes;
    return shape;
}

bool operator<(const rtp_stream_key& a, const rtp_stream_key& b) {
    if (a.source != b.source) return a.source < b.source;
    if (a.destination != b.destination) return a.destination < b.destination;
    return a.ssrc < b.ssrc;
}

bool operator==(const rtp_stream_key& a, const rtp_stream_key& b) {
    return a.source == b.source && a.destination == b.destination && a.ssrc == b.ssrc;
}

namespace {

std::string ssrc_hex(uint32_t ssrc) {
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIx32, ssrc);
    return text;
}

std::string endpoint_label(const ip_endpoint& e) {
    std::string address = e.address_string();
    std::replace(address.begin(), address.end(), ':', '.');
    return address + "_" + std::to_string(e.port);
}

}  // namespace

std::string stream_description(const rtp_stream_key& key) {
    return key.source.to_string() + " -> " + key.destination.to_string() + " ssrc 0x" +
           ssrc_hex(key.ssrc);
}

std::string stream_label(const rtp_stream_key& key) {
    return endpoint_label(key.source) + "-" + endpoint_label(key.destination) + "_ssrc" +
           ssrc_hex(key.ssrc);
}

std::string stream_file_name(const rtp_stream_key& key) { return stream_label(key) + ".wav"; }

struct rtp_stream_collector::impl {
    rtp_options options;
    std::map<rtp_stream_key, std::size_t> index;
    std::vector<stream_state> streams;  // in order of first appearance
    uint64_t rtp_packets = 0;
    uint64_t non_rtp = 0;

    void accept(stream_state& s, stored_packet&& p, int64_t ext) {
        p.ext_seq = ext;
        s.played_seqs.insert(ext);
        s.packets.push_back(std::move(p));
    }

    void sequence(stream_state& s, stored_packet&& p) {
        const bool counted = p.decodable;
        if (!s.started) {
            s.started = true;
            s.max_ext = p.sequence;
            s.max_raw = p.sequence;
            accept(s, std::move(p), s.max_ext);
            return;
        }
        int delta = static_cast<int16_t>(static_cast<uint16_t>(p.sequence - s.max_raw));
        if (s.has_pending) {
            s.has_pending = false;
            if (p.sequence == static_cast<uint16_t>(s.pending.sequence + 1)) {
                // Two in a row: the sender renumbered. Carry on from here without counting the
                // jump as loss, since nothing says packets were sent across it.
                s.max_ext += 1;
                s.max_raw = s.pending.sequence;
                accept(s, std::move(s.pending), s.max_ext);
                delta = 1;
            } else if (s.pending.decodable) {
                ++s.stats.stray;
            }
        }
        const int max_misorder = std::max<int>(kMaxMisorder, static_cast<int>(options.reorder_window));
        if (delta > kMaxDropout || delta < -max_misorder) {
            s.pending = std::move(p);
            s.has_pending = true;
            return;
        }
        const int64_t ext = s.max_ext + delta;
        if (s.played_seqs.count(ext) != 0 || s.late_seqs.count(ext) != 0) {
            if (counted) ++s.stats.duplicated;
            return;
        }
        if (s.max_ext - ext >= static_cast<int64_t>(options.reorder_window)) {
            s.late_seqs.insert(ext);
            if (counted) ++s.stats.late;
            return;
        }
        if (delta < 0) {
            if (counted) ++s.stats.reordered;
        } else {
            s.max_ext = ext;
            s.max_raw = p.sequence;
        }
        accept(s, std::move(p), ext);
    }

    void plan(stream_state& s, rtp_stream* out) const;
};

void rtp_stream_collector::impl::plan(stream_state& s, rtp_stream* out) const {
    rtp_stream_stats& st = s.stats;
    std::sort(s.packets.begin(), s.packets.end(),
              [](const stored_packet& a, const stored_packet& b) { return a.ext_seq < b.ext_seq; });

    const uint64_t max_gap = static_cast<uint64_t>(options.max_gap_seconds) * kSampleRate;
    const uint64_t max_samples = static_cast<uint64_t>(options.max_stream_seconds) * kSampleRate;
    std::vector<playout_event>& events = out->plan;

    uint64_t position = 0;
    uint64_t missing = 0;
    uint64_t missing_total = 0;
    bool have_previous = false;   // any packet, for sequence gaps
    bool have_played = false;     // a decodable packet, for the timeline
    int64_t previous_ext = 0;
    uint32_t previous_ts = 0;
    uint32_t previous_samples = 0;
    int64_t previous_time = 0;
    bool previous_sid = false;
    std::vector<uint8_t> last_sid;

    for (stored_packet& p : s.packets) {
        if (have_previous) {
            const uint64_t skipped = static_cast<uint64_t>(p.ext_seq - previous_ext - 1);
            missing += skipped;
            missing_total += skipped;
        }
        have_previous = true;
        previous_ext = p.ext_seq;
        if (!p.decodable) continue;

        const g729_payload_shape shape = classify_g729_payload(p.payload.size());
        if (have_played) {
            const uint32_t expected = previous_ts + previous_samples;
            int64_t gap = static_cast<int32_t>(p.timestamp - expected);
            playout_event::cause reason =
                missing > 0 ? playout_event::cause::kLoss : playout_event::cause::kPause;
            if (gap < 0 || static_cast<uint64_t>(gap) > max_gap) {
                // The sender's clock jumped: the capture's clock is the only account left of
                // how long the listener waited.
                ++st.timestamp_jumps;
                reason = playout_event::cause::kDiscontinuity;
                const double waited = (static_cast<double>(p.time_us) -
                                       static_cast<double>(previous_time)) *
                                          kSampleRate / 1e6 -
                                      previous_samples;
                gap = waited <= 0 ? 0
                      : waited >= static_cast<double>(max_gap)
                          ? static_cast<int64_t>(max_gap)
                          : static_cast<int64_t>(waited + 0.5);
            }
            uint64_t fill = static_cast<uint64_t>(gap);
            if (fill > 0 && position + fill > max_samples) {
                fill = position < max_samples ? max_samples - position : 0;
                st.capped = true;
            }
            if (fill > 0) {
                playout_event e;
                e.kind = previous_sid ? playout_event::type::kComfortNoise
                                      : playout_event::type::kSilence;
                e.reason = reason;
                e.offset = position;
                e.samples = fill;
                e.timestamp = expected;
                e.missing_packets = missing;
                if (previous_sid) {
                    e.bytes = last_sid;
                    st.comfort_noise_samples += fill;
                } else {
                    st.silence_samples += fill;
                }
                events.push_back(std::move(e));
                position += fill;
            }
        } else {
            st.first_timestamp = p.timestamp;
            st.first_time_us = p.time_us;
        }

        playout_event e;
        e.kind = playout_event::type::kPayload;
        e.offset = position;
        e.samples = shape.samples();
        e.timestamp = p.timestamp;
        e.sequence = p.sequence;
        if (shape.well_formed) {
            st.speech_frames += shape.speech_frames;
            if (shape.sid) {
                ++st.sid_frames;
                last_sid.assign(p.payload.end() - kSidFrameBytes, p.payload.end());
            }
        } else {
            ++st.malformed_payloads;
        }
        e.bytes = std::move(p.payload);
        events.push_back(std::move(e));
        position += shape.samples();

        ++st.played;
        have_played = true;
        missing = 0;
        previous_ts = p.timestamp;
        previous_samples = shape.samples();
        previous_time = p.time_us;
        previous_sid = shape.sid;
        st.last_timestamp = p.timestamp;
        st.last_time_us = p.time_us;
    }

    // Late packets left holes in the numbering too, but they did reach the capture.
    uint64_t late_inside = 0;
    if (!s.packets.empty()) {
        const int64_t first = s.packets.front().ext_seq;
        const int64_t last = s.packets.back().ext_seq;
        for (int64_t seq : s.late_seqs)
            if (seq > first && seq < last) ++late_inside;
    }
    st.lost = missing_total - std::min(missing_total, late_inside);
    st.samples = position;
}

rtp_stream_collector::rtp_stream_collector(const rtp_options& options) : impl_(new impl) {
    impl_->options = options;
    uint32_t& window = impl_->options.reorder_window;
    window = std::min<uint32_t>(std::max<uint32_t>(window, 1), 32767);
}

rtp_stream_collector::~rtp_stream_collector() = default;

void rtp_stream_collector::add(const udp_datagram& datagram) {
    rtp_packet_view view;
    if (parse_rtp(datagram.payload, datagram.payload_size, &view) != rtp_parse_result::kOk) {
        ++impl_->non_rtp;
        return;
    }
    ++impl_->rtp_packets;

    rtp_stream_key key;
    key.source = datagram.source;
    key.destination = datagram.destination;
    key.ssrc = view.ssrc;
    auto found = impl_->index.find(key);
    if (found == impl_->index.end()) {
        found = impl_->index.emplace(key, impl_->streams.size()).first;
        impl_->streams.emplace_back();
        impl_->streams.back().key = key;
        impl_->streams.back().selected = !impl_->options.ssrc || *impl_->options.ssrc == view.ssrc;
    }
    stream_state& s = impl_->streams[found->second];
    ++s.all_packets;
    s.payload_types.insert(view.payload_type);
    if (!s.selected) return;

    stored_packet p;
    p.sequence = view.sequence;
    p.timestamp = view.timestamp;
    p.time_us = datagram.time_us;
    p.decodable = view.payload_type == impl_->options.payload_type;
    if (p.decodable) {
        ++s.stats.packets;
        p.payload.assign(view.payload, view.payload + view.payload_size);
    } else {
        ++s.stats.other_payload_packets;
    }
    impl_->sequence(s, std::move(p));
}

rtp_scan_result rtp_stream_collector::finish() {
    rtp_scan_result result;
    result.rtp_packets = impl_->rtp_packets;
    result.non_rtp_datagrams = impl_->non_rtp;
    for (stream_state& s : impl_->streams) {
        if (s.has_pending) {
            if (s.pending.decodable) ++s.stats.stray;
            s.has_pending = false;
        }
        if (!s.selected || s.stats.packets == 0) {
            other_rtp_stream other;
            other.key = s.key;
            other.packets = s.all_packets;
            other.payload_types.assign(s.payload_types.begin(), s.payload_types.end());
            result.other_streams.push_back(std::move(other));
            continue;
        }
        rtp_stream stream;
        stream.key = s.key;
        impl_->plan(s, &stream);
        stream.stats = s.stats;
        result.streams.push_back(std::move(stream));
    }
    impl_->streams.clear();
    impl_->index.clear();
    return result;
}

bool scan_capture(const std::string& path, const rtp_options& options, capture_scan* result,
                  std::string* error) {
    rtp_stream_collector collector(options);
    if (!read_capture(path, [&collector](const udp_datagram& d) { collector.add(d); },
                      &result->capture, error))
        return false;
    result->rtp = collector.finish();
    return true;
}

}  // namespace tarnel::capture
