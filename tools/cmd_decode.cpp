// tarnel decode: raw or length-framed G.729, or the streams of a packet capture, through the
// module's decoder translator into linear audio.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/row_census.h"
#include "driver/stream_playout.h"
#include "media/audio_file.h"
#include "media/byte_order.h"
#include "media/file_kind.h"
#include "tools/cmd_args.h"
#include "tools/cmd_decode_pcap.h"
#include "tools/command.h"
#include "tools/progress.h"

namespace tarnel::tool {
namespace {

using media::output_label;

const char* const kHelp =
    "Usage: tarnel decode [OPTIONS] IN OUT\n"
    "       tarnel decode --pcap CAPTURE [--split] [--pt N] [--ssrc X] OUT\n"
    "       tarnel decode --pcap CAPTURE --list [--json]\n"
    "       tarnel decode --rtp-stream IN [--pt N] [--ssrc X] OUT\n"
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
    "With --pcap, the G.729 calls of a capture (pcap or pcapng) are decoded, one decoder per\n"
    "stream and every core busy: OUT is a folder that receives one stereo WAV file per call\n"
    "(the caller left, the callee right, both on the capture's clock), named by its SIP\n"
    "Call-ID or else by its addresses and start time, or a file when the capture holds one\n"
    "call. Calls are found from SIP signalling (INVITE and answer with SDP, which also names\n"
    "dynamic payload types), otherwise by pairing streams whose addresses mirror each other.\n"
    "Speech lost in the network (or cut by the capture) is concealed as a telephone would:\n"
    "the last sound carried on and faded out within 60 ms (--no-conceal: silence); silent\n"
    "periods after a SID frame become comfort noise.\n"
    "With --rtp-stream, IN holds RTP packets each preceded by a 16-bit big-endian length\n"
    "(RFC 4571, as recorded from RTP over TCP), decoded in sequence per SSRC.\n"
    "\n"
    "Options:\n"
    "  --framed        IN holds length-prefixed payloads (default: frames back to back)\n"
    "  --raw           write OUT as headerless samples (default: only when it is named .raw)\n"
    "  --pcap CAPTURE  decode the G.729 calls of a packet capture\n"
    "  --rtp-stream IN decode length-prefixed RTP packets (RTP over TCP)\n"
    "  --split         with --pcap: one mono WAV file per stream instead of one per call\n"
    "  --list          with --pcap: list the calls and streams with their figures, no audio\n"
    "  --json          with --list: as JSON\n"
    "  --pt N          the payload type of G.729 (default 18, or what SIP signalling says)\n"
    "  --ssrc X        only the stream with this SSRC (decimal, or hex with 0x; default: all)\n"
    "  --threads N     with --pcap: decoding threads (default: one per core)\n"
    "  --no-conceal    with --pcap or --rtp-stream: silence for lost speech (default: "
    "conceal)\n" TARNEL_COMMON_OPTIONS_HELP;

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
    detail(ctx,
           "writing " + output_label(out) + ": " + format.name + ", 8000 Hz, 1 channel, 16-bit");

    decode_run run;
    run.pcm.reserve(kFramesPerHostFrame * kFrame);
    progress_line progress(ctx, "decoding " + input.label());
    const double cpu_start = process_cpu_seconds();
    const bool written = framed
                             ? decode_framed(run, *decoder, session->log(), input, writer, progress)
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
        std::snprintf(
            line, sizeof line,
            "decoded %s -> %s: %llu %s, %llu refused, %llu frames, %.2f s of audio, CPU %.3f s\n",
            input.label().c_str(), output_label(out).c_str(),
            static_cast<unsigned long long>(run.payloads), framed ? "payloads" : "host frames",
            static_cast<unsigned long long>(run.refused),
            static_cast<unsigned long long>(run.samples / kFrame),
            static_cast<double>(run.samples) / kSampleRate, cpu);
        write_text(ctx.io.err, line);
        const std::string rows = run.rows.report();
        if (!rows.empty()) write_text(ctx.io.err, input.label() + ": " + rows + "\n");
    }
    return run.failure.empty() && run.refused == 0 ? kExitOk : kExitFailure;
}

int run_decode(context& ctx, const std::vector<std::string>& args) {
    if (is_capture_decode(args)) return run_decode_capture(ctx, args);
    arg_parser parser(ctx, "decode");
    bool framed = false, raw = false;
    parser.flag("--framed", &framed);
    parser.flag("--raw", &raw);
    std::vector<std::string> files;
    if (!parser.parse(args, &files)) return kExitUsage;
    if (const int status = parser.expect_in_out(files)) return status;
    media::output_format format;
    std::string error;
    if (!media::output_format_for(files[1], raw, &format, &error)) return parser.usage_error(error);
    return decode_file(ctx, files[0], files[1], framed, format);
}

}  // namespace

const subcommand kDecodeCommand{
    "decode", "decode raw, framed or captured G.729 into audio through the module", kHelp,
    run_decode};

}  // namespace tarnel::tool
