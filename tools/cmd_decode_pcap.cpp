// tarnel decode --pcap / --rtp-stream: the G.729 calls of a packet capture, one stereo WAV per
// call (or one mono WAV per stream with --split), or their figures alone with --list.
//
// One pass through the capture: calls are handed to decoding threads as they end, so memory
// follows the calls in progress and the decoding keeps every core busy while the file is read.
#include "tools/cmd_decode_pcap.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "capture/calls.h"
#include "capture/capture_reader.h"
#include "capture/rtp_streams.h"
#include "driver/stream_playout.h"
#include "media/audio_file.h"
#include "media/byte_order.h"
#include "media/file_io.h"
#include "tools/cmd_args.h"

namespace tarnel::tool {
namespace {

using media::output_label;

constexpr size_t kMaxRefusalLines = 10;  // per stream; the others are counted after
constexpr unsigned kMaxThreads = 256;
constexpr double kProgressInterval = 0.25;  // seconds between progress lines on a terminal

struct capture_request {
    std::string capture;     // --pcap
    std::string rtp_stream;  // --rtp-stream
    std::string out;         // a folder, a file or "-"; empty with --list
    capture::call_options options;
    bool split = false;
    bool list = false;
    bool json = false;
    bool quiet = false;
    unsigned threads = 1;
    driver::missing_frame_policy missing = driver::missing_frame_policy::kConceal;
};

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The bytes of a 16-bit PCM WAV file at 8000 Hz with two interleaved channels.
std::vector<uint8_t> stereo_wav_image(const std::vector<int16_t>& interleaved) {
    const uint64_t data = interleaved.size() * 2;
    if (data > 0xFFFFFFFFu - 36) return {};
    std::vector<uint8_t> out(44 + data);
    uint8_t* h = out.data();
    std::memcpy(h, "RIFF", 4);
    media::put_le32(h + 4, static_cast<uint32_t>(36 + data));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    media::put_le32(h + 16, 16);
    media::put_le16(h + 20, 1);  // PCM
    media::put_le16(h + 22, 2);  // channels
    media::put_le32(h + 24, kSampleRate);
    media::put_le32(h + 28, kSampleRate * 4);
    media::put_le16(h + 32, 4);
    media::put_le16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    media::put_le32(h + 40, static_cast<uint32_t>(data));
    for (size_t i = 0; i < interleaved.size(); ++i)
        media::put_le16(h + 44 + 2 * i, static_cast<uint16_t>(interleaved[i]));
    return out;
}

// ---- what is said about a stream -------------------------------------------------------------

// Why a stream yields no audio at all, or empty when it does.
std::string unplayable_reason(const capture::rtp_stream& s, uint32_t snap_length) {
    const capture::rtp_stream_stats& st = s.stats;
    if (st.speech_all_cut()) {
        const std::string snap =
            snap_length ? " (" + std::to_string(snap_length) + " bytes)" : std::string();
        return "the capture's snapshot length" + snap + " cut every packet that carried speech (" +
               std::to_string(st.cut) + " of " + std::to_string(st.packets) + " packets); only " +
               std::to_string(st.sid_frames) +
               " SID frames are whole, so there is nothing to hear. Capture whole packets: "
               "tcpdump -s 0 (dumpcap and tshark keep whole packets unless given -s)";
    }
    if (!st.verdict.g729) return "not decoded: " + st.verdict.reason;
    return {};
}

// The stream's counters; those that are usually zero only when they are not, unless `all`.
std::string counters(const capture::rtp_stream_stats& st, bool all = false) {
    std::string text = std::to_string(st.packets) + " packets, " + std::to_string(st.lost) +
                       " lost, " + std::to_string(st.duplicated) + " duplicated, ";
    if (all) text += std::to_string(st.late) + " late, ";
    const std::pair<uint64_t, const char*> rare[] = {{all ? 0 : st.late, "late"},
                                                     {st.reordered, "reordered"},
                                                     {st.stray, "stray"},
                                                     {st.timestamp_jumps, "timestamp jumps"},
                                                     {st.cut, "cut by the capture"}};
    for (const auto& r : rare)
        if (r.first) text += std::to_string(r.first) + " " + r.second + ", ";
    return text + std::to_string(st.sid_frames) + " SID frames";
}

std::string stream_figures(const capture::rtp_stream& s, const driver::stream_audio* audio) {
    std::string text =
        "starts " + capture::utc_time_text(s.stats.first_time_us) + " UTC, " + counters(s.stats);
    if (audio) {
        text += ", " + std::to_string(audio->refused) + " refused payloads";
        if (audio->concealed_frames)
            text += ", " + std::to_string(audio->concealed_frames) + " frames concealed";
    }
    return text + ", " + fixed(s.stats.duration_seconds(), 2) + " s";
}

// ---- the calls
// -----------------------------------------------------------------------------------

struct call_job {
    capture::call_record call;
    std::string destination;  // file to write, or empty to keep the bytes (single output)
    std::vector<std::string> stream_destinations;  // --split
};

struct call_result {
    std::vector<std::string> errors;  // "tarnel: " lines
    std::vector<std::string> lines;   // the summary, unless quiet
    bool failure = false;
    bool produced = false;      // audio was written or kept
    std::vector<uint8_t> kept;  // single-output mode: the file's bytes
    size_t outputs = 0;         // files this call yields
};

class decoder_pool {
public:
    decoder_pool(context& ctx, const capture_request& request, driver::host_log& log,
                 uint32_t snap_length, std::atomic<size_t>* decoded)
        : ctx_(ctx), request_(request), log_(log), snap_length_(snap_length), decoded_(decoded) {
        for (unsigned i = 0; i < request.threads; ++i) workers_.emplace_back([this] { work(); });
    }
    ~decoder_pool() { close(); }

