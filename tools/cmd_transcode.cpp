// tarnel transcode: audio through both translators in one run, as one call leg through the
// host would carry it, and how close the result stays to the original.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "media/file_io.h"
#include "media/pcm_reader.h"
#include "media/pcm_writer.h"
#include "media/quality.h"
#include "media/stoi.h"
#include "tools/cmd_args.h"
#include "tools/command.h"
#include "tools/progress.h"

namespace tarnel::tool {
namespace {

const char* const kHelp =
    "Usage: tarnel transcode [OPTIONS] IN OUT\n"
    "\n"
    "Encodes IN through the module's lintog729 translator in host frames of 20 ms, hands\n"
    "each frame it returns straight to a g729tolin translator, and writes what comes out to\n"
    "OUT: what a listener hears at the far end of one G.729 leg. OUT is shifted back by the\n"
    "codec's delay of 40 samples (5 ms) and has exactly IN's length, so the two line up\n"
    "sample for sample. Then prints how close OUT stays to IN (segmental SNR, log-spectral\n"
    "distance and STOI, the last for inputs up to 3 minutes), the time the coding took and its\n"
    "speed as a multiple of real time.\n"
    "\n"
    "  IN    8000 Hz mono audio, as tarnel encode reads it: any file libsndfile reads, in any\n"
    "        sample encoding, or headerless 16-bit little-endian samples when the name ends\n"
    "        in .raw; - reads standard input\n"
    "  OUT   the decoded audio, in the format its name asks for as tarnel decode writes it\n"
    "        (WAV, .raw, .flac, ...); - writes a WAV to standard output (the report then goes\n"
    "        to standard error)\n"
    "\n"
    "The input is coded as it arrives, so memory stays the same for any length (STOI, which\n"
    "needs both whole signals, is left out beyond 3 minutes).\n"
    "\n"
    "Options:\n"
    "  --raw           both IN and OUT are headerless samples (default: each by its "
    "name)\n" TARNEL_COMMON_OPTIONS_HELP;

// STOI needs both whole signals and, while it works, about 50 bytes per sample: some 70 MB at
// this length. Past it the figure is left out rather than memory growing with the input.
constexpr int kStoiMaxSeconds = 180;
constexpr size_t kStoiMaxSamples = static_cast<size_t>(kStoiMaxSeconds) * kSampleRate;

// Both signals, whole, for STOI, as long as they stay short enough.
struct stoi_signals {
    std::vector<int16_t> clean;
    std::vector<int16_t> coded;
    bool skipped = false;

    void expect(int64_t samples) {
        if (samples > static_cast<int64_t>(kStoiMaxSamples)) {
            skipped = true;
        } else if (samples > 0) {
            clean.reserve(static_cast<size_t>(samples));
            coded.reserve(static_cast<size_t>(samples));
        }
    }
    void add(const int16_t* ref, const int16_t* out, size_t n) {
        if (skipped) return;
        if (clean.size() + n > kStoiMaxSamples) {
            skipped = true;
            clean = {};
            coded = {};
            return;
        }
        clean.insert(clean.end(), ref, ref + n);
        coded.insert(coded.end(), out, out + n);
    }
};

std::string format_db(const std::optional<double>& v) {
    if (!v) return "n/a (no active speech)";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f dB", *v);
    return buf;
}

std::string format_stoi(const stoi_signals& s) {
    if (s.skipped)
        return "not measured (inputs over " + std::to_string(kStoiMaxSeconds / 60) + " minutes)";
    const std::optional<double> v = media::stoi(s.clean, s.coded, 0);
    if (!v) return "n/a (under half a second of speech)";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", *v);
    return buf;
}

// The two translators back to back, their output shifted back by the codec's delay, cut to
// the input's length, written and measured against the input as it comes.
struct leg {
    leg(driver::translator_instance& e, driver::translator_instance& d, media::pcm_writer& w)
        : encoder(e), decoder(d), writer(w) {}

    driver::translator_instance& encoder;
    driver::translator_instance& decoder;
    media::pcm_writer& writer;
    media::quality_meter quality;
    stoi_signals stoi;
    std::vector<uint8_t> coded;
    std::vector<int16_t> decoded;
    std::vector<int16_t> waiting;  // input samples whose output has not come out yet
    uint64_t input_samples = 0;
    uint64_t output_samples = 0;
    uint64_t fed_samples = 0;  // into the encoder, padding included
    uint64_t frame_at = 0;     // where the last host frame started
    int delay_left = kCodecDelay;
    bool measure = true;       // false with -q, when no report is printed
    double coding_wall = 0.0;  // seconds spent in the translators alone
    double coding_cpu = 0.0;
    const char* refused_by = nullptr;

    // Input samples, to be compared with the output they become.
    void take_input(const int16_t* samples, size_t n) {
        waiting.insert(waiting.end(), samples, samples + n);
        input_samples += n;
    }

