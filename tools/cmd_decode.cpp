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
#include "tools/cmd_args.h"
#include "tools/cmd_decode_pcap.h"
#include "tools/command.h"

namespace tarnel::tool {
namespace {

using media::input_label;
using media::output_label;

const char* const kHelp =
    "Usage: tarnel decode [OPTIONS] IN OUT\n"
    "       tarnel decode --pcap CAPTURE [--split] [--pt N] [--ssrc X] OUT\n"
    "       tarnel decode --pcap CAPTURE --list [--json]\n"
    "       tarnel decode --rtp-stream IN [--pt N] [--ssrc X] OUT\n"
    "\n"
    "Decodes G.729 through the module's g729tolin translator, handing it one host frame at a\n"
    "time and reading its output after each, as a host does, and writes 8000 Hz mono 16-bit\n"
    "audio.\n"
    "\n"
    "  IN    10-byte G.729 frames back to back, fed 20 ms (two frames) per host frame; with\n"
    "        --framed, payloads each preceded by a 16-bit big-endian length (RFC 4571), fed\n"
    "        one payload per host frame, so a payload may end in a 2-byte SID frame;\n"
    "        - reads standard input\n"
    "  OUT   a WAV file, or headerless 16-bit little-endian samples when the name ends in\n"
    "        .raw or with --raw; - writes standard output\n"
    "\n"
    "A raw file that does not end on a whole frame is decoded up to its last whole frame; the\n"
    "audio is written and the leftover bytes are reported as an error. A payload the decoder\n"
    "refuses is reported with its number and byte offset and decoding goes on with the next.\n"
    "\n"
    "With --pcap, the G.729 calls of a capture (pcap or pcapng) are decoded, one decoder per\n"
    "stream and every core busy: OUT is a folder that receives one stereo WAV file per call\n"
    "(the caller left, the callee right, both on the capture's clock), named by its SIP\n"
    "Call-ID or else by its addresses and start time, or a file when the capture holds one\n"
    "call. Calls are found from SIP signalling (INVITE and answer with SDP, which also names\n"
    "dynamic payload types), otherwise by pairing streams whose addresses mirror each other.\n"
    "Lost packets become silence; silent periods after a SID frame become comfort noise.\n"
    "With --rtp-stream, IN holds RTP packets each preceded by a 16-bit big-endian length\n"
    "(RFC 4571, as recorded from RTP over TCP), decoded in sequence per SSRC.\n"
    "\n"
    "Options:\n"
    "  --framed        IN holds length-prefixed payloads\n"
    "  --raw           write OUT as headerless samples\n"
    "  --pcap CAPTURE  decode the G.729 calls of a packet capture\n"
    "  --rtp-stream IN decode length-prefixed RTP packets (RTP over TCP)\n"
    "  --split         with --pcap: one mono WAV file per stream instead of one per call\n"
    "  --list          with --pcap: list the calls and streams with their figures, no audio\n"
    "  --json          with --list: as JSON\n"
    "  --pt N          the payload type of G.729 (default 18, or what SIP signalling says)\n"
    "  --ssrc X        only the stream with this SSRC (decimal, or hex with 0x)\n"
    "  --threads N     with --pcap: decoding threads (default: one per core)\n"
    "  -q, --quiet     no summary on standard error\n"
    "  --module PATH   the module to load (default: codec_tarnel.so beside this program)\n"
    "  -h, --help      show this help\n";

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
    std::vector<int16_t> samples;
    size_t payloads = 0;
    size_t refused = 0;
    std::vector<std::string> refusals;  // the first few
    driver::row_census rows;
    std::string failure;  // what ended the input early, if anything
};

void feed(decode_run& run, driver::translator_instance& decoder, driver::host_log& log,
          const uint8_t* data, size_t size, size_t offset) {
    ++run.payloads;
    const size_t before = run.samples.size();
    if (decoder.decode(data, size, &run.samples)) {
        run.rows.add_payload(data, size);
        return;
    }
    const size_t kept = run.samples.size() - before;
    std::string text = "payload " + std::to_string(run.payloads) + " at byte " +
                       std::to_string(offset) + " (" + std::to_string(size) +
                       " bytes) refused by " + driver::kDecoderTranslator + ": " + log.take();
    if (kept) text += "; the " + std::to_string(kept / kFrame) + " frames before the fault are kept";
    if (++run.refused <= kMaxRefusalLines) run.refusals.push_back(text);
}

void decode_raw(decode_run& run, driver::translator_instance& decoder, driver::host_log& log,
                const std::string& in, const std::vector<uint8_t>& bytes) {
    const size_t whole = bytes.size() / kSpeechFrameBytes;
    for (size_t frame = 0; frame < whole; frame += kFramesPerHostFrame) {
        const size_t n = std::min(kFramesPerHostFrame, whole - frame);
        feed(run, decoder, log, bytes.data() + frame * kSpeechFrameBytes, n * kSpeechFrameBytes,
             frame * kSpeechFrameBytes);
    }
    const size_t leftover = bytes.size() - whole * kSpeechFrameBytes;
    if (leftover)
        run.failure = input_label(in) + ": " + std::to_string(leftover) + " bytes left over after " +
                      std::to_string(whole) +
                      " whole 10-byte frames (truncated, or length-framed: try --framed)";
}

void decode_framed(decode_run& run, driver::translator_instance& decoder, driver::host_log& log,
                   const std::string& in, const std::vector<uint8_t>& bytes) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t left = bytes.size() - pos;
        if (left < 2) {
            run.failure = input_label(in) + ": truncated: 1 byte at byte " + std::to_string(pos) +
                          " where a 2-byte length should start payload " +
                          std::to_string(run.payloads + 1);
            return;
        }
        const size_t length = media::be16(&bytes[pos]);
        if (length > left - 2) {
            run.failure = input_label(in) + ": truncated: payload " +
                          std::to_string(run.payloads + 1) + " at byte " + std::to_string(pos) +
                          " announces " + std::to_string(length) + " bytes, " +
                          std::to_string(left - 2) + " follow";
            return;
        }
        feed(run, decoder, log, bytes.data() + pos + 2, length, pos);
        pos += 2 + length;
    }
}

