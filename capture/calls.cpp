#include "capture/calls.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <utility>

#include "capture/sip_signalling.h"

namespace tarnel::capture {
namespace {

// How often the calls in progress are checked for their end, in capture time.
constexpr int64_t kSweepUs = 1000000;
// File names stay well under every file system's limit.
constexpr std::size_t kMaxLabel = 120;

using endpoint_pair = std::pair<ip_endpoint, ip_endpoint>;

endpoint_pair unordered_pair(const ip_endpoint& a, const ip_endpoint& b) {
    return b < a ? endpoint_pair(b, a) : endpoint_pair(a, b);
}

struct tracked_stream {
    rtp_stream_builder builder;
    int channel = 0;
};

struct call_state {
    call_record record;
    std::vector<tracked_stream> streams;
    int64_t last_activity_us = 0;
    int64_t hangup_us = -1;
    bool has_media[2] = {false, false};
    int g729_payload_type[2] = {-1, -1};  // what each side's SDP maps to G.729
    ip_endpoint first_source;             // unsignalled: the side that sent first
    std::vector<rtp_stream_key> keys;
};

}  // namespace

int64_t call_record::audio_start_us() const {
    int64_t start = 0;
    bool any = false;
    for (const call_stream& s : streams) {
        if (!any || s.stream.stats.first_time_us < start) start = s.stream.stats.first_time_us;
        any = true;
    }
    return start;
}

struct call_tracker::impl {
    call_options options;
    call_sink sink;
    call_tracker_stats stats;
    std::map<uint64_t, call_state> calls;  // in progress, by number
    std::map<std::string, uint64_t> by_call_id;
    std::map<ip_endpoint, std::pair<uint64_t, int>> by_media;  // receiving address: call, side
    std::map<endpoint_pair, uint64_t> by_pair;
    std::map<rtp_stream_key, std::pair<uint64_t, std::size_t>> by_stream;  // call, stream index
    int64_t last_sweep_us = 0;
    bool swept = false;

    call_state& new_call(int64_t time_us) {
        const uint64_t number = ++stats.calls;
        call_state& c = calls[number];
        c.record.number = number;
        c.record.start_us = time_us;
        c.last_activity_us = time_us;
        stats.most_calls_in_progress = std::max(stats.most_calls_in_progress, calls.size());
        return c;
    }

