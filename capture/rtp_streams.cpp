#include "capture/rtp_streams.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_set>

#include "codec/bitstream.h"
#include "media/byte_order.h"

namespace tarnel::capture {

using media::be16;
using media::be32;

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

bool parse_rtp_datagram(const udp_datagram& d, rtp_packet_view* out) {
    if (!d.cut()) return parse_rtp(d.payload, d.payload_size, out) == rtp_parse_result::kOk;
    // The end of a cut datagram, and with it any padding, is gone: read the header from what
    // is left and take the payload's length from what was sent.
    if (d.payload == nullptr || d.payload_size < 12) return false;
    rtp_packet_view view;
    std::vector<uint8_t> head(d.payload, d.payload + d.payload_size);
    head[0] &= static_cast<uint8_t>(~0x20u);
    if (parse_rtp(head.data(), head.size(), &view) != rtp_parse_result::kOk) return false;
    const std::size_t header = static_cast<std::size_t>(view.payload - head.data());
    *out = view;
    out->payload = d.payload + header;
    out->payload_size = d.original_size - header;
    return true;
}

namespace {

// How far a sequence number may move from the highest seen and still belong to the stream
// without confirmation: a minute of consecutive loss ahead, a burst of misordering behind.
constexpr int kMaxDropout = 3000;
constexpr int kMaxMisorder = 100;

// Evidence needed before a stream is called something other than G.729: enough packets that
// a few odd ones (a codec switch, a burst of bad packets) cannot decide it.
constexpr uint64_t kVerdictMinPairs = 10;
constexpr uint64_t kVerdictMinFrames = 50;

struct stored_packet {
    int64_t ext_seq = 0;
    int64_t time_us = 0;
    uint32_t timestamp = 0;
    uint32_t payload_at = 0;    // in the stream's payload store
    uint32_t payload_size = 0;  // bytes sent (stored unless cut or not kept)
    uint16_t sequence = 0;
    bool decodable = false;  // of the payload type asked for
    bool cut = false;
};

// One disagreement between a payload's length and the timestamp step after it.
struct step_shape {
    uint32_t bytes = 0;
    uint32_t step = 0;
    bool operator<(const step_shape& o) const {
        return bytes != o.bytes ? bytes < o.bytes : step < o.step;
    }
};

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a payload `extra` bytes longer than G.729 needs most likely is.
std::string extra_bytes_meaning(int64_t extra, uint32_t bytes, uint32_t step) {
    if (extra == 4 || extra == 10 || extra == 8 || extra == 14)
        return std::to_string(extra) +
               " bytes more than G.729 needs for that time, as an SRTP "
               "authentication tag adds: the stream is probably encrypted (SRTP)";
    if (bytes == step) return "one byte per sample, as G.711 sends: probably another codec";
    return "probably another codec";
}

}  // namespace

struct rtp_stream_builder::impl {
    rtp_stream_key key;
    int payload_type = kG729PayloadType;
    rtp_options options;
    uint64_t all_packets = 0;
    std::set<uint8_t> payload_types;
    rtp_stream_stats stats;
    int64_t first_any_us = 0;
    int64_t last_any_us = 0;

    bool started = false;
    int64_t max_ext = 0;
    uint16_t max_raw = 0;
    bool has_pending = false;
    stored_packet pending;

    std::unordered_set<int64_t> played_seqs;
    std::unordered_set<int64_t> late_seqs;
    std::vector<stored_packet> packets;
    std::vector<uint8_t> store;

    // Interarrival jitter, in RTP timestamp units, and the previous packet's transit time.
    bool have_transit = false;
    double transit = 0;
    double jitter = 0;
    double max_jitter = 0;

    // Payload checks, on packets of the payload type in arrival order.
    bool have_last = false;
    int64_t last_ext = 0;
    uint32_t last_ts = 0;
    uint32_t last_size = 0;
    uint64_t steps_agree = 0;
    uint64_t steps_disagree = 0;
    std::map<step_shape, uint64_t> disagreements;  // a few shapes, for the report
    uint64_t parity_checked = 0;
    uint64_t parity_failed = 0;
    uint64_t misshapen = 0;  // payloads of no G.729 length
    std::map<uint32_t, uint64_t> misshapen_sizes;

