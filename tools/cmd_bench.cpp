// tarnel bench: how fast the codec runs, by itself and inside the module through the host, on
// one core and on all of them, and what that means in simultaneous channels.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
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
    "Encodes and decodes the bundled speech sample, looped to 20 s, through the\n"
    "codec's own functions and through the module's translators in the stand-in host, on one\n"
    "thread and on one thread per core (each thread with its own codec state, as each call\n"
    "leg has). For each direction prints the median time per 10 ms frame, the speed as a\n"
    "multiple of real time, how many simultaneous channels that sustains, and the memory each\n"
    "channel's translator instance takes.\n"
    "\n"
    "Options:\n"
    "  --input FILE    8000 Hz mono 16-bit audio to code instead of the bundled sample\n"
    "  --seconds N     seconds of audio to code, the input looped or cut (default 20)\n"
    "  --runs N        timed runs per measurement; the median is reported (default 5)\n"
    "  --threads N     threads for the all-cores measurement (default: one per core)\n"
    "  --json          print the results as one JSON object\n"
    "  --module PATH   the module to load (default: codec_tarnel.so beside this program)\n"
    "  -h, --help      show this help\n";

constexpr double kFrameMicroseconds = 1e6 * kFrame / kSampleRate;  // 10 ms

struct bench_input {
    std::vector<int16_t> pcm;   // whole frames
    std::vector<uint8_t> bits;  // the same audio coded, for the decoder
    size_t frames = 0;
};

// One pass over the whole input with fresh state. Each pass writes into its own preallocated
// buffer so that no allocation is timed.
using coding_pass =
    std::function<void(const bench_input&, std::vector<uint8_t>&, std::vector<int16_t>&)>;

void encode_with_codec(const bench_input& in, std::vector<uint8_t>& bits, std::vector<int16_t>&) {
    g729_encoder_state st;
    g729_encoder_init(&st);
    bits.resize(in.frames * kSpeechFrameBytes);
    for (size_t f = 0; f < in.frames; ++f) {
        int len = 0;
        g729_encode_frame(&st, in.pcm.data() + f * kFrame, bits.data() + f * kSpeechFrameBytes,
                          &len);
    }
}

void decode_with_codec(const bench_input& in, std::vector<uint8_t>&, std::vector<int16_t>& pcm) {
    g729_decoder_state st;
    g729_decoder_init(&st);
    pcm.resize(in.frames * kFrame);
    for (size_t f = 0; f < in.frames; ++f)
        g729_decode_frame(&st, pcm.data() + f * kFrame, in.bits.data() + f * kSpeechFrameBytes,
                          kSpeechFrameBytes);
}

void encode_with_module(const bench_input& in, std::vector<uint8_t>& bits, std::vector<int16_t>&) {
    std::string error;
    auto encoder = driver::translator_instance::create(driver::kEncoderTranslator, &error);
    bits.clear();
    if (!encoder) return;  // the output check below reports the difference
    for (size_t pos = 0; pos < in.pcm.size(); pos += driver::kHostFrameSamples) {
        const size_t n = std::min<size_t>(driver::kHostFrameSamples, in.pcm.size() - pos);
        encoder->encode(in.pcm.data() + pos, static_cast<int>(n), &bits);
    }
}

void decode_with_module(const bench_input& in, std::vector<uint8_t>&, std::vector<int16_t>& pcm) {
    std::string error;
    auto decoder = driver::translator_instance::create(driver::kDecoderTranslator, &error);
    pcm.clear();
    if (!decoder) return;
    const size_t host_frame_bytes = driver::kHostFrameSamples / kFrame * kSpeechFrameBytes;
    for (size_t pos = 0; pos < in.bits.size(); pos += host_frame_bytes)
        decoder->decode(in.bits.data() + pos, std::min(host_frame_bytes, in.bits.size() - pos), &pcm);
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct speed_figures {
    int threads = 1;
    double us_per_frame = 0;  // per thread: the time one channel's frame takes
    double realtime = 0;      // audio seconds coded per second, all threads together
    long channels = 0;        // simultaneous real-time channels
};

speed_figures speed_of(double seconds_per_pass, size_t frames, int threads) {
    speed_figures s;
    s.threads = threads;
    s.us_per_frame = std::max(seconds_per_pass, 1e-9) * 1e6 / static_cast<double>(frames);
    s.realtime = threads * kFrameMicroseconds / s.us_per_frame;
    s.channels = static_cast<long>(std::floor(s.realtime));
    return s;
}

speed_figures time_single(const coding_pass& pass, const bench_input& in, int runs) {
    std::vector<uint8_t> bits;
    std::vector<int16_t> pcm;
    bits.reserve(in.frames * kSpeechFrameBytes);
    pcm.reserve(in.frames * kFrame);
    // An untimed pass first: the first touch of the output pages and of the code would
    // otherwise be charged to the first run.
    pass(in, bits, pcm);
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const double start = wall_seconds();
        pass(in, bits, pcm);
        times.push_back(wall_seconds() - start);
    }
    return speed_of(median(times), in.frames, 1);
}

// All threads start together; a run lasts until the slowest finishes, which is what bounds
// how many channels the machine carries.
speed_figures time_parallel(const coding_pass& pass, const bench_input& in, int runs, int threads) {
    std::vector<std::vector<uint8_t>> bits(static_cast<size_t>(threads));
    std::vector<std::vector<int16_t>> pcm(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t) {
        bits[static_cast<size_t>(t)].reserve(in.frames * kSpeechFrameBytes);
        pcm[static_cast<size_t>(t)].reserve(in.frames * kFrame);
        pass(in, bits[static_cast<size_t>(t)], pcm[static_cast<size_t>(t)]);
    }
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                ready.fetch_add(1);
                while (!go.load()) std::this_thread::yield();
                pass(in, bits[static_cast<size_t>(t)], pcm[static_cast<size_t>(t)]);
            });
        while (ready.load() < threads) std::this_thread::yield();
        const double start = wall_seconds();
        go.store(true);
        for (std::thread& w : workers) w.join();
        times.push_back(wall_seconds() - start);
    }
    return speed_of(median(times), in.frames, threads);
}