    void sip(const sip_message& m, const udp_datagram& d);
    void rtp(const rtp_packet_view& v, const udp_datagram& d);
    void end(std::map<uint64_t, call_state>::iterator it);
    void sweep(int64_t now_us);
};

void call_tracker::impl::sip(const sip_message& m, const udp_datagram& d) {
    ++stats.sip_messages;
    auto found = by_call_id.find(m.call_id);
    if (found == by_call_id.end()) {
        if (!(m.request && m.method == "INVITE")) return;  // a dialog begun before the capture
        call_state& c = new_call(d.time_us);
        c.record.signalled = true;
        c.record.call_id = m.call_id;
        c.record.from = m.from;
        c.record.to = m.to;
        found = by_call_id.emplace(m.call_id, c.record.number).first;
    }
    call_state& c = calls[found->second];
    c.last_activity_us = std::max(c.last_activity_us, d.time_us);
    const bool from_caller = m.from == c.record.from;
    if (m.request && (m.method == "BYE" || m.method == "CANCEL")) c.hangup_us = d.time_us;
    if (!m.request && m.cseq_method == "INVITE" && m.status >= 300 && m.status != 401 &&
        m.status != 407)
        c.hangup_us = d.time_us;
    if (!m.audio.present) return;
    // An offer describes its sender's side, an answer the other one; a re-INVITE may come
    // from either party.
    int side = from_caller ? 0 : 1;
    if (!m.request) side = 1 - side;
    c.has_media[side] = true;
    c.record.side[side] = m.audio.address;
    if (m.audio.g729_payload_type >= 0) c.g729_payload_type[side] = m.audio.g729_payload_type;
    by_media[m.audio.address] = {c.record.number, side};
}

void call_tracker::impl::rtp(const rtp_packet_view& v, const udp_datagram& d) {
    ++stats.rtp_packets;
    rtp_stream_key key;
    key.source = d.source;
    key.destination = d.destination;
    key.ssrc = v.ssrc;
    auto owner = by_stream.find(key);
    if (owner == by_stream.end()) {
        call_state* c = nullptr;
        int channel = 0;
        int receiver = -1;  // the side whose SDP describes where this stream goes
        auto media = by_media.find(key.destination);
        if (media != by_media.end()) {
            c = &calls[media->second.first];
            receiver = media->second.second;
            channel = 1 - receiver;
        } else if ((media = by_media.find(key.source)) != by_media.end()) {
            // Symmetric RTP: a side sends from the address it receives on.
            c = &calls[media->second.first];
            channel = media->second.second;
            receiver = 1 - channel;
        } else {
            const endpoint_pair pair = unordered_pair(key.source, key.destination);
            auto paired = by_pair.find(pair);
            if (paired != by_pair.end()) {
                c = &calls[paired->second];
                channel = key.source == c->first_source ? 0 : 1;
            } else {
                c = &new_call(d.time_us);
                c->first_source = key.source;
                c->record.side[0] = key.destination;  // where channel 1 will be heard from
                c->record.side[1] = key.source;
                by_pair.emplace(pair, c->record.number);
            }
        }
        int payload_type = options.rtp.payload_type;
        if (!options.payload_type_given && receiver >= 0) {
            if (c->g729_payload_type[receiver] >= 0)
                payload_type = c->g729_payload_type[receiver];
            else if (c->g729_payload_type[1 - receiver] >= 0)
                payload_type = c->g729_payload_type[1 - receiver];
        }
        if (options.rtp.ssrc && *options.rtp.ssrc != v.ssrc) payload_type = -1;
        c->streams.push_back({rtp_stream_builder(key, payload_type, options.rtp), channel});
        c->keys.push_back(key);
        owner =
            by_stream.emplace(key, std::make_pair(c->record.number, c->streams.size() - 1)).first;
    }
    call_state& c = calls[owner->second.first];
    c.last_activity_us = std::max(c.last_activity_us, d.time_us);
    rtp_stream_builder& b = c.streams[owner->second.second].builder;
    if (d.cut())
        b.add_cut(v, v.payload_size, d);
    else
        b.add(v, d);
}

void call_tracker::impl::end(std::map<uint64_t, call_state>::iterator it) {
    call_state& c = it->second;
    call_record record = std::move(c.record);
    for (tracked_stream& t : c.streams) {
        call_stream s;
        other_rtp_stream other;
        if (t.builder.finish(&s.stream, &other)) {
            s.channel = t.channel;
            record.streams.push_back(std::move(s));
        } else {
            record.other_streams.push_back(std::move(other));
        }
        record.start_us = std::min(record.start_us, t.builder.first_time_us());
    }
    for (const rtp_stream_key& k : c.keys) by_stream.erase(k);
    if (record.signalled) by_call_id.erase(record.call_id);
    // Every address the call was known by, not only its last ones: a re-INVITE may have moved
    // a side's media, and an entry left behind would hand a later stream to a call that is gone.
    for (auto m = by_media.begin(); m != by_media.end();)
        m = m->second.first == record.number ? by_media.erase(m) : std::next(m);
    for (auto p = by_pair.begin(); p != by_pair.end();)
        p = p->second == record.number ? by_pair.erase(p) : std::next(p);
    calls.erase(it);
    sink(std::move(record));
}

void call_tracker::impl::sweep(int64_t now_us) {
    for (auto it = calls.begin(); it != calls.end();) {
        const call_state& c = it->second;
        const int64_t quiet = now_us - c.last_activity_us;
        const bool ended =
            quiet > options.idle_us || (c.hangup_us >= 0 && quiet > options.hangup_grace_us &&
                                        now_us - c.hangup_us > options.hangup_grace_us);
        auto next = std::next(it);
        if (ended) end(it);
        it = next;
    }
}

call_tracker::call_tracker(const call_options& options, call_sink sink) : impl_(new impl) {
    impl_->options = options;
    impl_->sink = std::move(sink);
}

call_tracker::~call_tracker() = default;

void call_tracker::add(const udp_datagram& d) {
    impl& s = *impl_;
    // Calls that ended before this packet are closed first, so that it cannot join them.
    if (!s.swept || d.time_us - s.last_sweep_us >= kSweepUs || d.time_us < s.last_sweep_us) {
        s.swept = true;
        s.last_sweep_us = d.time_us;
        s.sweep(d.time_us);
    }
    sip_message m;
    rtp_packet_view v;
    // SIP starts with a method or "SIP/2.0", RTP (version 2) with a byte from 0x80 on.
    if (!d.cut() && d.payload_size > 0 && d.payload[0] >= 'A' && d.payload[0] <= 'Z' &&
        parse_sip(d.payload, d.payload_size, &m))
        s.sip(m, d);
    else if (parse_rtp_datagram(d, &v))
        s.rtp(v, d);
    else
        ++s.stats.non_rtp_datagrams;
}

void call_tracker::finish() {
    while (!impl_->calls.empty()) impl_->end(impl_->calls.begin());
}

const call_tracker_stats& call_tracker::stats() const { return impl_->stats; }
std::size_t call_tracker::calls_in_progress() const { return impl_->calls.size(); }

std::string utc_time_text(int64_t time_us) {
    const int64_t sec = time_us >= 0 ? time_us / 1000000 : (time_us - 999999) / 1000000;
    const int millis = static_cast<int>((time_us - sec * 1000000) / 1000);
    const std::time_t t = static_cast<std::time_t>(sec);
    std::tm tm{};
    if (!gmtime_r(&t, &tm)) return "?";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return text;
}

std::string call_label(const call_record& call) {
    std::string label;
    if (call.signalled) {
        for (char c : call.call_id) {
            const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                              c == '@' || c == '+';
            label += safe ? c : '_';
        }
        // A name of dots alone would be the folder itself or its parent.
        if (label.find_first_not_of('.') == std::string::npos) label = "call" + label;
        if (label.size() > kMaxLabel) label.resize(kMaxLabel);
        return label;
    }
    std::string when = utc_time_text(call.start_us);  // "2023-11-14 22:13:20.123"
    std::string stamp;
    for (char c : when.substr(0, 19))
        if (c != ':' && c != '-') stamp += c == ' ' ? '-' : c;
    if (!call.streams.empty()) {
        const rtp_stream_key& k = call.streams.front().stream.key;
        rtp_stream_key both = k;
        both.ssrc = 0;
        label = stream_label(both);
        label = label.substr(0, label.rfind("_ssrc"));
    } else if (!call.other_streams.empty()) {
        label = stream_label(call.other_streams.front().key);
        label = label.substr(0, label.rfind("_ssrc"));
    } else {
        label = "call" + std::to_string(call.number);
    }
    return label + "_" + stamp;
}

}  // namespace tarnel::capture
