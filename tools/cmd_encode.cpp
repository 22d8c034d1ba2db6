// tarnel encode: linear audio through the module's encoder translator into raw G.729 frames.
#include <cstdio>
#include <string>
#include <vector>

#include "media/audio_file.h"
#include "tools/cmd_args.h"
#include "tools/command.h"

namespace tarnel::tool {
namespace {

const char* const kHelp =
    "Usage: tarnel encode [OPTIONS] IN OUT\n"
    "\n"
    "Encodes 8000 Hz mono 16-bit audio into G.729 through the module's lintog729 translator,\n"
    "handing it host frames of 20 ms and reading its output after each, as a host does, and\n"
    "writes the 10-byte frames back to back.\n"
    "\n"
    "  IN    a WAV file, or any audio file libsndfile reads; headerless 16-bit little-endian\n"
    "        samples when the name ends in .raw or with --raw; - reads standard input\n"
    "  OUT   the G.729 frames; - writes standard output\n"
    "\n"
    "A last block shorter than 10 ms is padded with zeros to a whole frame; the summary says\n"
    "so. Other sample rates, stereo and other sample formats are refused with a conversion\n"
    "hint: resampling here would hide what was actually coded.\n"
    "\n"
    "Options:\n"
    "  --raw           IN holds headerless 16-bit little-endian samples\n"
    "  --frame-ms N    host frame length in milliseconds, 1 to 1000 (default 20)\n"
    "  -q, --quiet     no summary on standard error\n"
    "  --module PATH   the module to load (default: codec_tarnel.so beside this program)\n"
    "  -h, --help      show this help\n";

constexpr long kMaxFrameMs = 1000;  // the encoder translator buffers at most one second

int run_encode(context& ctx, const std::vector<std::string>& args) {
    arg_parser parser(ctx, "encode");
    bool raw = false, quiet = false;
    std::string frame_ms_text = "20";
    parser.flag("--raw", &raw);
    parser.flag("-q", &quiet);
    parser.flag("--quiet", &quiet);
    parser.value("--frame-ms", &frame_ms_text);
    std::vector<std::string> files;
    if (!parser.parse(args, &files)) return kExitUsage;
    long frame_ms = 0;
    if (!parse_int(frame_ms_text, 1, kMaxFrameMs, &frame_ms))
        return parser.usage_error("--frame-ms needs a whole number of milliseconds from 1 to " +
                                  std::to_string(kMaxFrameMs) + ", not '" + frame_ms_text + "'");
    if (const int status = parser.expect_in_out(files)) return status;
    const std::string& in = files[0];
    const std::string& out = files[1];

    media::pcm_result pcm = media::read_pcm(in, raw);
    if (failed(ctx, pcm.error)) return kExitFailure;
    auto session = load_module(ctx);
    auto encoder = session ? new_translator(ctx, driver::kEncoderTranslator) : nullptr;
    if (!encoder) return kExitFailure;

    std::vector<int16_t>& samples = pcm.samples;
    const size_t input_samples = samples.size();
    const size_t leftover = input_samples % kFrame;
    const size_t padding = leftover ? kFrame - leftover : 0;
    samples.resize(input_samples + padding, 0);

    const size_t host_frame = static_cast<size_t>(frame_ms) * kSampleRate / 1000;
    const size_t frames = samples.size() / kFrame;
    std::vector<uint8_t> coded;
    coded.reserve(frames * kSpeechFrameBytes);
    const double cpu_start = process_cpu_seconds();
    for (size_t pos = 0; pos < samples.size(); pos += host_frame) {
        const size_t n = std::min(host_frame, samples.size() - pos);
        if (!encoder->encode(samples.data() + pos, static_cast<int>(n), &coded)) {
            report_error(ctx.io.err, media::input_label(in) + ": " + driver::kEncoderTranslator +
                                         " refused the host frame at sample " +
                                         std::to_string(pos) + ": " + session->log().take());
            return kExitFailure;
        }
    }
    const double cpu = process_cpu_seconds() - cpu_start;
    if (coded.size() != frames * kSpeechFrameBytes) {
        report_error(ctx.io.err, media::input_label(in) + ": " + driver::kEncoderTranslator +
                                     " returned " + std::to_string(coded.size()) + " bytes for " +
                                     std::to_string(frames) + " frames");
        return kExitFailure;
    }
    if (failed(ctx, media::write_output(out, coded, ctx.io.out).error)) return kExitFailure;
    if (!quiet) {
        char line[512];
        std::snprintf(line, sizeof line, "encoded %s -> %s: %zu frames, %.2f s of audio, %zu bytes, CPU %.3f s",
                      media::input_label(in).c_str(), media::output_label(out).c_str(), frames,
                      static_cast<double>(input_samples) / kSampleRate, coded.size(), cpu);
        std::string text = line;
        if (padding)
            text += "; the last " + std::to_string(leftover) + " samples were padded with " +
                    std::to_string(padding) + " zeros to a whole frame";
        write_text(ctx.io.err, text + "\n");
    }
    return kExitOk;
}

}  // namespace

const subcommand kEncodeCommand{
    "encode", "encode audio into raw G.729 frames through the module", kHelp, run_encode};

}  // namespace tarnel::tool