    // Blocks while the queue is full, so that memory stays bounded when decoding falls behind.
    void submit(call_job&& job) {
        std::unique_lock<std::mutex> lock(lock_);
        room_.wait(lock, [this] { return queue_.size() < 2 * workers_.size() + 2; });
        queue_.push_back(std::move(job));
        ready_.notify_one();
    }

    void close() {
        {
            std::lock_guard<std::mutex> lock(lock_);
            closed_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    std::map<uint64_t, call_result>& results() { return results_; }

private:
    void work() {
        for (;;) {
            call_job job;
            {
                std::unique_lock<std::mutex> lock(lock_);
                ready_.wait(lock, [this] { return closed_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
                room_.notify_one();
            }
            call_result result = decode(job);
            std::lock_guard<std::mutex> lock(lock_);
            results_[job.call.number] = std::move(result);
            ++*decoded_;
        }
    }

    call_result decode(const call_job& job);

    context& ctx_;
    const capture_request& request_;
    driver::host_log& log_;
    uint32_t snap_length_;
    std::atomic<size_t>* decoded_;
    std::vector<std::thread> workers_;
    std::mutex lock_;
    std::condition_variable ready_, room_;
    std::deque<call_job> queue_;
    bool closed_ = false;
    std::map<uint64_t, call_result> results_;
};

std::string call_title(const capture::call_record& call) {
    std::string text = "call " + std::to_string(call.number);
    if (call.signalled) {
        text += " " + call.call_id;
        if (!call.from.empty() || !call.to.empty())
            text += " (" + call.from + " -> " + call.to + ")";
    }
    return text;
}

double call_seconds(const capture::call_record& call) {
    const int64_t start = call.audio_start_us();
    double end = 0;
    for (const capture::call_stream& s : call.streams)
        end = std::max(end, static_cast<double>(s.stream.stats.first_time_us - start) / 1e6 +
                                s.stream.stats.duration_seconds());
    return end;
}

call_result decoder_pool::decode(const call_job& job) {
    call_result r;
    const capture::call_record& call = job.call;
    const std::string where = request_.capture + ": ";
    std::vector<driver::stream_audio> audio(call.streams.size());
    std::vector<bool> playable(call.streams.size(), false);
    std::vector<driver::placed_audio> parts;
    for (size_t i = 0; i < call.streams.size(); ++i) {
        const capture::rtp_stream& s = call.streams[i].stream;
        const std::string name = capture::stream_description(s.key);
        const std::string why = unplayable_reason(s, snap_length_);
        if (!why.empty()) {
            r.errors.push_back(where + name + ": " + why);
            r.failure = true;
            continue;
        }
        std::string error;
        auto decoder = driver::translator_instance::create(driver::kDecoderTranslator, &error);
        if (!decoder) {
            r.errors.push_back(error);
            r.failure = true;
            continue;
        }
        audio[i] = driver::decode_stream_plan(s, *decoder, log_, request_.missing);
        playable[i] = true;
        for (size_t k = 0; k < audio[i].refusals.size() && k < kMaxRefusalLines; ++k)
            r.errors.push_back(where + name + ": " + audio[i].refusals[k] +
                               "; silence in its place");
        if (audio[i].refusals.size() > kMaxRefusalLines)
            r.errors.push_back(where + name + ": " +
                               std::to_string(audio[i].refusals.size() - kMaxRefusalLines) +
                               " more payloads refused");
        if (audio[i].refused) r.failure = true;
        if (s.stats.cut && !s.stats.speech_all_cut()) {
            r.errors.push_back(
                where + name + ": " + std::to_string(s.stats.cut) + " of " +
                std::to_string(s.stats.packets) +
                " packets were cut short by the capture's snapshot length" +
                (snap_length_ ? " (" + std::to_string(snap_length_) + " bytes)" : "") + "; their " +
                fixed(s.stats.missing_samples / double(kSampleRate), 2) +
                " s are missing from the audio" + (audio[i].concealed_frames ? ", concealed" : "") +
                " (capture with -s 0 to keep whole packets)");
            r.failure = true;
        }
        parts.push_back({&audio[i].samples, s.stats.first_time_us, call.streams[i].channel});
    }

    auto write = [&](const std::string& destination, const std::vector<uint8_t>& bytes) {
        ++r.outputs;
        if (destination.empty()) {
            r.kept = bytes;
            r.produced = true;
            return true;
        }
        const media::io_status st = media::write_output(destination, bytes, ctx_.io.out);
        if (!st.ok()) {
            r.errors.push_back(st.error);
            r.failure = true;
            return false;
        }
        r.produced = true;
        return true;
    };

    if (request_.split) {
        for (size_t i = 0; i < call.streams.size(); ++i) {
            if (!playable[i]) continue;
            const capture::rtp_stream& s = call.streams[i].stream;
            const std::string& dest = job.stream_destinations[i];
            std::vector<uint8_t> bytes = media::wav_image(audio[i].samples);
            if (!write(dest, bytes)) continue;
            r.lines.push_back(capture::stream_description(s.key) + ": " +
                              stream_figures(s, &audio[i]) + " -> " +
                              output_label(dest.empty() ? request_.out : dest));
            const std::string rows = audio[i].rows.report();
            if (!rows.empty())
                r.lines.push_back("  " + capture::stream_description(s.key) + ": " + rows);
        }
        return r;
    }

    if (parts.empty()) return r;
    size_t displaced = 0;
    const std::vector<uint8_t> bytes = stereo_wav_image(driver::place_on_call(parts, &displaced));
    if (displaced)
        r.errors.push_back(where + call_title(call) + ": " + std::to_string(displaced) +
                           " streams start more than an hour after the call's first by the "
                           "capture's clock; they are placed an hour in");
    const std::string dest = job.destination;
    if (!write(dest, bytes)) return r;
    r.lines.push_back(call_title(call) + ": starts " +
                      capture::utc_time_text(call.audio_start_us()) + " UTC, " +
                      fixed(call_seconds(call), 2) + " s, " + std::to_string(call.streams.size()) +
                      (call.streams.size() == 1 ? " stream" : " streams") + " -> " +
                      output_label(dest.empty() ? request_.out : dest));
    for (size_t i = 0; i < call.streams.size(); ++i) {
        const capture::rtp_stream& s = call.streams[i].stream;
        const double offset =
            static_cast<double>(s.stats.first_time_us - call.audio_start_us()) / 1e6;
        r.lines.push_back(
            std::string("  ") + (call.streams[i].channel ? "right " : "left  ") +
            capture::stream_description(s.key) + ": " +
            (playable[i] ? stream_figures(s, &audio[i]) : stream_figures(s, nullptr)) +
            (offset > 0.0005 ? " (from " + fixed(offset, 3) + " s)" : ""));
        const std::string rows = playable[i] ? audio[i].rows.report() : std::string();
        if (!rows.empty()) r.lines.push_back("    " + rows);
    }
    return r;
}

// ---- --list ----------------------------------------------------------------------------------

std::string stream_json(const capture::rtp_stream& s, int channel) {
    const capture::rtp_stream_stats& st = s.stats;
    std::string j =
        "{\"channel\": " + std::to_string(channel) +
        ", \"source\": " + json_string(s.key.source.to_string()) +
        ", \"destination\": " + json_string(s.key.destination.to_string()) +
        ", \"ssrc\": " + json_string(hex32(s.key.ssrc)) +
        ", \"payload_type\": " + std::to_string(s.payload_type) +
        ", \"start\": " + json_string(capture::utc_time_text(st.first_time_us) + " UTC") +
        ", \"start_us\": " + std::to_string(st.first_time_us) +
        ", \"duration_s\": " + fixed(st.duration_seconds(), 3) +
        ", \"packets\": " + std::to_string(st.packets) + ", \"lost\": " + std::to_string(st.lost) +
        ", \"duplicated\": " + std::to_string(st.duplicated) +
        ", \"late\": " + std::to_string(st.late) +
        ", \"reordered\": " + std::to_string(st.reordered) +
        ", \"stray\": " + std::to_string(st.stray) + ", \"cut\": " + std::to_string(st.cut) +
        ", \"timestamp_jumps\": " + std::to_string(st.timestamp_jumps) +
        ", \"sid_frames\": " + std::to_string(st.sid_frames) +
        ", \"largest_gap_ms\": " + fixed(st.largest_gap_ms, 1) +
        ", \"jitter_ms\": " + fixed(st.jitter_ms, 2) +
        ", \"max_jitter_ms\": " + fixed(st.max_jitter_ms, 2) +
        ", \"g729\": " + (st.verdict.g729 ? "true" : "false");
    if (!st.verdict.g729) j += ", \"not_g729\": " + json_string(st.verdict.reason);
    return j + "}";
}

std::string call_json(const capture::call_record& call) {
    std::string j = "{\"call\": " + std::to_string(call.number);
    if (call.signalled)
        j += ", \"call_id\": " + json_string(call.call_id) +
             ", \"from\": " + json_string(call.from) + ", \"to\": " + json_string(call.to);
    const int64_t start = call.streams.empty() ? call.start_us : call.audio_start_us();
    j += ", \"start\": " + json_string(capture::utc_time_text(start) + " UTC") +
         ", \"duration_s\": " + fixed(call_seconds(call), 3) + ", \"streams\": [";
    for (size_t i = 0; i < call.streams.size(); ++i)
        j += (i ? ", " : "") + stream_json(call.streams[i].stream, call.streams[i].channel);
    j += "], \"other_streams\": [";
    for (size_t i = 0; i < call.other_streams.size(); ++i) {
        const capture::other_rtp_stream& o = call.other_streams[i];
        j += std::string(i ? ", " : "") + "{\"source\": " + json_string(o.key.source.to_string()) +
             ", \"destination\": " + json_string(o.key.destination.to_string()) +
             ", \"ssrc\": " + json_string(hex32(o.key.ssrc)) +
             ", \"packets\": " + std::to_string(o.packets) + ", \"payload_types\": [";
        for (size_t k = 0; k < o.payload_types.size(); ++k)
            j += (k ? ", " : "") + std::to_string(o.payload_types[k]);
        j += "]}";
    }
    return j + "]}";
}

std::string call_text(const capture::call_record& call) {
    if (call.streams.empty())
        return call_title(call) + ": signalled " + capture::utc_time_text(call.start_us) +
               " UTC, no G.729 stream found\n";
    std::string t = call_title(call) + ": starts " + capture::utc_time_text(call.audio_start_us()) +
                    " UTC, " + fixed(call_seconds(call), 2) + " s\n";
    for (const capture::call_stream& cs : call.streams) {
        const capture::rtp_stream& s = cs.stream;
        const capture::rtp_stream_stats& st = s.stats;
        t += std::string("  ") + (cs.channel ? "right " : "left  ") +
             capture::stream_description(s.key) + " pt " + std::to_string(s.payload_type) +
             ": starts " + capture::utc_time_text(st.first_time_us) + " UTC, " +
             fixed(st.duration_seconds(), 2) + " s, " + counters(st, true) + ", largest gap " +
             fixed(st.largest_gap_ms, 1) + " ms, jitter " + fixed(st.jitter_ms, 2) +
             " ms (at most " + fixed(st.max_jitter_ms, 2) + ")\n";
        if (!st.verdict.g729) t += "    not G.729: " + st.verdict.reason + "\n";
    }
    for (const capture::other_rtp_stream& o : call.other_streams) {
        t += "  other " + capture::stream_description(o.key) + ": " + std::to_string(o.packets) +
             " packets of payload type";
        for (size_t k = 0; k < o.payload_types.size(); ++k)
            t += (k ? ", " : " ") + std::to_string(o.payload_types[k]);
        t += "\n";
    }
    return t;
}

// ---- the capture
// ---------------------------------------------------------------------------------

std::vector<std::string> capture_warnings(const std::string& name,
                                          const capture::capture_summary& c) {
    std::vector<std::string> w;
    if (c.cut_unplaced)
        w.push_back(name + ": " + std::to_string(c.cut_unplaced) +
                    " packets were cut inside their headers by the capture's snapshot length" +
                    (c.snap_length ? " (" + std::to_string(c.snap_length) + " bytes)" : "") +
                    ", so which stream they belonged to is unknown (capture with -s 0)");
    const capture::reassembly_stats& f = c.reassembly;
    if (f.incomplete)
        w.push_back(name + ": " + std::to_string(f.incomplete) +
                    " fragmented IP datagrams stayed incomplete (pieces missing from the capture)");
    if (f.conflicting)
        w.push_back(name + ": " + std::to_string(f.conflicting) +
                    " fragmented IP datagrams were dropped: their pieces overlap with different "
                    "content");
    if (f.oversized)
        w.push_back(name + ": " + std::to_string(f.oversized) +
                    " fragmented IP datagrams were dropped: too large or in too many pieces");
    if (c.unsupported_link) {
        std::string types;
        for (int t : c.link_types)
            if (!capture::link_type_supported(t))
                types += (types.empty() ? "" : ", ") + capture::link_type_name(t);
        w.push_back(name + ": " + std::to_string(c.unsupported_link) +
                    " packets on interfaces of link type " + types + " were skipped");
    }
    return w;
}

std::string no_stream_message(const capture_request& request,
                              const std::vector<capture::other_rtp_stream>& others,
                              uint64_t rtp_packets, uint64_t udp_datagrams) {
    const std::string& name = request.capture.empty() ? request.rtp_stream : request.capture;
    std::string text = name + ": no G.729 stream (RTP payload type " +
                       (request.options.payload_type_given || request.rtp_stream.size()
                            ? std::to_string(request.options.rtp.payload_type)
                            : std::to_string(request.options.rtp.payload_type) +
                                  ", or as SIP signalling maps it") +
                       ")";
    if (request.options.rtp.ssrc) text += " with SSRC " + hex32(*request.options.rtp.ssrc);
    if (!others.empty()) {
        text += "; the capture holds ";
        const size_t shown = std::min<size_t>(others.size(), 3);
        for (size_t i = 0; i < shown; ++i) {
            if (i) text += ", ";
            text += capture::stream_description(others[i].key) + " (payload type";
            text += others[i].payload_types.size() > 1 ? "s" : "";
            for (size_t k = 0; k < others[i].payload_types.size(); ++k)
                text += (k ? ", " : " ") + std::to_string(others[i].payload_types[k]);
            text += ")";
        }
        if (others.size() > shown)
            text += " and " + std::to_string(others.size() - shown) + " more";
        text += " (choose with --pt or --ssrc)";
    } else if (rtp_packets == 0) {
        text += "; none of its " + std::to_string(udp_datagrams) + " UDP datagrams is RTP";
    }
    return text;
}

// A line on a terminal, redrawn a few times a second by a thread of its own, so that it goes on
// moving while the reader waits for the decoders at the end of a capture.
class progress_line {
public:
    progress_line(const context& ctx, const capture_request& request)
        : ctx_(ctx), on_(!request.quiet && isatty(ctx.io.err) == 1) {
        struct stat st;
        if (on_ && ::stat(request.capture.c_str(), &st) == 0)
            size_ = static_cast<uint64_t>(st.st_size);
        if (on_) thread_ = std::thread([this] { run(); });
    }
    ~progress_line() { stop(); }

    std::atomic<uint64_t> bytes{0};
    std::atomic<size_t> in_progress{0};
    std::atomic<size_t> ended{0};
    std::atomic<size_t> decoded{0};

    void stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
        write_text(ctx_.io.err, "\r\x1b[K");
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(lock_);
        while (!wake_.wait_for(lock, std::chrono::duration<double>(kProgressInterval),
                               [this] { return stopping_; })) {
            std::string text = "\rreading: " + fixed(bytes / 1e6, 1) + " MB";
            if (size_)
                text += " of " + fixed(size_ / 1e6, 1) + " MB (" + fixed(100.0 * bytes / size_, 0) +
                        "%)";
            text += ", " + std::to_string(in_progress) + " calls in progress, " +
                    std::to_string(decoded) + " of " + std::to_string(ended) +
                    " ended calls decoded\x1b[K";
            write_text(ctx_.io.err, text);
        }
    }

    const context& ctx_;
    bool on_;
    uint64_t size_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

// A destination name not yet used in this run: "name.wav", then "name-2.wav", ...
std::string unique_name(std::set<std::string>& used, const std::string& base) {
    std::string name = base + ".wav";
    for (int n = 2; used.count(name); ++n) name = base + "-" + std::to_string(n) + ".wav";
    used.insert(name);
    return name;
}

int decode_capture(context& ctx, const capture_request& request) {
    const std::string& out = request.out;
    const bool to_folder = !request.list && out != "-" && (is_directory(out) || out.back() == '/');
    const std::string folder = to_folder ? (out.back() == '/' ? out : out + "/") : std::string();
    if (to_folder && !is_directory(out) && ::mkdir(out.c_str(), 0777) != 0) {
        report_error(ctx.io.err, out + ": cannot create the folder: " + std::strerror(errno));
        return kExitFailure;
    }

    std::unique_ptr<driver::module_session> session;
    if (!request.list) {
        session = load_module(ctx);
        if (!session) return kExitFailure;
    }

    capture::capture_summary summary;
    progress_line progress(ctx, request);
    std::unique_ptr<decoder_pool> pool;
    std::set<std::string> used_names;
    std::vector<std::string> listing;  // --list: one entry per call, in order of ending
    std::map<uint64_t, std::string> listed;
    std::vector<capture::other_rtp_stream> others;
    uint64_t calls_with_audio = 0, streams_with_audio = 0;
    std::unique_ptr<capture::call_tracker> tracker;

    auto on_call = [&](capture::call_record&& call) {
        progress.in_progress = tracker->calls_in_progress();
        for (const capture::other_rtp_stream& o : call.other_streams)
            if (others.size() < 4) others.push_back(o);
        if (call.streams.empty()) {
            if (request.list && call.signalled)
                listed[call.number] = request.json ? call_json(call) : call_text(call);
            return;
        }
        ++calls_with_audio;
        streams_with_audio += call.streams.size();
        if (request.list) {
            listed[call.number] = request.json ? call_json(call) : call_text(call);
            return;
        }
        call_job job;
        if (request.split) {
            for (const capture::call_stream& s : call.streams)
                job.stream_destinations.push_back(
                    to_folder
                        ? folder + unique_name(used_names, capture::stream_label(s.stream.key))
                        : std::string());
        } else if (to_folder) {
            job.destination = folder + unique_name(used_names, capture::call_label(call));
        }
        job.call = std::move(call);
        ++progress.ended;
        if (!pool)
            pool.reset(new decoder_pool(ctx, request, session->log(), summary.snap_length,
                                        &progress.decoded));
        pool->submit(std::move(job));
    };
    tracker.reset(new capture::call_tracker(request.options, on_call));

    capture::read_options read;
    read.progress = [&](uint64_t bytes) {
        progress.bytes = bytes;
        progress.in_progress = tracker->calls_in_progress();
    };
    std::string error;
    const bool readable = capture::read_capture(
        request.capture, [&](const capture::udp_datagram& d) { tracker->add(d); }, &summary, &error,
        read);
    if (readable) tracker->finish();
    if (pool) pool->close();
    progress.stop();
    if (!readable) {
        report_error(ctx.io.err, error);
        return kExitFailure;
    }

    bool failure = false;
    if (summary.truncated) {
        report_error(ctx.io.err,
                     summary.warning + (request.list ? "" : "; decoding what was read"));
        failure = true;
    }
    for (const std::string& w : capture_warnings(request.capture, summary))
        report_error(ctx.io.err, w);
    if (summary.cut_unplaced) failure = true;

    if (calls_with_audio == 0) {
        report_error(ctx.io.err, no_stream_message(request, others, tracker->stats().rtp_packets,
                                                   summary.udp_datagrams));
        // Signalled calls without G.729 are still worth listing.
        if (!request.list || listed.empty()) return kExitFailure;
        failure = true;
    }

    if (request.list) {
        std::string text;
        if (request.json) {
            text = "{\"capture\": " + json_string(request.capture) + ", \"calls\": [";
            bool first = true;
            for (const auto& c : listed) {
                text += (first ? "\n  " : ",\n  ") + c.second;
                first = false;
            }
            text += "\n]}\n";
        } else {
            for (const auto& c : listed) text += c.second;
        }
        write_text(ctx.io.out, text);
        return failure ? kExitFailure : kExitOk;
    }

    std::map<uint64_t, call_result>& results = pool->results();
    size_t outputs = 0;
    for (const auto& r : results) outputs += r.second.outputs;
    if (!to_folder && outputs > 1) {
        // Decided once the capture is read: a file holds one call (or one stream with --split).
        report_error(ctx.io.err,
                     output_label(out) + ": the capture holds " +
                         (request.split ? std::to_string(streams_with_audio) + " G.729 streams"
                                        : std::to_string(calls_with_audio) + " calls") +
                         "; name a folder to get one file per " +
                         (request.split ? "stream" : "call") + ", or choose one with --ssrc");
        return kExitFailure;
    }
    for (auto& entry : results) {
        call_result& r = entry.second;
        for (const std::string& e : r.errors) report_error(ctx.io.err, e);
        failure = failure || r.failure;
        if (!to_folder && r.produced) {
            const media::io_status st = media::write_output(out, r.kept, ctx.io.out);
            if (failed(ctx, st.error)) {
                failure = true;
                continue;
            }
        }
        if (!request.quiet)
            for (const std::string& line : r.lines) write_text(ctx.io.err, line + "\n");
    }
    if (outputs == 0) failure = true;
    return failure ? kExitFailure : kExitOk;
}

// ---- RTP over TCP ----------------------------------------------------------------------------

int decode_rtp_stream(context& ctx, const capture_request& request) {
    const media::bytes_result input = media::read_bytes(request.rtp_stream);
    if (failed(ctx, input.error)) return kExitFailure;
    const std::string name = media::input_label(request.rtp_stream);
    capture::rtp_stream_collector collector(request.options.rtp);
    std::string failure_text;
    size_t pos = 0, packets = 0;
    const std::vector<uint8_t>& b = input.bytes;
    while (pos < b.size()) {
        if (b.size() - pos < 2) {
            failure_text = name + ": truncated: 1 byte at byte " + std::to_string(pos) +
                           " where a 2-byte length should start packet " +
                           std::to_string(packets + 1);
            break;
        }
        const size_t length = media::be16(&b[pos]);
        if (length > b.size() - pos - 2) {
            failure_text = name + ": truncated: packet " + std::to_string(packets + 1) +
                           " at byte " + std::to_string(pos) + " announces " +
                           std::to_string(length) + " bytes, " +
                           std::to_string(b.size() - pos - 2) + " follow";
            break;
        }
        capture::udp_datagram d;
        d.frame_number = ++packets;
        d.payload = b.data() + pos + 2;
        d.payload_size = d.original_size = length;
        collector.add(d);
        pos += 2 + length;
    }
    capture::rtp_scan_result scan = collector.finish();
    if (!failure_text.empty()) report_error(ctx.io.err, failure_text + "; decoding what was read");
    if (scan.streams.empty()) {
        report_error(ctx.io.err,
                     no_stream_message(request, scan.other_streams, scan.rtp_packets, packets));
        return kExitFailure;
    }
    const std::string& out = request.out;
    const bool to_folder = out != "-" && (is_directory(out) || out.back() == '/');
    if (!to_folder && scan.streams.size() > 1) {
        report_error(ctx.io.err, output_label(out) + ": the stream holds " +
                                     std::to_string(scan.streams.size()) +
                                     " SSRCs; name a folder to get one file per SSRC, or choose "
                                     "one with --ssrc");
        return kExitFailure;
    }
    if (to_folder && !is_directory(out) && ::mkdir(out.c_str(), 0777) != 0) {
        report_error(ctx.io.err, out + ": cannot create the folder: " + std::strerror(errno));
        return kExitFailure;
    }
    auto session = load_module(ctx);
    if (!session) return kExitFailure;
    bool failure = !failure_text.empty();
    for (const capture::rtp_stream& s : scan.streams) {
        const std::string label = name + " ssrc " + hex32(s.key.ssrc);
        const std::string why = unplayable_reason(s, 0);
        if (!why.empty()) {
            report_error(ctx.io.err, label + ": " + why);
            failure = true;
            continue;
        }
        auto decoder = new_translator(ctx, driver::kDecoderTranslator);
        if (!decoder) return kExitFailure;
        const driver::stream_audio audio =
            driver::decode_stream_plan(s, *decoder, session->log(), request.missing);
        for (size_t k = 0; k < audio.refusals.size() && k < kMaxRefusalLines; ++k)
            report_error(ctx.io.err, label + ": " + audio.refusals[k] + "; silence in its place");
        failure = failure || audio.refused > 0;
        const std::string dest = to_folder ? (out.back() == '/' ? out : out + "/") + "ssrc" +
                                                 hex32(s.key.ssrc).substr(2) + ".wav"
                                           : out;
        if (failed(ctx, media::write_pcm(dest, audio.samples, false, ctx.io.out).error)) {
            failure = true;
            continue;
        }
        if (!request.quiet)
            write_text(ctx.io.err,
                       label + ": " + counters(s.stats) + ", " + std::to_string(audio.refused) +
                           " refused payloads, " +
                           (audio.concealed_frames
                                ? std::to_string(audio.concealed_frames) + " frames concealed, "
                                : std::string()) +
                           fixed(s.stats.duration_seconds(), 2) + " s -> " + output_label(dest) +
                           "\n");
    }
    return failure ? kExitFailure : kExitOk;
}

}  // namespace

bool is_capture_decode(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") break;
        const std::string name = a.substr(0, a.find('='));
        for (const char* o : {"--pcap", "--rtp-stream", "--pt", "--ssrc", "--split", "--list",
                              "--json", "--threads", "--no-conceal"})
            if (name == o) return true;
    }
    return false;
}

int run_decode_capture(context& ctx, const std::vector<std::string>& args) {
    arg_parser parser(ctx, "decode");
    bool framed = false, raw = false, pcap_given = false, stream_given = false, pt_given = false,
         ssrc_given = false, split = false, list = false, json = false, threads_given = false,
         no_conceal = false;
    std::string capture, rtp_stream, pt_text, ssrc_text, threads_text;
    parser.flag("--framed", &framed);
    parser.flag("--raw", &raw);
    parser.flag("--split", &split);
    parser.flag("--list", &list);
    parser.flag("--json", &json);
    parser.flag("--no-conceal", &no_conceal);
    parser.value("--pcap", &capture, &pcap_given);
    parser.value("--rtp-stream", &rtp_stream, &stream_given);
    parser.value("--pt", &pt_text, &pt_given);
    parser.value("--ssrc", &ssrc_text, &ssrc_given);
    parser.value("--threads", &threads_text, &threads_given);
    std::vector<std::string> files;
    if (!parser.parse(args, &files)) return kExitUsage;

    if (!pcap_given && !stream_given) {
        for (const auto& o :
             {std::make_pair(pt_given, "--pt"), std::make_pair(ssrc_given, "--ssrc"),
              std::make_pair(split, "--split"), std::make_pair(list, "--list"),
              std::make_pair(json, "--json"), std::make_pair(threads_given, "--threads"),
              std::make_pair(no_conceal, "--no-conceal")})
            if (o.first) return parser.usage_error(std::string(o.second) + " needs --pcap");
    }
    const char* mode = pcap_given ? "--pcap" : "--rtp-stream";
    if (pcap_given && stream_given)
        return parser.usage_error("--pcap and --rtp-stream exclude each other");
    if (framed)
        return parser.usage_error(std::string("--framed and ") + mode + " exclude each other");
    if (raw)
        return parser.usage_error(std::string("--raw does not apply to ") + mode +
                                  ", which writes WAV files");
    if (stream_given && (split || list || json || threads_given))
        return parser.usage_error("--split, --list, --json and --threads apply to --pcap");
    if (json && !list) return parser.usage_error("--json needs --list");
    if (list && split) return parser.usage_error("--list writes no audio: --split does not apply");
    if (list && !files.empty())
        return parser.usage_error("--list writes to standard output, not '" + files[0] + "'");
    if (!list && files.size() != 1)
        return parser.usage_error(files.empty()
                                      ? std::string(mode) + " needs an output folder or file"
                                      : std::string(mode) + " takes one output, not '" + files[1] +
                                            "' as well");
    if ((pcap_given ? capture : rtp_stream).empty())
        return parser.usage_error(std::string(mode) +
                                  (pcap_given ? " needs a capture file" : " needs a file"));

    capture_request request;
    request.capture = capture;
    request.rtp_stream = rtp_stream;
    request.out = list ? std::string() : files[0];
    request.quiet = ctx.quiet;
    request.split = split;
    request.list = list;
    request.json = json;
    if (no_conceal) request.missing = driver::missing_frame_policy::kSilence;
    request.options.rtp.keep_payloads = !list;
    long number = 0;
    if (pt_given) {
        if (!parse_int(pt_text, 0, 127, &number))
            return parser.usage_error("--pt needs an RTP payload type from 0 to 127, not '" +
                                      pt_text + "'");
        request.options.rtp.payload_type = static_cast<int>(number);
        request.options.payload_type_given = true;
    }
    if (ssrc_given) {
        uint32_t ssrc = 0;
        if (!parse_u32(ssrc_text, &ssrc))
            return parser.usage_error(
                "--ssrc needs a 32-bit SSRC, decimal or 0x-prefixed "
                "hexadecimal, not '" +
                ssrc_text + "'");
        request.options.rtp.ssrc = ssrc;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    request.threads = std::min(cores, kMaxThreads);
    if (threads_given) {
        if (!parse_int(threads_text, 1, kMaxThreads, &number))
            return parser.usage_error("--threads needs a number from 1 to " +
                                      std::to_string(kMaxThreads) + ", not '" + threads_text + "'");
        request.threads = static_cast<unsigned>(number);
    }
    return stream_given ? decode_rtp_stream(ctx, request) : decode_capture(ctx, request);
}

}  // namespace tarnel::tool
