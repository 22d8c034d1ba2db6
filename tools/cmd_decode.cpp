// tarnel decode: raw or length-framed G.729, or the streams of a packet capture, through the
// module's decoder translator into linear audio.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/audio_io.h"
#include "tools/cmd_args.h"
#include "tools/module_session.h"
#include "tools/output.h"
#include "tools/pcap_decode.h"
#include "tools/row_census.h"
#include "tools/subcommand.h"
#include "tools/translation.h"

namespace tarnel_tool {
namespace {

const char* const kHelp =
    "Usage: tarnel decode [OPTIONS] IN OUT\n"
    "       tarnel decode --pcap CAPTURE [--pt N] [--ssrc X] OUT\n"
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
    "With --pcap, every G.729 RTP stream of the capture (pcap or pcapng) is decoded on its\n"
    "call timeline, one decoder per stream: lost packets become silence, silent periods after\n"
    "a SID frame become comfort noise. OUT is a folder that receives one WAV file per stream\n"
    "(named after its addresses and SSRC), or a file when the capture has one stream. Each\n"
    "stream's packets, losses, duplicates, SID frames, refused payloads and duration are\n"
    "printed.\n"
    "\n"
    "Options:\n"
    "  --framed        IN holds length-prefixed payloads\n"
    "  --raw           write OUT as headerless samples\n"
    "  --pcap CAPTURE  decode the G.729 streams of a packet capture\n"
    "  --pt N          with --pcap: the payload type of the G.729 streams (default 18)\n"
    "  --ssrc X        with --pcap: only the stream with this SSRC (decimal, or hex with 0x)\n"
    "  -q, --quiet     no summary on standard error\n"
    "  --module PATH   the module to load (default: codec_tarnel.so beside this program)\n"
    "  -h, --help      show this help\n";

constexpr size_t kFrameBytes = 10;
constexpr size_t kFramesPerHostFrame = 2;
constexpr size_t kMaxRefusalLines = 10;

struct DecodeRun {
    std::vector<int16_t> samples;
    size_t payloads = 0;
    size_t refused = 0;
    RowCensus rows;
    std::string failure;  // what ended the input early, if anything
};

// Reports a refused payload, the first few one by one; the rest are counted in the summary.
void report_refusal(Context& ctx, DecodeRun& run, const std::string& in, size_t index,
                    size_t offset, size_t size, const std::string& why, size_t kept) {
    ++run.refused;
    if (run.refused > kMaxRefusalLines) return;
    std::string text = input_label(in) + ": payload " + std::to_string(index) + " at byte " +
                       std::to_string(offset) + " (" + std::to_string(size) +
                       " bytes) refused by " + kDecoderTranslator + ": " + why;
    if (kept) text += "; the " + std::to_string(kept / 80) + " frames before the fault are kept";
    report_error(ctx.io.err, text + "; decoding goes on with the next payload");
}

bool feed(Context& ctx, DecodeRun& run, TranslatorInstance& decoder, HostLogCapture& log,
          const std::string& in, const uint8_t* data, size_t size, size_t offset) {
    ++run.payloads;
    const size_t before = run.samples.size();
    if (decoder.decode(data, size, &run.samples)) {
        run.rows.add_payload(data, size);
        return true;
    }
    report_refusal(ctx, run, in, run.payloads, offset, size, log.take(), run.samples.size() - before);
    return false;
}

void decode_raw(Context& ctx, DecodeRun& run, TranslatorInstance& decoder, HostLogCapture& log,
                const std::string& in, const std::vector<uint8_t>& bytes) {
    const size_t whole = bytes.size() / kFrameBytes;
    for (size_t frame = 0; frame < whole; frame += kFramesPerHostFrame) {
        const size_t n = std::min(kFramesPerHostFrame, whole - frame);
        feed(ctx, run, decoder, log, in, bytes.data() + frame * kFrameBytes, n * kFrameBytes,
             frame * kFrameBytes);
    }
    const size_t leftover = bytes.size() - whole * kFrameBytes;
    if (leftover)
        run.failure = input_label(in) + ": " + std::to_string(leftover) + " bytes left over after " +
                      std::to_string(whole) +
                      " whole 10-byte frames (truncated, or length-framed: try --framed)";
}

void decode_framed(Context& ctx, DecodeRun& run, TranslatorInstance& decoder, HostLogCapture& log,
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
        const size_t length = static_cast<size_t>(bytes[pos]) << 8 | bytes[pos + 1];
        if (length > left - 2) {
            run.failure = input_label(in) + ": truncated: payload " +
                          std::to_string(run.payloads + 1) + " at byte " + std::to_string(pos) +
                          " announces " + std::to_string(length) + " bytes, " +
                          std::to_string(left - 2) + " follow";
            return;
        }
        feed(ctx, run, decoder, log, in, bytes.data() + pos + 2, length, pos);
        pos += 2 + length;
    }
}

int run_decode(Context& ctx, const std::vector<std::string>& args) {
    ArgParser parser(ctx, "decode");
    bool framed = false, raw = false, quiet = false, pcap_given = false, pt_given = false,
         ssrc_given = false;
    std::string capture, pt_text, ssrc_text;
    parser.flag("--framed", &framed);
    parser.flag("--raw", &raw);
    parser.flag("-q", &quiet);
    parser.flag("--quiet", &quiet);
    parser.value("--pcap", &capture, &pcap_given);
    parser.value("--pt", &pt_text, &pt_given);
    parser.value("--ssrc", &ssrc_text, &ssrc_given);
    std::vector<std::string> files;
    if (!parser.parse(args, &files)) return kExitUsage;

    if (pcap_given) {
        if (framed) return parser.usage_error("--framed and --pcap exclude each other");
        if (raw) return parser.usage_error("--raw does not apply to --pcap, which writes WAV files");
        if (files.size() != 1)
            return parser.usage_error(files.empty() ? "--pcap needs an output folder or file"
                                                    : "--pcap takes one output, not '" +
                                                          files[1] + "' as well");
        if (capture.empty()) return parser.usage_error("--pcap needs a capture file");
        PcapDecodeRequest request;
        request.capture = capture;
        request.out = files[0];
        request.quiet = quiet;
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
        return run_pcap_decode(ctx, request);
    }
    if (pt_given || ssrc_given)
        return parser.usage_error(std::string(pt_given ? "--pt" : "--ssrc") + " needs --pcap");
    if (const int status = parser.expect_in_out(files)) return status;
    const std::string& in = files[0];
    const std::string& out = files[1];

    tarnel::bytes_result input = tarnel::read_bytes(in);
    if (!input.ok()) {
        report_error(ctx.io.err, input.error);
        return kExitFailure;
    }
    std::string error;
    auto session = ModuleSession::open(ctx.module_path, &error);
    if (!session) {
        report_error(ctx.io.err, error);
        return kExitFailure;
    }
    HostLogCapture log;
    auto decoder = TranslatorInstance::create(kDecoderTranslator, &error);
    if (!decoder) {
        report_error(ctx.io.err, error);
        return kExitFailure;
    }

    DecodeRun run;
    const double cpu_start = process_cpu_seconds();
    if (framed)
        decode_framed(ctx, run, *decoder, log, in, input.bytes);
    else
        decode_raw(ctx, run, *decoder, log, in, input.bytes);
    const double cpu = process_cpu_seconds() - cpu_start;
    if (run.refused > kMaxRefusalLines)
        report_error(ctx.io.err, input_label(in) + ": " +
                                     std::to_string(run.refused - kMaxRefusalLines) +
                                     " more payloads refused");

    error = write_audio(ctx.io, out, run.samples, raw);
    if (!error.empty()) {
        if (!run.failure.empty()) report_error(ctx.io.err, run.failure);
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
                      framed ? "payloads" : "host frames", run.refused, run.samples.size() / 80,
                      static_cast<double>(run.samples.size()) / tarnel::kToolSampleRate, cpu);
        write_text(ctx.io.err, line);
        const std::string rows = run.rows.report();
        if (!rows.empty()) write_text(ctx.io.err, input_label(in) + ": " + rows + "\n");
    }
    return run.failure.empty() && run.refused == 0 ? kExitOk : kExitFailure;
}

}  // namespace

const Subcommand& decode_subcommand() {
    static const Subcommand s{"decode", "decode raw, framed or captured G.729 into audio through the module",
                              kHelp, run_decode};
    return s;
}

}  // namespace tarnel_tool