struct path_result {
    speed_figures single;
    speed_figures parallel;
};

struct direction_result {
    const char* translator;
    int state_bytes;          // the translator's private area, from its descriptor
    int output_buffer_bytes;  // the host's output buffer per instance, from the descriptor
    size_t codec_state_bytes; // the codec state alone, for the direct path
    path_result codec;
    path_result module;
};

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_speed(const speed_figures& s, bool parallel) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"threads\": %d, \"us_per_frame\": %.3f, \"realtime\": %.1f, \"%s\": %ld}",
                  s.threads, s.us_per_frame, s.realtime, parallel ? "channels" : "channels_per_core",
                  s.channels);
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
    char header[128];
    // Widths in bytes: "µs" and "×" take two bytes for one column.
    std::snprintf(header, sizeof header, "%-23s %11s %14s %10s\n", title, "µs/frame", "× real time",
                  "channels");
    std::string text = header;
    auto row = [&](const char* path, const speed_figures& s, bool parallel) {
        char buf[256];
        std::snprintf(buf, sizeof buf, "  %-9s %3d thread%s %10.2f %13.1f %10ld %s\n", path,
                      s.threads, s.threads == 1 ? " " : "s", s.us_per_frame, s.realtime, s.channels,
                      parallel ? "in all" : "per core");
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
        return parser.usage_error("--runs needs a whole number from 1 to 1000, not '" + runs_text + "'");
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    long threads = cores;
    if (!threads_text.empty() && !parse_int(threads_text, 1, 1024, &threads))
        return parser.usage_error("--threads needs a whole number from 1 to 1024, not '" +
                                  threads_text + "'");

    if (input_path.empty()) input_path = bundled_speech();
    if (input_path.empty()) {
        report_error(ctx.io.err, "bench: no recording to code: the bundled speech sample is neither "
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
    while (in.pcm.size() < wanted) in.pcm.insert(in.pcm.end(), pcm.samples.begin(), pcm.samples.end());
    in.pcm.resize((wanted + kFrame - 1) / kFrame * kFrame, 0);
    in.frames = in.pcm.size() / kFrame;
    std::vector<int16_t> unused;
    encode_with_codec(in, in.bits, unused);

    auto session = load_module(ctx);
    if (!session) return kExitFailure;

    // The module path must compute exactly what the codec computes, or its timing means nothing.
    std::vector<uint8_t> module_bits;
    std::vector<int16_t> codec_pcm, module_pcm;
    encode_with_module(in, module_bits, unused);
    decode_with_codec(in, module_bits, codec_pcm);
    decode_with_module(in, module_bits, module_pcm);
    if (module_bits != in.bits || module_pcm != codec_pcm) {
        const std::string why = session->log().take();
        report_error(ctx.io.err, std::string("bench: the module's ") +
                                     (module_bits != in.bits ? "encoder" : "decoder") +
                                     " output differs from the codec's" +
                                     (why.empty() ? "" : ": " + why));
        return kExitFailure;
    }

    auto measure = [&](const coding_pass& pass) {
        path_result r;
        r.single = time_single(pass, in, static_cast<int>(runs));
        r.parallel = time_parallel(pass, in, static_cast<int>(runs), static_cast<int>(threads));
        return r;
    };
    const hvn_translator* enc = hvn_translator_find(driver::kEncoderTranslator);
    const hvn_translator* dec = hvn_translator_find(driver::kDecoderTranslator);
    direction_result encode{driver::kEncoderTranslator, enc->desc_size, enc->buf_size,
                           sizeof(g729_encoder_state), measure(encode_with_codec),
                           measure(encode_with_module)};
    direction_result decode{driver::kDecoderTranslator, dec->desc_size, dec->buf_size,
                           sizeof(g729_decoder_state), measure(decode_with_codec),
                           measure(decode_with_module)};

    const double audio_seconds = static_cast<double>(in.pcm.size()) / kSampleRate;
    std::string text;
    if (json) {
        char head[256];
        std::snprintf(head, sizeof head,
                      "\"audio_seconds\": %.2f, \"frames\": %zu, \"runs\": %ld, \"threads\": %ld, "
                      "\"cores\": %d, ",
                      audio_seconds, in.frames, runs, threads, cores);
        text = "{\"input\": " + json_string(input_path) + ", " + head +
               "\"encode\": " + json_direction(encode) + ", \"decode\": " + json_direction(decode) +
               "}\n";
    } else {
        char head[512];
        std::snprintf(head, sizeof head,
                      "%s looped or cut to %.2f s (%zu frames of 10 ms); median of %ld run%s; %ld "
                      "thread%s on %d core%s\n\n",
                      input_path.c_str(), audio_seconds, in.frames, runs, runs == 1 ? "" : "s",
                      threads, threads == 1 ? "" : "s", cores, cores == 1 ? "" : "s");
        text = head + text_direction("Encoder", encode) + "\n" + text_direction("Decoder", decode);
    }
    write_text(ctx.io.out, text);
    return kExitOk;
}

}  // namespace

const subcommand kBenchCommand{
    "bench", "measure coding speed, channels per core and memory per channel", kHelp, run_bench};

}  // namespace tarnel::tool