    // One host frame through both translators. False when one refused it (refused_by names
    // it) or the output failed.
    bool carry(const int16_t* samples, size_t n) {
        coded.clear();
        decoded.clear();
        frame_at = fed_samples;
        fed_samples += n;
        const double wall_start = wall_seconds();
        const double cpu_start = process_cpu_seconds();
        if (!encoder.encode(samples, static_cast<int>(n), &coded))
            refused_by = driver::kEncoderTranslator;
        else if (!decoder.decode(coded.data(), coded.size(), &decoded))
            refused_by = driver::kDecoderTranslator;
        coding_cpu += process_cpu_seconds() - cpu_start;
        coding_wall += wall_seconds() - wall_start;
        if (refused_by) return false;
        const size_t skip = std::min<size_t>(static_cast<size_t>(delay_left), decoded.size());
        delay_left -= static_cast<int>(skip);
        const size_t m = std::min<uint64_t>(decoded.size() - skip, input_samples - output_samples);
        const int16_t* out = decoded.data() + skip;
        if (measure) {
            quality.add(waiting.data(), out, m);
            stoi.add(waiting.data(), out, m);
        }
        waiting.erase(waiting.begin(), waiting.begin() + static_cast<long>(m));
        output_samples += m;
        return writer.write(out, m);
    }
};

int run_transcode(context& ctx, const std::vector<std::string>& args) {
    arg_parser parser(ctx, "transcode");
    bool raw = false;
    parser.flag("--raw", &raw);
    std::vector<std::string> files;
    if (!parser.parse(args, &files)) return kExitUsage;
    if (const int status = parser.expect_in_out(files)) return status;
    const std::string& in = files[0];
    const std::string& out = files[1];
    media::output_format format;
    std::string error;
    if (!media::output_format_for(out, raw, &format, &error)) return parser.usage_error(error);

    media::pcm_reader reader;
    if (!reader.open(in, raw)) return exit_failure(ctx, reader.error());
    detail(ctx, describe_input(reader));
    auto session = load_module(ctx);
    auto encoder = session ? new_translator(ctx, driver::kEncoderTranslator) : nullptr;
    auto decoder = encoder ? new_translator(ctx, driver::kDecoderTranslator) : nullptr;
    if (!decoder) return kExitFailure;
    media::pcm_writer writer;
    if (!writer.open(out, format, ctx.io.out)) return exit_failure(ctx, writer.error());
    detail(ctx, "writing " + media::output_label(out) + ": " + format.name +
                    ", 8000 Hz, 1 channel, 16-bit, shifted back by " + std::to_string(kCodecDelay) +
                    " samples");

    leg call(*encoder, *decoder, writer);
    call.coded.reserve(2 * kSpeechFrameBytes * driver::kHostFrameSamples / kFrame);
    call.decoded.reserve(2 * driver::kHostFrameSamples);
    call.waiting.reserve(4 * driver::kHostFrameSamples);
    call.measure = !ctx.quiet;
    call.stoi.expect(reader.format().samples);
    std::vector<int16_t> block(driver::kHostFrameSamples);
    progress_line progress(ctx, "transcoding " + reader.label());
    bool carried = true;
    for (;;) {
        const size_t n = reader.read(block.data(), block.size());
        if (n == 0) break;
        call.take_input(block.data(), n);
        if (!(carried = call.carry(block.data(), n))) break;
        progress.update(call.input_samples, reader.format().samples, reader.progress());
        if (n < block.size()) break;
    }
    // Zeros to complete the last frame, then a frame more if the delay still holds back the
    // end of the input.
    const std::vector<int16_t> zeros(kFrame, 0);
    if (carried && reader.error().empty() && call.input_samples % kFrame != 0)
        carried = call.carry(zeros.data(), kFrame - call.input_samples % kFrame);
    if (carried && reader.error().empty() && call.output_samples < call.input_samples)
        carried = call.carry(zeros.data(), kFrame);
    progress.clear();
    if (call.refused_by)
        return exit_failure(ctx, reader.label() + ": " + call.refused_by +
                                     " refused the host frame at sample " +
                                     std::to_string(call.frame_at) + ": " + session->log().take());
    if (failed(ctx, reader.error())) return kExitFailure;
    if (!carried || !writer.finish()) return exit_failure(ctx, writer.error());
    if (ctx.quiet) return kExitOk;

    const double seconds = static_cast<double>(call.input_samples) / kSampleRate;
    char timing[256];
    std::snprintf(timing, sizeof timing, "%.3f s (CPU %.3f s), %.1f times real time",
                  call.coding_wall, call.coding_cpu,
                  call.coding_wall > 0 ? seconds / call.coding_wall : 0.0);
    char length[64];
    std::snprintf(length, sizeof length, "%.2f s", seconds);
    const std::string report =
        "transcoded " + reader.label() + " -> " + media::output_label(out) + ": " + length +
        " of audio, " + std::to_string((call.input_samples + kFrame - 1) / kFrame) + " frames\n" +
        "segmental SNR:          " + format_db(call.quality.segmental_snr_db()) + "\n" +
        "log-spectral distance:  " + format_db(call.quality.log_spectral_distance_db()) + "\n" +
        "STOI:                   " + format_stoi(call.stoi) + "\n" +
        "codec delay:            " + std::to_string(kCodecDelay) +
        " samples, taken out: OUT lines up with IN\n" + "time taken:             " + timing + "\n" +
        "A higher SNR, a lower distance (0 dB: the same spectrum) and a higher STOI (0 to 1) "
        "mean OUT is closer to IN.\n";
    write_text(out == "-" ? ctx.io.err : ctx.io.out, report);
    return kExitOk;
}

}  // namespace

const subcommand kTranscodeCommand{
    "transcode", "encode and decode through both translators and measure the quality", kHelp,
    run_transcode};

}  // namespace tarnel::tool
