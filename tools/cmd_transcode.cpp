// tarnel transcode: audio through both translators in one run, as one call leg through the
// host would carry it, and how close the result stays to the original.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "media/audio_file.h"
#include "media/quality.h"
#include "tools/cmd_args.h"
#include "tools/command.h"

namespace tarnel::tool {
namespace {

const char* const kHelp =
    "Usage: tarnel transcode [OPTIONS] IN OUT\n"
    "\n"
    "Encodes IN through the module's lintog729 translator in host frames of 20 ms, hands\n"
    "each frame it returns straight to a g729tolin translator, and writes what comes out to\n"
    "OUT: what a listener hears at the far end of one G.729 leg. Then prints how close OUT\n"
    "stays to IN (segmental SNR and log-spectral distance, after lining the two up across\n"
    "the codec's delay), the time the coding took and its speed as a multiple of real time.\n"
    "\n"
    "  IN    8000 Hz mono 16-bit audio: a WAV file, any file libsndfile reads, or headerless\n"
    "        16-bit little-endian samples when the name ends in .raw; - reads standard input\n"
    "  OUT   the decoded audio, WAV unless the name ends in .raw; - writes standard output\n"
    "        (the report then goes to standard error)\n"
    "\n"
    "Options:\n"
    "  --raw           both IN and OUT are headerless samples\n"
    "  --module PATH   the module to load (default: codec_tarnel.so beside this program)\n"
    "  -h, --help      show this help\n";

std::string format_db(const std::optional<double>& v) {
    if (!v) return "n/a (no active speech)";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f dB", *v);
    return buf;
}

int run_transcode(context& ctx, const std::vector<std::string>& args) {
    arg_parser parser(ctx, "transcode");
    bool raw = false;
    parser.flag("--raw", &raw);
    std::vector<std::string> files;
    if (!parser.parse(args, &files)) return kExitUsage;
    if (const int status = parser.expect_in_out(files)) return status;
    const std::string& in = files[0];
    const std::string& out = files[1];

    const media::pcm_result pcm = media::read_pcm(in, raw);
    if (failed(ctx, pcm.error)) return kExitFailure;
    auto session = load_module(ctx);
    auto encoder = session ? new_translator(ctx, driver::kEncoderTranslator) : nullptr;
    auto decoder = encoder ? new_translator(ctx, driver::kDecoderTranslator) : nullptr;
    if (!decoder) return kExitFailure;

    const std::vector<int16_t>& original = pcm.samples;
    std::vector<int16_t> input = original;
    input.resize((input.size() + kFrame - 1) / kFrame * kFrame, 0);
    std::vector<int16_t> decoded;
    decoded.reserve(input.size());
    std::vector<uint8_t> coded;
    const double wall_start = wall_seconds();
    const double cpu_start = process_cpu_seconds();
    for (size_t pos = 0; pos < input.size(); pos += driver::kHostFrameSamples) {
        const size_t n = std::min<size_t>(driver::kHostFrameSamples, input.size() - pos);
        coded.clear();
        const bool encoded = encoder->encode(input.data() + pos, static_cast<int>(n), &coded);
        if (!encoded || !decoder->decode(coded.data(), coded.size(), &decoded)) {
            report_error(ctx.io.err,
                         media::input_label(in) + ": " +
                             (encoded ? driver::kDecoderTranslator : driver::kEncoderTranslator) +
                             " refused the host frame at sample " + std::to_string(pos) + ": " +
                             session->log().take());
            return kExitFailure;
        }
    }
    const double wall = wall_seconds() - wall_start;
    const double cpu = process_cpu_seconds() - cpu_start;

    if (failed(ctx, media::write_pcm(out, decoded, raw, ctx.io.out).error)) return kExitFailure;

    const media::quality_report q = media::compare_signals(original, decoded);
    const double seconds = static_cast<double>(original.size()) / kSampleRate;
    char timing[256];
    std::snprintf(timing, sizeof timing, "%.3f s (CPU %.3f s), %.1f times real time", wall, cpu,
                  wall > 0 ? seconds / wall : 0.0);
    char length[64];
    std::snprintf(length, sizeof length, "%.2f s", seconds);
    const std::string report =
        "transcoded " + media::input_label(in) + " -> " + media::output_label(out) + ": " + length +
        " of audio, " + std::to_string(input.size() / kFrame) + " frames\n" +
        "segmental SNR:          " + format_db(q.segmental_snr_db) + "\n" +
        "log-spectral distance:  " + format_db(q.log_spectral_distance_db) + "\n" +
        "codec delay:            " + std::to_string(q.delay) + " samples\n" +
        "time taken:             " + timing + "\n";
    write_text(out == "-" ? ctx.io.err : ctx.io.out, report);
    return kExitOk;
}

}  // namespace

const subcommand kTranscodeCommand{
    "transcode", "encode and decode through both translators and measure the quality", kHelp,
    run_transcode};

}  // namespace tarnel::tool
