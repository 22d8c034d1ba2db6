// tarnel bench: how fast the codec runs, by itself and inside the module through the host, on
// one core and on all of them; how steady that speed is (the spread of the runs, and the slowest
// single frames, which a real-time channel feels as late audio); and what that means in
// simultaneous channels.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "media/audio_file.h"
#include "tools/cmd_args.h"
#include "tools/command.h"

namespace tarnel::tool {
namespace {

const char* const kHelp =
    "Usage: tarnel bench [OPTIONS]\n"
    "\n"
    "Encodes and decodes the bundled speech sample, looped to 20 s, through the codec's\n"
    "own functions and through the module's translators in the stand-in host, on one thread\n"
    "and on one thread per core (each thread with its own codec state, as each call leg has),\n"
    "several runs of each. For each direction prints:\n"
    "  - the time per 10 ms frame of the fastest, the median and the slowest run;\n"
    "  - the 99th percentile and the maximum time of a single frame (through the module, of a\n"
    "    20 ms host frame, per 10 ms), the delay a real-time channel feels;\n"
    "  - the speed of the median run as a multiple of real time, and how many simultaneous\n"
    "    channels that sustains, per core on one thread and in all on every thread;\n"
    "  - the memory each channel's translator instance takes.\n"
    "The machine's load average is printed too: other work on it widens the spread and\n"
    "lengthens the slowest frames.\n"
    "\n"
    "Options:\n"
    "  --input FILE    8000 Hz mono 16-bit audio to code instead of the bundled sample\n"
    "  --seconds N     seconds of audio to code, the input looped or cut (default 20)\n"
    "  --runs N        timed runs per measurement (default 5)\n"
    "  --threads N     threads for the all-cores measurement (default: one per core)\n"
    "  --json          print the results as one JSON object\n"
    "  --module PATH   the module to load (default: codec_tarnel.so beside this program,\n"
    "                  or in ../lib/codec_tarnel/ of an installed one)\n"
    "  -h, --help      show this help\n";

constexpr double kFrameMicroseconds = 1e6 * kFrame / kSampleRate;  // 10 ms

struct bench_input {
    std::vector<int16_t> pcm;   // whole frames
    std::vector<uint8_t> bits;  // the same audio coded, for the decoder
    size_t frames = 0;
};

// One clock reading after each step of a pass (a codec frame, or a host frame through the
// module), so that the steps' times add up to the pass exactly at the cost of one clock call
// a step. Room for the readings is made before a pass: nothing allocates while it is timed.
class step_clock {
public:
    void prepare(size_t steps) {
        ticks_.reserve(steps + 1);
        frames_.reserve(steps);
    }
    void start() {
        ticks_.clear();
        frames_.clear();
        ticks_.push_back(wall_seconds());
    }
    void tick(size_t frames) {
        ticks_.push_back(wall_seconds());
        frames_.push_back(frames);
    }
    double seconds() const { return ticks_.back() - ticks_.front(); }
    size_t steps() const { return frames_.size(); }
    double us_per_frame(size_t step) const {
        return (ticks_[step + 1] - ticks_[step]) * 1e6 / static_cast<double>(frames_[step]);
    }

private:
    std::vector<double> ticks_;
    std::vector<size_t> frames_;
};

// Times of single frames in bins 0.5% wide from 10 ns to 10 s: the same small memory however
// long and often the input is coded, and a percentile within 0.5% (a bin's upper edge, never
// above the largest time seen).
class frame_times {
public:
    void add(const step_clock& clock) {
        for (size_t s = 0; s < clock.steps(); ++s) {
            const double us = clock.us_per_frame(s);
            const double bin = us > kLowestUs ? std::log(us / kLowestUs) / std::log(kBinRatio) : 0;
            ++counts_[static_cast<size_t>(std::min(bin, static_cast<double>(kBins - 1)))];
            ++total_;
            max_ = std::max(max_, us);
        }
    }
    // The smallest time that `fraction` of the frames do not exceed.
    double percentile(double fraction) const {
        const auto rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(total_)));
        uint64_t seen = 0;
        for (size_t b = 0; b < kBins; ++b) {
            seen += counts_[b];
            if (seen >= std::max<uint64_t>(rank, 1))
                return std::min(max_, kLowestUs * std::pow(kBinRatio, static_cast<double>(b + 1)));
        }
        return max_;
    }
    double max() const { return max_; }

private:
    static constexpr double kLowestUs = 0.01;
    static constexpr double kBinRatio = 1.005;
    static constexpr size_t kBins = 4200;  // 10 ns * 1.005^4200 > 10 s
    std::vector<uint64_t> counts_ = std::vector<uint64_t>(kBins);
    uint64_t total_ = 0;
    double max_ = 0;
};