    void accept(stored_packet&& p, int64_t ext) {
        p.ext_seq = ext;
        played_seqs.insert(ext);
        packets.push_back(p);
    }

    void sequence(stored_packet&& p);
    void check_payload(const stored_packet& p, const uint8_t* payload, std::size_t captured);
    void add(const rtp_packet_view& v, std::size_t sent, bool cut, const udp_datagram& d);
    void plan(rtp_stream* out);
    payload_verdict verdict() const;
};

void rtp_stream_builder::impl::sequence(stored_packet&& p) {
    const bool counted = p.decodable;
    if (!started) {
        started = true;
        max_ext = p.sequence;
        max_raw = p.sequence;
        accept(std::move(p), max_ext);
        return;
    }
    int delta = static_cast<int16_t>(static_cast<uint16_t>(p.sequence - max_raw));
    if (has_pending) {
        has_pending = false;
        if (p.sequence == static_cast<uint16_t>(pending.sequence + 1)) {
            // Two in a row: the sender renumbered. Carry on from here without counting the
            // jump as loss, since nothing says packets were sent across it.
            max_ext += 1;
            max_raw = pending.sequence;
            accept(std::move(pending), max_ext);
            delta = 1;
        } else if (pending.decodable) {
            ++stats.stray;
        }
    }
    const int max_misorder = std::max<int>(kMaxMisorder, static_cast<int>(options.reorder_window));
    if (delta > kMaxDropout || delta < -max_misorder) {
        pending = p;
        has_pending = true;
        return;
    }
    const int64_t ext = max_ext + delta;
    if (played_seqs.count(ext) != 0 || late_seqs.count(ext) != 0) {
        if (counted) ++stats.duplicated;
        return;
    }
    if (max_ext - ext >= static_cast<int64_t>(options.reorder_window)) {
        late_seqs.insert(ext);
        if (counted) ++stats.late;
        return;
    }
    if (delta < 0) {
        if (counted) ++stats.reordered;
    } else {
        max_ext = ext;
        max_raw = p.sequence;
    }
    accept(std::move(p), ext);
}

void rtp_stream_builder::impl::check_payload(const stored_packet& p, const uint8_t* payload,
                                             std::size_t captured) {
    const g729_payload_shape shape = classify_g729_payload(p.payload_size);
    if (!shape.well_formed && !p.cut) {
        ++misshapen;
        if (misshapen_sizes.size() < 8 || misshapen_sizes.count(p.payload_size))
            ++misshapen_sizes[p.payload_size];
    }
    // A G.729 sender protects the pitch delay with a parity bit; random bytes fail it half the
    // time.
    for (std::size_t at = 0;
         at + kSpeechFrameBytes <= captured && at / kSpeechFrameBytes < shape.speech_frames;
         at += kSpeechFrameBytes) {
        g729_params params{};
        g729_unpack_frame(&params, payload + at, kFrameTypeSpeech);
        ++parity_checked;
        if (params.slot[kSlotParity] != 0) ++parity_failed;
    }
    // The timestamp step after a speech-only payload is at least the time it covered: a
    // longer step is a pause, a shorter one a payload that is not G.729 frames. Only
    // consecutive numbers rule out packets missing in between.
    const int64_t ext = p.ext_seq;
    if (have_last && ext == last_ext + 1) {
        const g729_payload_shape last = classify_g729_payload(last_size);
        const uint32_t step = p.timestamp - last_ts;
        if (last.well_formed && !last.sid && step != 0 && step < 0x80000000u) {
            if (step == last.samples()) {
                ++steps_agree;
            } else if (step < last.samples()) {
                ++steps_disagree;
                const step_shape key{last_size, step};
                if (disagreements.size() < 8 || disagreements.count(key)) ++disagreements[key];
            }
        }
    }
    have_last = true;
    last_ext = ext;
    last_ts = p.timestamp;
    last_size = p.payload_size;
}

void rtp_stream_builder::impl::add(const rtp_packet_view& v, std::size_t sent, bool cut,
                                   const udp_datagram& d) {
    if (all_packets == 0) first_any_us = d.time_us;
    if (all_packets > 0 && d.time_us > last_any_us)
        stats.largest_gap_ms = std::max(stats.largest_gap_ms, (d.time_us - last_any_us) / 1000.0);
    last_any_us = std::max(last_any_us, d.time_us);
    ++all_packets;
    payload_types.insert(v.payload_type);

    stored_packet p;
    p.sequence = v.sequence;
    p.timestamp = v.timestamp;
    p.time_us = d.time_us;
    p.decodable = v.payload_type == payload_type;
    p.cut = cut;
    p.payload_size = static_cast<uint32_t>(std::min<std::size_t>(sent, 0xFFFFFFFFu));
    if (p.decodable) {
        ++stats.packets;
        // RFC 3550 A.8: the arrival time in timestamp units against the RTP timestamp.
        const double arrival = static_cast<double>(d.time_us) * kSampleRate / 1e6;
        const double t = arrival - static_cast<double>(v.timestamp);
        if (have_transit) {
            double delta = t - transit;
            // The difference of two 32-bit timestamps, unwrapped.
            delta = std::remainder(delta, 4294967296.0);
            jitter += (std::fabs(delta) - jitter) / 16.0;
            max_jitter = std::max(max_jitter, jitter);
        }
        have_transit = true;
        transit = t;
        if (!cut && options.keep_payloads) {
            p.payload_at = static_cast<uint32_t>(store.size());
            store.insert(store.end(), v.payload, v.payload + v.payload_size);
        }
    } else {
        ++stats.other_payload_packets;
    }
    const std::size_t played_before = packets.size();
    sequence(std::move(p));
    // Checked on what was accepted in order, so that duplicates do not count twice.
    if (packets.size() > played_before && packets.back().decodable) {
        const stored_packet& q = packets.back();
        // Of a cut packet only what the capture kept can be looked at.
        const std::size_t captured =
            cut ? d.payload_size - std::min<std::size_t>(d.payload_size, v.payload - d.payload)
                : v.payload_size;
        check_payload(q, v.payload, std::min(captured, sent));
    }
}

payload_verdict rtp_stream_builder::impl::verdict() const {
    payload_verdict v;
    auto most = [](const auto& counts) {
        auto best = counts.begin();
        for (auto it = counts.begin(); it != counts.end(); ++it)
            if (it->second > best->second) best = it;
        return best;
    };
    if (steps_disagree >= kVerdictMinPairs && steps_disagree > steps_agree) {
        const step_shape shape = most(disagreements)->first;
        const g729_payload_shape g = classify_g729_payload(shape.bytes);
        const int64_t needed = static_cast<int64_t>(shape.step) / kFrame * kSpeechFrameBytes;
        v.g729 = false;
        v.reason = "payload lengths disagree with the timestamps: " +
                   plural(shape.bytes, "byte", "bytes") + " (" +
                   (g.well_formed ? std::to_string(g.samples() / 8) + " ms of G.729"
                                  : std::string("no G.729 length")) +
                   ") every " + std::to_string(shape.step) + " samples (" +
                   std::to_string(shape.step / 8) + " ms), in " + std::to_string(steps_disagree) +
                   " of " + std::to_string(steps_agree + steps_disagree) + " packets; " +
                   extra_bytes_meaning(static_cast<int64_t>(shape.bytes) - needed, shape.bytes,
                                       shape.step);
        return v;
    }
    if (misshapen >= kVerdictMinPairs && misshapen * 2 > stats.packets) {
        v.g729 = false;
        const uint32_t size = most(misshapen_sizes)->first;
        v.reason = std::to_string(misshapen) + " of " + std::to_string(stats.packets) +
                   " payloads have no G.729 length (most: " + plural(size, "byte", "bytes") +
                   "); " +
                   (size % kSpeechFrameBytes == 4 || size % kSpeechFrameBytes == 0
                        ? extra_bytes_meaning(size % kSpeechFrameBytes == 4 ? 4 : 10, size, 0)
                        : std::string("probably another codec"));
        return v;
    }
    if (parity_checked >= kVerdictMinFrames && parity_failed * 5 >= parity_checked) {
        v.g729 = false;
        v.reason = std::to_string(parity_failed) + " of " + std::to_string(parity_checked) +
                   " speech frames fail the pitch parity check, which a G.729 sender never "
                   "sends: the content is not G.729 (encrypted, or another codec)";
    }
    return v;
}

void rtp_stream_builder::impl::plan(rtp_stream* out) {
    rtp_stream_stats& st = stats;
    std::sort(packets.begin(), packets.end(),
              [](const stored_packet& a, const stored_packet& b) { return a.ext_seq < b.ext_seq; });

    const uint64_t max_gap = static_cast<uint64_t>(options.max_gap_seconds) * kSampleRate;
    const uint64_t max_samples = static_cast<uint64_t>(options.max_stream_seconds) * kSampleRate;
    std::vector<playout_event>& events = out->plan;

    uint64_t position = 0;
    uint64_t missing = 0;
    uint64_t missing_total = 0;
    bool have_previous = false;  // any packet, for sequence gaps
    bool have_played = false;    // a decodable packet, for the timeline
    int64_t previous_ext = 0;
    uint32_t previous_ts = 0;
    uint32_t previous_samples = 0;
    int64_t previous_time = 0;
    bool previous_sid = false;
    std::vector<uint8_t> last_sid;

    for (const stored_packet& p : packets) {
        if (have_previous) {
            const uint64_t skipped = static_cast<uint64_t>(p.ext_seq - previous_ext - 1);
            missing += skipped;
            missing_total += skipped;
        }
        have_previous = true;
        previous_ext = p.ext_seq;
        if (!p.decodable) continue;

        const g729_payload_shape shape = classify_g729_payload(p.payload_size);
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
                const double waited =
                    (static_cast<double>(p.time_us) - static_cast<double>(previous_time)) *
                        kSampleRate / 1e6 -
                    previous_samples;
                gap = waited <= 0                              ? 0
                      : waited >= static_cast<double>(max_gap) ? static_cast<int64_t>(max_gap)
                                                               : static_cast<int64_t>(waited + 0.5);
            }
            uint64_t fill = static_cast<uint64_t>(gap);
            if (fill > 0 && position + fill > max_samples) {
                fill = position < max_samples ? max_samples - position : 0;
                st.capped = true;
            }
            if (fill > 0) {
                playout_event e;
                e.reason = reason;
                e.offset = position;
                e.samples = fill;
                e.timestamp = expected;
                e.missing_packets = missing;
                if (previous_sid) {
                    e.kind = playout_event::type::kComfortNoise;
                    e.bytes = last_sid;
                    st.comfort_noise_samples += fill;
                } else if (reason == playout_event::cause::kLoss) {
                    e.kind = playout_event::type::kMissing;
                    st.missing_samples += fill;
                } else {
                    e.kind = playout_event::type::kSilence;
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
        e.offset = position;
        e.samples = shape.samples();
        e.timestamp = p.timestamp;
        e.sequence = p.sequence;
        if (p.cut) {
            // Sent whole and captured in part: what the listener heard is unknown here.
            ++st.cut;
            e.kind = playout_event::type::kMissing;
            e.reason = playout_event::cause::kCut;
            st.missing_samples += e.samples;
        } else {
            e.kind = playout_event::type::kPayload;
            if (shape.well_formed) {
                st.speech_frames += shape.speech_frames;
                if (shape.sid) {
                    ++st.sid_frames;
                    if (options.keep_payloads)
                        last_sid.assign(
                            store.begin() + p.payload_at + p.payload_size - kSidFrameBytes,
                            store.begin() + p.payload_at + p.payload_size);
                    else
                        last_sid.assign(kSidFrameBytes, 0);
                }
            } else {
                ++st.malformed_payloads;
            }
            if (options.keep_payloads)
                e.bytes.assign(store.begin() + p.payload_at,
                               store.begin() + p.payload_at + p.payload_size);
        }
        events.push_back(std::move(e));
        position += shape.samples();

        ++st.played;
        have_played = true;
        missing = 0;
        previous_ts = p.timestamp;
        previous_samples = shape.samples();
        previous_time = p.time_us;
        previous_sid = shape.sid && !p.cut;
        st.last_timestamp = p.timestamp;
        st.last_time_us = p.time_us;
    }

    // Late packets left holes in the numbering too, but they did reach the capture.
    uint64_t late_inside = 0;
    if (!packets.empty()) {
        const int64_t first = packets.front().ext_seq;
        const int64_t last = packets.back().ext_seq;
        for (int64_t seq : late_seqs)
            if (seq > first && seq < last) ++late_inside;
    }
    st.lost = missing_total - std::min(missing_total, late_inside);
    st.samples = position;
    st.jitter_ms = jitter * 1000.0 / kSampleRate;
    st.max_jitter_ms = max_jitter * 1000.0 / kSampleRate;
    st.verdict = verdict();
}

rtp_stream_builder::rtp_stream_builder(const rtp_stream_key& key, int payload_type,
                                       const rtp_options& options)
    : impl_(new impl) {
    impl_->key = key;
    impl_->payload_type = payload_type;
    impl_->options = options;
    uint32_t& window = impl_->options.reorder_window;
    window = std::min<uint32_t>(std::max<uint32_t>(window, 1), 32767);
}

rtp_stream_builder::~rtp_stream_builder() = default;
rtp_stream_builder::rtp_stream_builder(rtp_stream_builder&&) noexcept = default;
rtp_stream_builder& rtp_stream_builder::operator=(rtp_stream_builder&&) noexcept = default;

void rtp_stream_builder::add(const rtp_packet_view& packet, const udp_datagram& datagram) {
    impl_->add(packet, packet.payload_size, false, datagram);
}

void rtp_stream_builder::add_cut(const rtp_packet_view& packet, std::size_t payload_size,
                                 const udp_datagram& datagram) {
    impl_->add(packet, payload_size, true, datagram);
}

const rtp_stream_key& rtp_stream_builder::key() const { return impl_->key; }
int rtp_stream_builder::payload_type() const { return impl_->payload_type; }
uint64_t rtp_stream_builder::decodable_packets() const { return impl_->stats.packets; }
int64_t rtp_stream_builder::first_time_us() const { return impl_->first_any_us; }
int64_t rtp_stream_builder::last_time_us() const { return impl_->last_any_us; }

bool rtp_stream_builder::finish(rtp_stream* out, other_rtp_stream* other) {
    impl& s = *impl_;
    if (s.has_pending) {
        if (s.pending.decodable) ++s.stats.stray;
        s.has_pending = false;
    }
    if (s.stats.packets == 0) {
        other->key = s.key;
        other->packets = s.all_packets;
        other->payload_types.assign(s.payload_types.begin(), s.payload_types.end());
        other->first_time_us = s.first_any_us;
        return false;
    }
    out->key = s.key;
    out->payload_type = s.payload_type;
    out->plan.clear();
    s.plan(out);
    out->stats = s.stats;
    s.packets = {};
    s.store = {};
    s.played_seqs = {};
    s.late_seqs = {};
    return true;
}

struct rtp_stream_collector::impl {
    rtp_options options;
    std::map<rtp_stream_key, std::size_t> index;
    std::vector<rtp_stream_builder> streams;  // in order of first appearance
    uint64_t rtp_packets = 0;
    uint64_t non_rtp = 0;
};

rtp_stream_collector::rtp_stream_collector(const rtp_options& options) : impl_(new impl) {
    impl_->options = options;
}

rtp_stream_collector::~rtp_stream_collector() = default;

void rtp_stream_collector::add(const udp_datagram& datagram) {
    rtp_packet_view view;
    if (!parse_rtp_datagram(datagram, &view)) {
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
        // A stream the SSRC filter leaves out decodes nothing, and is listed with the others.
        const bool selected = !impl_->options.ssrc || *impl_->options.ssrc == view.ssrc;
        impl_->streams.emplace_back(key, selected ? impl_->options.payload_type : -1,
                                    impl_->options);
    }
    rtp_stream_builder& s = impl_->streams[found->second];
    if (datagram.cut())
        s.add_cut(view, view.payload_size, datagram);
    else
        s.add(view, datagram);
}

rtp_scan_result rtp_stream_collector::finish() {
    rtp_scan_result result;
    result.rtp_packets = impl_->rtp_packets;
    result.non_rtp_datagrams = impl_->non_rtp;
    for (std::size_t i = 0; i < impl_->streams.size(); ++i) {
        rtp_stream stream;
        other_rtp_stream other;
        if (impl_->streams[i].finish(&stream, &other))
            result.streams.push_back(std::move(stream));
        else
            result.other_streams.push_back(std::move(other));
    }
    impl_->streams.clear();
    impl_->index.clear();
    return result;
}

}  // namespace tarnel::capture
