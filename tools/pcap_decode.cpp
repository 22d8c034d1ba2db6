#include "tools/pcap_decode.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/cmd_args.h"
#include "tools/module_session.h"
#include "tools/output.h"

namespace tarnel_tool {
namespace {

constexpr size_t kMaxRefusalLines = 10;  // per stream; a damaged stream is summarised after

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

// The decoded samples of one event, cut or zero-filled to the event's share of the timeline so
// that everything after it stays where the timestamps put it.
void append_fitted(std::vector<int16_t>& out, const std::vector<int16_t>& decoded,
                   uint64_t samples) {
    const size_t keep = static_cast<size_t>(std::min<uint64_t>(decoded.size(), samples));
    out.insert(out.end(), decoded.begin(), decoded.begin() + static_cast<long>(keep));
    out.resize(out.size() + static_cast<size_t>(samples - keep), 0);
}

std::string no_stream_message(const PcapDecodeRequest& request, const tarnel::capture_scan& scan) {
    std::string text = request.capture + ": no G.729 stream (RTP payload type " +
                       std::to_string(request.options.payload_type) + ")";
    if (request.options.ssrc) text += " with SSRC " + hex32(*request.options.ssrc);
    const auto& others = scan.rtp.other_streams;
    if (!others.empty()) {
        text += "; the capture holds ";
        const size_t shown = std::min<size_t>(others.size(), 3);
        for (size_t i = 0; i < shown; ++i) {
            if (i) text += ", ";
            text += tarnel::stream_description(others[i].key) + " (payload type";
            text += others[i].payload_types.size() > 1 ? "s" : "";
            for (size_t k = 0; k < others[i].payload_types.size(); ++k)
                text += (k ? ", " : " ") + std::to_string(others[i].payload_types[k]);
            text += ")";
        }
        if (others.size() > shown) text += " and " + std::to_string(others.size() - shown) + " more";
        text += " (choose with --pt or --ssrc)";
    } else if (scan.rtp.rtp_packets == 0) {
        text += "; none of its " + std::to_string(scan.capture.udp_datagrams) +
                " UDP datagrams is RTP";
    }
    return text;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string stream_line(const tarnel::rtp_stream& s, const StreamAudio& audio,
                        const std::string& destination) {
    const tarnel::rtp_stream_stats& st = s.stats;
    std::string text = tarnel::stream_description(s.key) + ": " + std::to_string(st.packets) +
                       " packets, " + std::to_string(st.lost) + " lost, " +
                       std::to_string(st.duplicated) + " duplicated, ";
    if (st.late) text += std::to_string(st.late) + " late, ";
    text += std::to_string(st.sid_frames) + " SID frames, " + std::to_string(audio.refused) +
            " refused payloads, ";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", st.duration_seconds());
    return text + seconds + " -> " + output_label(destination);
}

}  // namespace

StreamAudio decode_stream_plan(const tarnel::rtp_stream& stream, TranslatorInstance& decoder,
                               HostLogCapture& log) {
    using event_type = tarnel::playout_event::type;
    StreamAudio result;
    result.samples.reserve(static_cast<size_t>(stream.stats.samples));
    std::vector<int16_t> decoded;
    for (const tarnel::playout_event& e : stream.plan) {
        decoded.clear();
        switch (e.kind) {
        case event_type::payload:
            log.take();
            if (decoder.decode(e.bytes.data(), e.bytes.size(), &decoded)) {
                result.rows.add_payload(e.bytes.data(), e.bytes.size());
                append_fitted(result.samples, decoded, e.samples);
            } else {
                // A refusal may come after some units were decoded; those are dropped too, so
                // that the payload is wholly absent rather than half there.
                ++result.refused;
                result.refusals.push_back("payload seq " + std::to_string(e.sequence) + " (" +
                                          std::to_string(e.bytes.size()) +
                                          " bytes, RTP timestamp " + std::to_string(e.timestamp) +
                                          "): " + log.take());
                append_fitted(result.samples, {}, e.samples);
            }
            break;
        case event_type::comfort_noise: {
            const uint64_t frames = (e.samples + tarnel::kSamplesPerFrame - 1) / tarnel::kSamplesPerFrame;
            for (uint64_t i = 0; i < frames; ++i)
                if (!decoder.decode(e.bytes.data(), e.bytes.size(), &decoded)) break;
            log.take();
            append_fitted(result.samples, decoded, e.samples);
            break;
        }
        case event_type::silence:
            append_fitted(result.samples, {}, e.samples);
            break;
        }
    }
    return result;
}

int run_pcap_decode(Context& ctx, const PcapDecodeRequest& request) {
    tarnel::capture_scan scan;
    std::string error;
    if (!tarnel::scan_capture(request.capture, request.options, &scan, &error)) {
        report_error(ctx.io.err, error);
        return kExitFailure;
    }
    bool failed = false;
    if (scan.capture.truncated) {
        report_error(ctx.io.err, scan.capture.warning + "; decoding what was read");
        failed = true;
    }
    const std::vector<tarnel::rtp_stream>& streams = scan.rtp.streams;
    if (streams.empty()) {
        report_error(ctx.io.err, no_stream_message(request, scan));
        return kExitFailure;
    }

    // Decided before anything is decoded, so that a wrong destination costs nothing.
    const std::string& out = request.out;
    bool to_folder = out != "-" && (is_directory(out) || out.back() == '/');
    if (!to_folder && streams.size() > 1) {
        std::string ssrcs;
        for (size_t i = 0; i < streams.size() && i < 4; ++i)
            ssrcs += (i ? ", " : "") + hex32(streams[i].key.ssrc);
        if (streams.size() > 4) ssrcs += ", ...";
        report_error(ctx.io.err, output_label(out) + ": the capture holds " +
                                     std::to_string(streams.size()) + " G.729 streams (SSRC " +
                                     ssrcs +
                                     "); name a folder to get one file per stream, or choose one "
                                     "with --ssrc");
        return kExitFailure;
    }
    if (to_folder && !is_directory(out) && ::mkdir(out.c_str(), 0777) != 0) {
        report_error(ctx.io.err, out + ": cannot create the folder: " + std::strerror(errno));
        return kExitFailure;
    }

    auto session = ModuleSession::open(ctx.module_path, &error);
    if (!session) {
        report_error(ctx.io.err, error);
        return kExitFailure;
    }
    HostLogCapture log;
    for (const tarnel::rtp_stream& s : streams) {
        auto decoder = TranslatorInstance::create(kDecoderTranslator, &error);
        if (!decoder) {
            report_error(ctx.io.err, error);
            return kExitFailure;
        }
        const StreamAudio audio = decode_stream_plan(s, *decoder, log);
        const std::string where = tarnel::stream_description(s.key);
        for (size_t i = 0; i < audio.refusals.size() && i < kMaxRefusalLines; ++i)
            report_error(ctx.io.err, request.capture + ": " + where + ": " + audio.refusals[i] +
                                         "; silence in its place");
        if (audio.refusals.size() > kMaxRefusalLines)
            report_error(ctx.io.err, request.capture + ": " + where + ": " +
                                         std::to_string(audio.refusals.size() - kMaxRefusalLines) +
                                         " more payloads refused");
        failed = failed || audio.refused > 0;

        std::string destination = out;
        if (to_folder)
            destination = (out.back() == '/' ? out : out + "/") + tarnel::stream_file_name(s.key);
        error = write_audio(ctx.io, destination, audio.samples, false);
        if (!error.empty()) {
            report_error(ctx.io.err, error);
            failed = true;
            continue;
        }
        if (request.quiet) continue;
        write_text(ctx.io.err, stream_line(s, audio, destination) + "\n");
        const std::string rows = audio.rows.report();
        if (!rows.empty()) write_text(ctx.io.err, "  " + where + ": " + rows + "\n");
    }
    return failed ? kExitFailure : kExitOk;
}

}  // namespace tarnel_tool