// What one pass writes into, each thread its own: allocated before the timed passes.
struct pass_buffers {
    std::vector<uint8_t> bits;
    std::vector<int16_t> pcm;
    step_clock clock;

    explicit pass_buffers(const bench_input& in) {
        bits.reserve(in.frames * kSpeechFrameBytes);
        pcm.reserve(in.frames * kFrame);
        clock.prepare(in.frames);
    }
};

// One pass over the whole input with fresh state, each step timed.
using coding_pass = void (*)(const bench_input&, pass_buffers&);

void encode_with_codec(const bench_input& in, pass_buffers& out) {
    g729_encoder_state st;
    g729_encoder_init(&st);
    out.bits.resize(in.frames * kSpeechFrameBytes);
    out.clock.start();
    for (size_t f = 0; f < in.frames; ++f) {
        int len = 0;
        g729_encode_frame(&st, in.pcm.data() + f * kFrame, out.bits.data() + f * kSpeechFrameBytes,
                          &len);
        out.clock.tick(1);
    }
}

void decode_with_codec(const bench_input& in, pass_buffers& out) {
    g729_decoder_state st;
    g729_decoder_init(&st);
    out.pcm.resize(in.frames * kFrame);
    out.clock.start();
    for (size_t f = 0; f < in.frames; ++f) {
        g729_decode_frame(&st, out.pcm.data() + f * kFrame, in.bits.data() + f * kSpeechFrameBytes,
                          kSpeechFrameBytes);
        out.clock.tick(1);
    }
}

void encode_with_module(const bench_input& in, pass_buffers& out) {
    std::string error;
    auto encoder = driver::translator_instance::create(driver::kEncoderTranslator, &error);
    out.bits.clear();
    out.clock.start();
    if (!encoder) return;  // the output check before any timing reports the difference
    for (size_t pos = 0; pos < in.pcm.size(); pos += driver::kHostFrameSamples) {
        const size_t n = std::min<size_t>(driver::kHostFrameSamples, in.pcm.size() - pos);
        encoder->encode(in.pcm.data() + pos, static_cast<int>(n), &out.bits);
        out.clock.tick(n / kFrame);
    }
}

void decode_with_module(const bench_input& in, pass_buffers& out) {
    std::string error;
    auto decoder = driver::translator_instance::create(driver::kDecoderTranslator, &error);
    out.pcm.clear();
    out.clock.start();
    if (!decoder) return;
    const size_t host_frame_bytes = driver::kHostFrameSamples / kFrame * kSpeechFrameBytes;
    for (size_t pos = 0; pos < in.bits.size(); pos += host_frame_bytes) {
        const size_t n = std::min(host_frame_bytes, in.bits.size() - pos);
        decoder->decode(in.bits.data() + pos, n, &out.pcm);
        out.clock.tick(n / kSpeechFrameBytes);
    }
}

// The bundled speech recording: samples/speech.wav beside the program in a build tree (the
// build puts a copy there), or share/codec_tarnel/speech.wav beside the bin folder of an
// installed program. Empty when there is neither.
std::string bundled_speech() {
    const std::string dir = driver::executable_directory();
    if (dir.empty()) return "";
    const std::string prefix = dir.substr(0, dir.rfind('/'));
    for (const std::string& path :
         {dir + "/samples/speech.wav", prefix + "/share/codec_tarnel/speech.wav"})
        if (::access(path.c_str(), R_OK) == 0) return path;
    return "";
}