int decode_file(context& ctx, const std::string& in, const std::string& out, bool framed,
                bool raw, bool quiet) {
    const media::bytes_result input = media::read_bytes(in);
    if (failed(ctx, input.error)) return kExitFailure;
    auto session = load_module(ctx);
    auto decoder = session ? new_translator(ctx, driver::kDecoderTranslator) : nullptr;
    if (!decoder) return kExitFailure;

    decode_run run;
    const double cpu_start = process_cpu_seconds();
    if (framed)
        decode_framed(run, *decoder, session->log(), in, input.bytes);
    else
        decode_raw(run, *decoder, session->log(), in, input.bytes);
    const double cpu = process_cpu_seconds() - cpu_start;
    report_refusals(ctx, input_label(in) + ": ", run.refusals, run.refused,
                    "; decoding goes on with the next payload");

    const std::string error = media::write_pcm(out, run.samples, raw, ctx.io.out).error;
    if (!error.empty()) {
        failed(ctx, run.failure);
        report_error(ctx.io.err, error);
        return kExitFailure;
    }
    if (!run.failure.empty())
        report_error(ctx.io.err, run.failure + "; the audio decoded before it was written to " +
                                     output_label(out));
    if (!quiet) {
        char line[512];
        std::snprintf(line, sizeof line,
                      "decoded %s -> %s: %zu %s, %zu refused, %zu frames, %.2f s of audio, CPU %.3f s\n",
                      input_label(in).c_str(), output_label(out).c_str(), run.payloads,
                      framed ? "payloads" : "host frames", run.refused, run.samples.size() / kFrame,
                      static_cast<double>(run.samples.size()) / kSampleRate, cpu);
        write_text(ctx.io.err, line);
        const std::string rows = run.rows.report();
        if (!rows.empty()) write_text(ctx.io.err, input_label(in) + ": " + rows + "\n");
    }
    return run.failure.empty() && run.refused == 0 ? kExitOk : kExitFailure;
}

int run_decode(context& ctx, const std::vector<std::string>& args) {
    if (is_capture_decode(args)) return run_decode_capture(ctx, args);
    arg_parser parser(ctx, "decode");
    bool framed = false, raw = false, quiet = false;
    parser.flag("--framed", &framed);
    parser.flag("--raw", &raw);
    parser.flag("-q", &quiet);
    parser.flag("--quiet", &quiet);
    std::vector<std::string> files;
    if (!parser.parse(args, &files)) return kExitUsage;
    if (const int status = parser.expect_in_out(files)) return status;
    return decode_file(ctx, files[0], files[1], framed, raw, quiet);
}

}  // namespace

const subcommand kDecodeCommand{
    "decode", "decode raw, framed or captured G.729 into audio through the module", kHelp,
    run_decode};

}  // namespace tarnel::tool
