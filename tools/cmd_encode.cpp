// tarnel encode: linear audio through the module's encoder translator into raw G.729 frames,
// read, coded and written block by block.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "media/file_io.h"
#include "media/pcm_reader.h"
#include "media/pcm_writer.h"
#include "tools/cmd_args.h"
#include "tools/command.h"
#include "tools/progress.h"

namespace tarnel::tool {
namespace {

const char* const kHelp =
    "Usage: tarnel encode [OPTIONS] IN OUT\n"
    "\n"
    "Encodes 8000 Hz mono audio into G.729 through the module's lintog729 translator, handing\n"
    "it host frames of 20 ms and reading its output after each, as a host does, and writes\n"
    "the 10-byte frames back to back as they come.\n"
    "\n"
    "  IN    any audio file libsndfile reads at 8000 Hz with one channel, in any sample\n"
    "        encoding (WAV, FLAC, AIFF, AU, ...; 8, 16, 24 or 32-bit, float, mu-law, A-law);\n"
    "        headerless 16-bit little-endian samples when the name ends in .raw or with\n"
    "        --raw; - reads standard input\n"
    "  OUT   the G.729 frames, e.g. speech.g729 (a name of an audio file is refused);\n"
    "        - writes standard output\n"
    "\n"
    "Samples are taken exactly from 8 and 16-bit, mu-law and A-law audio, and rounded to the\n"
    "nearest 16-bit value, saturating at full scale, from 24 and 32-bit and float audio.\n"
    "Other sample rates and stereo are refused with a conversion hint: resampling here would\n"
    "hide what was actually coded. A last block shorter than 10 ms is padded with zeros to a\n"
    "whole frame; the summary says so. The input is coded as it arrives: memory stays the\n"
    "same for any length, and from a pipe each host frame's output follows its input.\n"
    "\n"
    "Options:\n"
    "  --raw           IN holds headerless samples (default: only when it is named .raw)\n"
    "  --frame-ms N    host frame length in milliseconds, 1 to 1000 (default "
    "20)\n" TARNEL_COMMON_OPTIONS_HELP;

constexpr long kMaxFrameMs = 1000;  // the encoder translator buffers at most one second

// OUT with its extension replaced by .g729.
std::string g729_name(const std::string& out) {
    const size_t slash = out.find_last_of('/');
    const size_t dot = out.find_last_of('.');
    const bool has_ext =
        dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (has_ext ? out.substr(0, dot) : out) + ".g729";
}

int run_encode(context& ctx, const std::vector<std::string>& args) {
    arg_parser parser(ctx, "encode");
    bool raw = false;
    std::string frame_ms_text = "20";
    parser.flag("--raw", &raw);
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
    if (out != "-" && media::names_audio_file(out))
        return parser.usage_error(out +
                                  " is named like an audio file, but encode writes G.729 "
                                  "frames: name it " +
                                  g729_name(out));

    media::pcm_reader reader;
    if (!reader.open(in, raw)) return exit_failure(ctx, reader.error());
    detail(ctx, describe_input(reader));
    auto session = load_module(ctx);
    auto encoder = session ? new_translator(ctx, driver::kEncoderTranslator) : nullptr;
    if (!encoder) return kExitFailure;
    media::output_file output;
    if (!output.open(out, ctx.io.out)) return exit_failure(ctx, output.error());
    const size_t host_frame = static_cast<size_t>(frame_ms) * kSampleRate / 1000;
    detail(ctx, "writing " + output.label() + ": G.729 frames of 10 bytes, from host frames of " +
                    std::to_string(frame_ms) + " ms (" + std::to_string(host_frame) + " samples)");

    // Room for a host frame, or for the zeros that complete the last frame.
    std::vector<int16_t> block(std::max<size_t>(host_frame, kFrame));
    std::vector<uint8_t> coded;
    coded.reserve((host_frame / kFrame + 1) * kSpeechFrameBytes);
    uint64_t input_samples = 0, coded_bytes = 0;
    progress_line progress(ctx, "encoding " + reader.label());
    const double cpu_start = process_cpu_seconds();
    // Then once more with the zeros that complete the last frame.
    for (bool padding = false;;) {
        size_t n = reader.read(block.data(), host_frame);
        if (n == 0 && !padding && reader.error().empty() && input_samples % kFrame != 0) {
            n = kFrame - input_samples % kFrame;
            std::fill(block.begin(), block.begin() + static_cast<long>(n), 0);
            padding = true;
        } else if (n == 0) {
            break;
        } else {
            input_samples += n;
        }
        coded.clear();
        if (!encoder->encode(block.data(), static_cast<int>(n), &coded)) {
            progress.clear();
            report_error(ctx.io.err, reader.label() + ": " + driver::kEncoderTranslator +
                                         " refused the host frame at sample " +
                                         std::to_string(input_samples - n) + ": " +
                                         session->log().take());
            return kExitFailure;
        }
        if (!output.write(coded.data(), coded.size())) break;
        coded_bytes += coded.size();
        progress.update(input_samples, reader.format().samples, reader.progress());
    }
    const double cpu = process_cpu_seconds() - cpu_start;
    progress.clear();
    if (failed(ctx, reader.error()) || failed(ctx, output.error())) return kExitFailure;
    const uint64_t frames = (input_samples + kFrame - 1) / kFrame;
    if (coded_bytes != frames * kSpeechFrameBytes) {
        report_error(ctx.io.err, reader.label() + ": " + driver::kEncoderTranslator + " returned " +
                                     std::to_string(coded_bytes) + " bytes for " +
                                     std::to_string(frames) + " frames");
        return kExitFailure;
    }
    if (!output.commit()) return exit_failure(ctx, output.error());
    if (!ctx.quiet) {
        char line[512];
        std::snprintf(line, sizeof line,
                      "encoded %s -> %s: %llu frames, %.2f s of audio, %llu bytes, CPU %.3f s",
                      reader.label().c_str(), output.label().c_str(),
                      static_cast<unsigned long long>(frames),
                      static_cast<double>(input_samples) / kSampleRate,
                      static_cast<unsigned long long>(coded_bytes), cpu);
        std::string text = line;
        if (const uint64_t leftover = input_samples % kFrame)
            text += "; the last " + std::to_string(leftover) + " samples were padded with " +
                    std::to_string(kFrame - leftover) + " zeros to a whole frame";
        write_text(ctx.io.err, text + "\n");
    }
    return kExitOk;
}

}  // namespace

const subcommand kEncodeCommand{"encode", "encode audio into raw G.729 frames through the module",
                                kHelp, run_encode};

}  // namespace tarnel::tool