struct speed_figures {
    int threads = 1;
    // µs per 10 ms frame of one channel, over a whole run: fastest, median and slowest run.
    double us_fastest = 0;
    double us_median = 0;
    double us_slowest = 0;
    // µs per 10 ms of single steps, over every run and thread.
    double frame_p99 = 0;
    double frame_max = 0;
    double realtime = 0;  // audio seconds coded per second by the median run, all threads together
    long channels = 0;    // simultaneous real-time channels
};

speed_figures speed_of(std::vector<double> run_seconds, const frame_times& frames,
                       const bench_input& in, int threads) {
    std::sort(run_seconds.begin(), run_seconds.end());
    const size_t n = run_seconds.size();
    const double median =
        n % 2 ? run_seconds[n / 2] : (run_seconds[n / 2 - 1] + run_seconds[n / 2]) / 2;
    auto per_frame = [&](double seconds) {
        return std::max(seconds, 1e-9) * 1e6 / static_cast<double>(in.frames);
    };
    speed_figures s;
    s.threads = threads;
    s.us_fastest = per_frame(run_seconds.front());
    s.us_median = per_frame(median);
    s.us_slowest = per_frame(run_seconds.back());
    s.frame_p99 = frames.percentile(0.99);
    s.frame_max = frames.max();
    s.realtime = threads * kFrameMicroseconds / s.us_median;
    s.channels = static_cast<long>(std::floor(s.realtime));
    return s;
}

speed_figures time_single(coding_pass pass, const bench_input& in, int runs) {
    pass_buffers buffers(in);
    // An untimed pass first: the first touch of the output pages and of the code would
    // otherwise be charged to the first run.
    pass(in, buffers);
    std::vector<double> times;
    frame_times frames;
    for (int r = 0; r < runs; ++r) {
        pass(in, buffers);
        times.push_back(buffers.clock.seconds());
        frames.add(buffers.clock);
    }
    return speed_of(times, frames, in, 1);
}

// All threads start together; a run lasts until the slowest finishes, which is what bounds
// how many channels the machine carries.
speed_figures time_parallel(coding_pass pass, const bench_input& in, int runs, int threads) {
    std::vector<pass_buffers> buffers;
    buffers.reserve(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t) pass(in, buffers.emplace_back(in));
    std::vector<double> times;
    frame_times frames;
    for (int r = 0; r < runs; ++r) {
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> workers;
        for (pass_buffers& b : buffers)
            workers.emplace_back([&in, &ready, &go, pass, out = &b] {
                ready.fetch_add(1);
                while (!go.load()) std::this_thread::yield();
                pass(in, *out);
            });
        while (ready.load() < threads) std::this_thread::yield();
        const double start = wall_seconds();
        go.store(true);
        for (std::thread& w : workers) w.join();
        times.push_back(wall_seconds() - start);
        for (const pass_buffers& b : buffers) frames.add(b.clock);
    }
    return speed_of(times, frames, in, threads);
}

struct path_result {
    speed_figures single;
    speed_figures parallel;
};

struct direction_result {
    const char* translator;
    int state_bytes;           // the translator's private area, from its descriptor
    int output_buffer_bytes;   // the host's output buffer per instance, from the descriptor
    size_t codec_state_bytes;  // the codec state alone, for the direct path
    path_result codec;
    path_result module;
};

std::string json_speed(const speed_figures& s, bool parallel) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "{\"threads\": %d, \"us_per_frame\": %.3f, \"us_per_frame_fastest\": %.3f, "
                  "\"us_per_frame_slowest\": %.3f, \"frame_us_p99\": %.3f, \"frame_us_max\": %.3f, "
                  "\"realtime\": %.1f, \"%s\": %ld}",
                  s.threads, s.us_median, s.us_fastest, s.us_slowest, s.frame_p99, s.frame_max,
                  s.realtime, parallel ? "channels" : "channels_per_core", s.channels);
    return buf;
}

