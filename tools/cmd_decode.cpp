// tarnel decode: raw or length-framed G.729, or the streams of a packet capture, through the
// module's decoder translator into linear audio.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture/rtp_streams.h"
#include "driver/row_census.h"
#include "driver/stream_playout.h"
#include "media/audio_file.h"
#include "media/byte_order.h"
#include "media/file_kind.h"
#include "tools/cmd_args.h"
#include "tools/command.h"
#include "tools/progress.h"

namespace tarnel::tool {
namespace {

using media::output_label;

const char* const kHelp =
    "Usage: tarnel decode [OPTIONS] IN OUT\n"
    "       tarnel decode --pcap CAPTURE [--pt N] [--ssrc X] OUT\n"
    "\n"
    "Decodes G.729 through the module's g729tolin translator, handing it one host frame at a\n"
    "time and reading its output after each, as a host does, and writes 8000 Hz mono 16-bit\n"
    "audio as it comes.\n"
    "\n"
    "  IN    10-byte G.729 frames back to back, fed 20 ms (two frames) per host frame; with\n"
    "        --framed, payloads each preceded by its length as a 16-bit big-endian number,\n"
    "        fed one payload per host frame, so a payload may end in a 2-byte SID frame;\n"
    "        - reads standard input\n"
    "  OUT   audio in the format its name asks for: WAV for .wav (and for a name without an\n"
    "        extension), headerless 16-bit little-endian samples for .raw (or with --raw),\n"
    "        and where libsndfile writes them FLAC (.flac), AIFF (.aiff, .aif), AU (.au,\n"
    "        .snd), CAF (.caf), Wave64 (.w64), RF64 (.rf64), NIST SPHERE (.sph), VOC (.voc),\n"
    "        Ogg Vorbis (.ogg, .oga), Ogg Opus (.opus) and MP3 (.mp3); - writes a WAV (or\n"
    "        with --raw headerless samples) to standard output\n"
    "\n"
    "A raw file that does not end on a whole frame is decoded up to its last whole frame; the\n"
    "audio is written and the leftover bytes are reported as an error. A payload the decoder\n"
    "refuses is reported with its number and byte offset and decoding goes on with the next.\n"
    "An input that starts like an audio file or a packet capture is refused with a hint. The\n"
    "input is decoded as it arrives: memory stays the same for any length, and from a pipe\n"
    "each host frame's audio follows its input.\n"
    "\n"
    "With --pcap, every G.729 RTP stream of the capture (pcap or pcapng) is decoded on its\n"
    "call timeline, one decoder per stream: lost packets become silence, silent periods after\n"
    "a SID frame become comfort noise. OUT is a folder that receives one WAV file per stream\n"
    "(named after its addresses and SSRC), or a file when the capture has one stream. Each\n"
    "stream's packets, losses, duplicates, SID frames, refused payloads and duration are\n"
    "printed.\n"
    "\n"
    "Options:\n"
    "  --framed        IN holds length-prefixed payloads (default: frames back to back)\n"
    "  --raw           write OUT as headerless samples (default: only when it is named .raw)\n"
    "  --pcap CAPTURE  decode the G.729 streams of a packet capture\n"
    "  --pt N          with --pcap: the payload type of the G.729 streams (default 18)\n"
    "  --ssrc X        with --pcap: only the stream with this SSRC (decimal, or hex with 0x;\n"
    "                  default: every stream)\n"
    TARNEL_COMMON_OPTIONS_HELP;

constexpr size_t kFramesPerHostFrame = driver::kHostFrameSamples / kFrame;
constexpr size_t kMaxRefusalLines = 10;  // per input or stream; the others are counted after

// Reports the first refusals one by one, then how many more there were.
void report_refusals(const context& ctx, const std::string& where,
                     const std::vector<std::string>& first, uint64_t total,
                     const std::string& consequence) {
    for (size_t i = 0; i < first.size() && i < kMaxRefusalLines; ++i)
        report_error(ctx.io.err, where + first[i] + consequence);
    if (total > kMaxRefusalLines)
        report_error(ctx.io.err,
                     where + std::to_string(total - kMaxRefusalLines) + " more payloads refused");
}

// ---- raw and framed files ------------------------------------------------------------------

struct decode_run {
    uint64_t payloads = 0;
    uint64_t refused = 0;
    uint64_t samples = 0;
    std::vector<std::string> refusals;  // the first few
    driver::row_census rows;
    std::string failure;           // what ended the input early, if anything
    std::vector<int16_t> pcm;      // what one payload decoded to
    std::vector<uint8_t> payload;  // one payload as read
};

// One payload through the decoder, its samples straight on to the output. False when the
// output failed.
bool feed(decode_run& run, driver::translator_instance& decoder, driver::host_log& log,
          media::pcm_writer& writer, const uint8_t* data, size_t size, uint64_t offset) {
    ++run.payloads;
    run.pcm.clear();
    if (decoder.decode(data, size, &run.pcm)) {
        run.rows.add_payload(data, size);
    } else if (++run.refused <= kMaxRefusalLines) {
        std::string text = "payload " + std::to_string(run.payloads) + " at byte " +
                           std::to_string(offset) + " (" + std::to_string(size) +
                           " bytes) refused by " + driver::kDecoderTranslator + ": " + log.take();
        if (!run.pcm.empty())
            text += "; the " + std::to_string(run.pcm.size() / kFrame) +
                    " frames before the fault are kept";
        run.refusals.push_back(text);
    } else {
        log.take();
    }
    run.samples += run.pcm.size();
    return writer.write(run.pcm.data(), run.pcm.size());
}

// Frames back to back, two to a host frame as a host sends them.
bool decode_raw(decode_run& run, driver::translator_instance& decoder, driver::host_log& log,
                media::input_file& input, media::pcm_writer& writer, progress_line& progress) {
    uint8_t block[kFramesPerHostFrame * kSpeechFrameBytes];
    const int64_t total = input.seekable() ? input.size() / kSpeechFrameBytes * kFrame : -1;
    for (;;) {
        const uint64_t offset = input.position();
        const size_t got = input.read(block, sizeof block);
        const size_t whole = got / kSpeechFrameBytes * kSpeechFrameBytes;
        if (whole > 0 && !feed(run, decoder, log, writer, block, whole, offset)) return false;
        progress.update(run.samples, total, -1.0);
        if (got == sizeof block) continue;
        if (const size_t leftover = got - whole)
            run.failure = input.label() + ": " + std::to_string(leftover) +
                          " bytes left over after " +
                          std::to_string((offset + whole) / kSpeechFrameBytes) +
                          " whole 10-byte frames (truncated, or length-framed: try --framed)";
        return true;
    }
}

// Payloads each after its 16-bit big-endian length, one to a host frame.
bool decode_framed(decode_run& run, driver::translator_instance& decoder, driver::host_log& log,
                   media::input_file& input, media::pcm_writer& writer, progress_line& progress) {
    const double size = static_cast<double>(input.size());
    run.payload.resize(0xFFFF);
    for (;;) {
        const uint64_t offset = input.position();
        uint8_t length_bytes[2];
        const size_t got = input.read(length_bytes, 2);
        if (got == 0) return true;
        const std::string next = std::to_string(run.payloads + 1);
        if (got < 2) {
            run.failure = input.label() + ": truncated: 1 byte at byte " + std::to_string(offset) +
                          " where a 2-byte length should start payload " + next;
            return true;
        }
        const size_t length = media::be16(length_bytes);
        const size_t present = input.read(run.payload.data(), length);
        if (present < length) {
            run.failure = input.label() + ": truncated: payload " + next + " at byte " +
                          std::to_string(offset) + " announces " + std::to_string(length) +
                          " bytes, " + std::to_string(present) + " follow";
            return true;
        }
        if (!feed(run, decoder, log, writer, run.payload.data(), length, offset)) return false;
        progress.update(run.samples, -1, input.seekable() ? input.position() / size : -1.0);
    }
}

// A file that starts like audio or a capture would decode into noise, and successfully.
std::string wrong_kind(media::input_file& input, const std::string& in) {
    const uint8_t* head = nullptr;
    const size_t have = input.peek(&head, media::kFileKindBytes);
    const media::file_kind kind = media::identify_file(head, have);
    if (kind == media::file_kind::kUnknown) return "";
    const std::string what = input.label() + ": " + media::describe(kind) + ", not G.729 frames; ";
    if (media::is_capture(kind))
        return what + "decode its RTP streams with 'tarnel decode --pcap " + in + " OUT'";
    return what + "audio is coded with 'tarnel encode' (or 'tarnel transcode')";
}

int decode_file(context& ctx, const std::string& in, const std::string& out, bool framed,
                const media::output_format& format) {
    media::input_file input;
    if (!input.open(in)) return exit_failure(ctx, input.error());
    const uint8_t* head = nullptr;
    if (input.peek(&head, 1) == 0) {
        if (!input.error().empty()) return exit_failure(ctx, input.error());
        return exit_failure(ctx, input.label() + (in == "-" ? ": no data" : ": empty file"));
    }
    if (const std::string wrong = wrong_kind(input, in); !wrong.empty())
        return exit_failure(ctx, wrong);
    detail(ctx, "reading " + input.label() + ": " +
                    (framed ? "payloads each after a 16-bit big-endian length, one per host frame"
                            : "10-byte G.729 frames, two per host frame"));
    auto session = load_module(ctx);
    auto decoder = session ? new_translator(ctx, driver::kDecoderTranslator) : nullptr;
    if (!decoder) return kExitFailure;
    media::pcm_writer writer;
    if (!writer.open(out, format, ctx.io.out)) return exit_failure(ctx, writer.error());
    detail(ctx, "writing " + output_label(out) + ": " + format.name + ", 8000 Hz, 1 channel, 16-bit");

    decode_run run;
    run.pcm.reserve(kFramesPerHostFrame * kFrame);
    progress_line progress(ctx, "decoding " + input.label());
    const double cpu_start = process_cpu_seconds();
    const bool written = framed ? decode_framed(run, *decoder, session->log(), input, writer, progress)
                                : decode_raw(run, *decoder, session->log(), input, writer, progress);
    const double cpu = process_cpu_seconds() - cpu_start;
    progress.clear();
    report_refusals(ctx, input.label() + ": ", run.refusals, run.refused,
                    "; decoding goes on with the next payload");
    if (!input.error().empty()) return exit_failure(ctx, input.error());
    if (!written || !writer.finish()) {
        failed(ctx, run.failure);
        return exit_failure(ctx, writer.error());
    }
    if (!run.failure.empty())
        report_error(ctx.io.err, run.failure + "; the audio decoded before it was written to " +
                                     output_label(out));
    if (!ctx.quiet) {
        char line[512];
        std::snprintf(line, sizeof line,
                      "decoded %s -> %s: %llu %s, %llu refused, %llu frames, %.2f s of audio, CPU %.3f s\n",
                      input.label().c_str(), output_label(out).c_str(),
                      static_cast<unsigned long long>(run.payloads),
                      framed ? "payloads" : "host frames", static_cast<unsigned long long>(run.refused),
                      static_cast<unsigned long long>(run.samples / kFrame),
                      static_cast<double>(run.samples) / kSampleRate, cpu);
        write_text(ctx.io.err, line);
        const std::string rows = run.rows.report();
        if (!rows.empty()) write_text(ctx.io.err, input.label() + ": " + rows + "\n");
    }
    return run.failure.empty() && run.refused == 0 ? kExitOk : kExitFailure;
}

// ---- captures ------------------------------------------------------------------------------

struct capture_request {
    std::string capture;
    std::string out;  // a folder, a file (one stream only) or "-"
    capture::rtp_options options;
    bool quiet = false;
};

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string no_stream_message(const capture_request& request, const capture::capture_scan& scan) {
    std::string text = request.capture + ": no G.729 stream (RTP payload type " +
                       std::to_string(request.options.payload_type) + ")";
    if (request.options.ssrc) text += " with SSRC " + hex32(*request.options.ssrc);
    const auto& others = scan.rtp.other_streams;
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

std::string stream_line(const capture::rtp_stream& s, const driver::stream_audio& audio,
                        const std::string& destination) {
    const capture::rtp_stream_stats& st = s.stats;
    std::string text = capture::stream_description(s.key) + ": " + std::to_string(st.packets) +
                       " packets, " + std::to_string(st.lost) + " lost, " +
                       std::to_string(st.duplicated) + " duplicated, ";
    if (st.late) text += std::to_string(st.late) + " late, ";
    text += std::to_string(st.sid_frames) + " SID frames, " + std::to_string(audio.refused) +
            " refused payloads, ";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", st.duration_seconds());
    return text + seconds + " -> " + output_label(destination);
}

int decode_capture(context& ctx, const capture_request& request) {
    capture::capture_scan scan;
    std::string error;
    if (!capture::scan_capture(request.capture, request.options, &scan, &error)) {
        report_error(ctx.io.err, error);
        return kExitFailure;
    }
    bool failure = false;
    if (scan.capture.truncated) {
        report_error(ctx.io.err, scan.capture.warning + "; decoding what was read");
        failure = true;
    }
    const std::vector<capture::rtp_stream>& streams = scan.rtp.streams;
    if (streams.empty()) {
        report_error(ctx.io.err, no_stream_message(request, scan));
        return kExitFailure;
    }

    // Decided before anything is decoded, so that a wrong destination costs nothing.
    const std::string& out = request.out;
    const bool to_folder = out != "-" && (is_directory(out) || out.back() == '/');
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

    auto session = load_module(ctx);
    if (!session) return kExitFailure;
    for (const capture::rtp_stream& s : streams) {
        auto decoder = new_translator(ctx, driver::kDecoderTranslator);
        if (!decoder) return kExitFailure;
        const driver::stream_audio audio = driver::decode_stream_plan(s, *decoder, session->log());
        const std::string where = capture::stream_description(s.key);
        report_refusals(ctx, request.capture + ": " + where + ": ", audio.refusals,
                        audio.refusals.size(), "; silence in its place");
        failure = failure || audio.refused > 0;

        std::string destination = out;
        if (to_folder)
            destination = (out.back() == '/' ? out : out + "/") + capture::stream_file_name(s.key);
        if (failed(ctx, media::write_pcm(destination, audio.samples, false, ctx.io.out).error)) {
            failure = true;
            continue;
        }
        if (request.quiet) continue;
        write_text(ctx.io.err, stream_line(s, audio, destination) + "\n");
        const std::string rows = audio.rows.report();
        if (!rows.empty()) write_text(ctx.io.err, "  " + where + ": " + rows + "\n");
    }
    return failure ? kExitFailure : kExitOk;
}

int run_decode(context& ctx, const std::vector<std::string>& args) {
    arg_parser parser(ctx, "decode");
    bool framed = false, raw = false, pcap_given = false, pt_given = false, ssrc_given = false;
    std::string capture, pt_text, ssrc_text;
    parser.flag("--framed", &framed);
    parser.flag("--raw", &raw);
    parser.value("--pcap", &capture, &pcap_given);
    parser.value("--pt", &pt_text, &pt_given);
    parser.value("--ssrc", &ssrc_text, &ssrc_given);
    std::vector<std::string> files;
    if (!parser.parse(args, &files)) return kExitUsage;

    if (!pcap_given) {
        if (pt_given || ssrc_given)
            return parser.usage_error(std::string(pt_given ? "--pt" : "--ssrc") + " needs --pcap");
        if (const int status = parser.expect_in_out(files)) return status;
        media::output_format format;
        std::string error;
        if (!media::output_format_for(files[1], raw, &format, &error))
            return parser.usage_error(error);
        return decode_file(ctx, files[0], files[1], framed, format);
    }
    if (framed) return parser.usage_error("--framed and --pcap exclude each other");
    if (raw) return parser.usage_error("--raw does not apply to --pcap, which writes WAV files");
    if (files.size() != 1)
        return parser.usage_error(files.empty() ? "--pcap needs an output folder or file"
                                                : "--pcap takes one output, not '" + files[1] +
                                                      "' as well");
    if (capture.empty()) return parser.usage_error("--pcap needs a capture file");
    capture_request request;
    request.capture = capture;
    request.out = files[0];
    request.quiet = ctx.quiet;
    long pt = 0;
    if (pt_given) {
        if (!parse_int(pt_text, 0, 127, &pt))
            return parser.usage_error("--pt needs an RTP payload type from 0 to 127, not '" +
                                      pt_text + "'");
        request.options.payload_type = static_cast<int>(pt);
    }
    if (ssrc_given) {
        uint32_t ssrc = 0;
        if (!parse_u32(ssrc_text, &ssrc))
            return parser.usage_error("--ssrc needs a 32-bit SSRC, decimal or 0x-prefixed "
                                      "hexadecimal, not '" + ssrc_text + "'");
        request.options.ssrc = ssrc;
    }
    return decode_capture(ctx, request);
}

}  // namespace

const subcommand kDecodeCommand{
    "decode", "decode raw, framed or captured G.729 into audio through the module", kHelp,
    run_decode};

}  // namespace tarnel::tool