std::string json_direction(const direction_result& d) {
    char head[256];
    std::snprintf(head, sizeof head,
                  "{\"translator\": \"%s\", \"state_bytes\": %d, \"output_buffer_bytes\": %d, "
                  "\"codec_state_bytes\": %zu, ",
                  d.translator, d.state_bytes, d.output_buffer_bytes, d.codec_state_bytes);
    return std::string(head) + "\"codec\": {\"single\": " + json_speed(d.codec.single, false) +
           ", \"parallel\": " + json_speed(d.codec.parallel, true) +
           "}, \"module\": {\"single\": " + json_speed(d.module.single, false) +
           ", \"parallel\": " + json_speed(d.module.parallel, true) + "}}";
}

std::string text_direction(const char* title, const direction_result& d) {
    // Widths in bytes: "µ" and "×" take two bytes for one column.
    char header[512];
    std::snprintf(header, sizeof header,
                  "%-21s %27s %18s\n"
                  "%21s %8s %8s %8s %8s %8s %12s %9s\n",
                  title, "µs per frame, by run", "µs, one frame", "threads", "fastest", "median",
                  "slowest", "p99", "max", "× real time", "channels");
    std::string text = header;
    auto row = [&](const char* path, const speed_figures& s, bool parallel) {
        char buf[256];
        std::snprintf(buf, sizeof buf, "  %-9s %9d %8.2f %8.2f %8.2f %8.2f %8.2f %11.1f %9ld %s\n",
                      path, s.threads, s.us_fastest, s.us_median, s.us_slowest, s.frame_p99,
                      s.frame_max, s.realtime, s.channels, parallel ? "in all" : "per core");
        text += buf;
    };
    row("codec API", d.codec.single, false);
    row("codec API", d.codec.parallel, true);
    row("module", d.module.single, false);
    row("module", d.module.parallel, true);
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "  state per channel: %d bytes (%s private area) + %d bytes host output "
                  "buffer; codec state alone %zu bytes\n",
                  d.state_bytes, d.translator, d.output_buffer_bytes, d.codec_state_bytes);
    return text + buf;
}

int run_bench(context& ctx, const std::vector<std::string>& args) {
    arg_parser parser(ctx, "bench");
    bool json = false;
    std::string input_path, seconds_text = "20", runs_text = "5", threads_text;
    parser.flag("--json", &json);
    parser.value("--input", &input_path);
    parser.value("--seconds", &seconds_text);
    parser.value("--runs", &runs_text);
    parser.value("--threads", &threads_text);
    std::vector<std::string> operands;
    if (!parser.parse(args, &operands)) return kExitUsage;
    if (!operands.empty()) return parser.usage_error("unexpected argument '" + operands[0] + "'");
    double seconds = 0;
    if (!parse_number(seconds_text, 0.01, 3600, &seconds))
        return parser.usage_error("--seconds needs a number from 0.01 to 3600, not '" +
                                  seconds_text + "'");
    long runs = 0;
    if (!parse_int(runs_text, 1, 1000, &runs))
        return parser.usage_error("--runs needs a whole number from 1 to 1000, not '" + runs_text +
                                  "'");
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    long threads = cores;
    if (!threads_text.empty() && !parse_int(threads_text, 1, 1024, &threads))
        return parser.usage_error("--threads needs a whole number from 1 to 1024, not '" +
                                  threads_text + "'");

    if (input_path.empty()) input_path = bundled_speech();
    if (input_path.empty()) {
        report_error(ctx.io.err,
                     "bench: no recording to code: the bundled speech sample is neither "
                     "in samples/ beside this program nor in ../share/codec_tarnel/ "
                     "(name one with --input FILE)");
        return kExitFailure;
    }
    const media::pcm_result pcm = media::read_pcm(input_path, false);
    if (!pcm.ok()) {
        report_error(ctx.io.err, pcm.error + " (name another recording with --input FILE)");
        return kExitFailure;
    }

    bench_input in;
    const size_t wanted = static_cast<size_t>(std::ceil(seconds * kSampleRate));
    while (in.pcm.size() < wanted)
        in.pcm.insert(in.pcm.end(), pcm.samples.begin(), pcm.samples.end());
    in.pcm.resize((wanted + kFrame - 1) / kFrame * kFrame, 0);
    in.frames = in.pcm.size() / kFrame;
    pass_buffers reference(in), through_module(in);
    encode_with_codec(in, reference);
    in.bits = reference.bits;

    auto session = load_module(ctx);
    if (!session) return kExitFailure;

    // The module path must compute exactly what the codec computes, or its timing means nothing.
    encode_with_module(in, through_module);
    const bool encoder_differs = through_module.bits != in.bits;
    if (!encoder_differs) {
        decode_with_codec(in, reference);
        decode_with_module(in, through_module);
    }
    if (encoder_differs || through_module.pcm != reference.pcm) {
        const std::string why = session->log().take();
        report_error(ctx.io.err, std::string("bench: the module's ") +
                                     (encoder_differs ? "encoder" : "decoder") +
                                     " output differs from the codec's" +
                                     (why.empty() ? "" : ": " + why));
        return kExitFailure;
    }

    // Taken before the runs, which would otherwise count themselves.
    double load = 0;
    char load_text[32] = "";
    if (getloadavg(&load, 1) == 1) std::snprintf(load_text, sizeof load_text, "%.2f", load);

    auto measure = [&](coding_pass pass) {
        path_result r;
        r.single = time_single(pass, in, static_cast<int>(runs));
        r.parallel = time_parallel(pass, in, static_cast<int>(runs), static_cast<int>(threads));
        return r;
    };
    const hvn_translator* enc = hvn_translator_find(driver::kEncoderTranslator);
    const hvn_translator* dec = hvn_translator_find(driver::kDecoderTranslator);
    direction_result encode{driver::kEncoderTranslator,
                            enc->desc_size,
                            enc->buf_size,
                            sizeof(g729_encoder_state),
                            measure(encode_with_codec),
                            measure(encode_with_module)};
    direction_result decode{driver::kDecoderTranslator,
                            dec->desc_size,
                            dec->buf_size,
                            sizeof(g729_decoder_state),
                            measure(decode_with_codec),
                            measure(decode_with_module)};

    const double audio_seconds = static_cast<double>(in.pcm.size()) / kSampleRate;
    std::string text;
    if (json) {
        char head[320];
        std::snprintf(head, sizeof head,
                      "\"audio_seconds\": %.2f, \"frames\": %zu, \"runs\": %ld, \"threads\": %ld, "
                      "\"cores\": %d, \"load_average\": %s, ",
                      audio_seconds, in.frames, runs, threads, cores,
                      *load_text ? load_text : "null");
        text = "{\"input\": " + json_string(input_path) + ", " + head +
               "\"encode\": " + json_direction(encode) + ", \"decode\": " + json_direction(decode) +
               "}\n";
    } else {
        char head[512];
        std::snprintf(head, sizeof head,
                      "%s looped or cut to %.2f s (%zu frames of 10 ms); %ld run%s of each; %ld "
                      "thread%s on %d core%s; load average %s\n\n",
                      input_path.c_str(), audio_seconds, in.frames, runs, runs == 1 ? "" : "s",
                      threads, threads == 1 ? "" : "s", cores, cores == 1 ? "" : "s",
                      *load_text ? load_text : "unknown");
        text = head;
        if (*load_text && load >= cores)
            text +=
                "The machine was busy: other work shared the cores, so the slowest runs and "
                "frames include waits for it.\n\n";
        text += text_direction("Encoder", encode) + "\n" + text_direction("Decoder", decode);
    }
    write_text(ctx.io.out, text);
    return kExitOk;
}

}  // namespace

const subcommand kBenchCommand{
    "bench", "measure coding speed and its steadiness, channels per core and memory per channel",
    kHelp, run_bench};

}  // namespace tarnel::tool
