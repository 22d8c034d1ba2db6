// peer_bench: this codec's speed beside the other 8 kbit/s speech codecs a Debian machine has,
// Speex narrowband and Opus restricted to SILK narrowband, on the same audio in one process.
// The codecs take turns within every repetition, so that a change in the machine's speed (a
// neighbour's load, the clock) reaches all of them alike; the medians are compared.
#include <opus/opus.h>
#include <sndfile.h>
#include <speex/speex.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "dsp/frame.h"

#ifndef TARNEL_SOURCE_DIR
#define TARNEL_SOURCE_DIR "."
#endif

namespace tarnel::bench {
namespace {

constexpr int kPeerFrame = 2 * kFrame;  // samples per 20 ms frame: Speex and Opus at 8 kHz
constexpr int kMaxPacketBytes = 256;    // far above what 8 kbit/s needs per 20 ms
constexpr int kSpeexDefault = -1;       // setting: leave the library's default complexity
constexpr int kSpeexQuality = 4;        // 8 kbit/s in narrowband
constexpr int kOpusBitrate = 8000;

// A coded stream: the packets back to back, with each one's size.
struct stream {
    std::vector<uint8_t> bytes;
    std::vector<int> sizes;
};

// The thread's own CPU time: what a channel costs, and blind to the time the thread spends
// waiting while another process has the core (on a shared machine, wall time mostly measures
// the neighbours).
struct clock_type {
    static double now() {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    }
};
double seconds_since(double start) { return clock_type::now() - start; }

// Each function creates a fresh state, codes the whole input and frees the state; only the
// coding is timed. The outputs are preallocated by the caller, so nothing allocates then.
using encode_fn = double (*)(const std::vector<int16_t>& pcm, int setting, stream* out);
using decode_fn = double (*)(const stream& in, int setting, std::vector<int16_t>* pcm);

// Codes every `frame` samples of `pcm` with `encode_one` (packet size, negative on failure) and
// returns the time taken, or -1 on failure.
template <typename F>
double timed_encode(const std::vector<int16_t>& pcm, int frame, stream* out, F encode_one) {
    uint8_t packet[kMaxPacketBytes];
    int size = 0;
    const auto start = clock_type::now();
    for (size_t i = 0; i + frame <= pcm.size() && size >= 0; i += frame) {
        size = encode_one(&pcm[i], packet);
        if (size >= 0) out->bytes.insert(out->bytes.end(), packet, packet + size);
        out->sizes.push_back(size);
    }
    const double elapsed = seconds_since(start);
    return size >= 0 ? elapsed : -1.0;
}

// Decodes every packet of `in` into the next `frame` samples of `pcm` with `decode_one`
// (false on failure) and returns the time taken, or -1 on failure.
template <typename F>
double timed_decode(const stream& in, int frame, std::vector<int16_t>* pcm, F decode_one) {
    bool ok = true;
    size_t at = 0;
    const auto start = clock_type::now();
    for (size_t p = 0; p < in.sizes.size(); ++p) {
        ok &= decode_one(&in.bytes[at], in.sizes[p], pcm->data() + p * frame);
        at += static_cast<size_t>(in.sizes[p]);
    }
    const double elapsed = seconds_since(start);
    return ok ? elapsed : -1.0;
}

double encode_ours(const std::vector<int16_t>& pcm, int, stream* out) {
    g729_encoder_state st;
    g729_encoder_init(&st);
    return timed_encode(pcm, kFrame, out, [&](const int16_t* in, uint8_t* packet) {
        int len = 0;
        return g729_encode_frame(&st, in, packet, &len) == 0 ? len : -1;
    });
}

double decode_ours(const stream& in, int, std::vector<int16_t>* pcm) {
    g729_decoder_state st;
    g729_decoder_init(&st);
    return timed_decode(in, kFrame, pcm, [&](const uint8_t* packet, int size, int16_t* out) {
        return g729_decode_frame(&st, out, packet, size) == 0;
    });
}

double encode_speex(const std::vector<int16_t>& pcm, int complexity, stream* out) {
    void* st = speex_encoder_init(&speex_nb_mode);
    int quality = kSpeexQuality;
    speex_encoder_ctl(st, SPEEX_SET_QUALITY, &quality);
    if (complexity != kSpeexDefault) speex_encoder_ctl(st, SPEEX_SET_COMPLEXITY, &complexity);
    SpeexBits bits;
    speex_bits_init(&bits);
    int16_t frame[kPeerFrame];  // the encoder may work in its input buffer
    const double elapsed =
        timed_encode(pcm, kPeerFrame, out, [&](const int16_t* in, uint8_t* packet) {
            std::memcpy(frame, in, sizeof frame);
            speex_bits_reset(&bits);
            speex_encode_int(st, frame, &bits);
            return speex_bits_write(&bits, reinterpret_cast<char*>(packet), kMaxPacketBytes);
        });
    speex_bits_destroy(&bits);
    speex_encoder_destroy(st);
    return elapsed;
}

double decode_speex(const stream& in, int, std::vector<int16_t>* pcm) {
    void* st = speex_decoder_init(&speex_nb_mode);
    SpeexBits bits;
    speex_bits_init(&bits);
    const double elapsed =
        timed_decode(in, kPeerFrame, pcm, [&](const uint8_t* packet, int size, int16_t* out) {
            speex_bits_read_from(&bits, reinterpret_cast<const char*>(packet), size);
            return speex_decode_int(st, &bits, out) == 0;
        });
    speex_bits_destroy(&bits);
    speex_decoder_destroy(st);
    return elapsed;
}

double encode_opus(const std::vector<int16_t>& pcm, int complexity, stream* out) {
    int error = 0;
    OpusEncoder* st = opus_encoder_create(kSampleRate, 1, OPUS_APPLICATION_VOIP, &error);
    if (error != OPUS_OK) return -1.0;
    opus_encoder_ctl(st, OPUS_SET_BITRATE(kOpusBitrate));
    opus_encoder_ctl(st, OPUS_SET_VBR(0));
    opus_encoder_ctl(st, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_NARROWBAND));
    opus_encoder_ctl(st, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_NARROWBAND));
    opus_encoder_ctl(st, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    opus_encoder_ctl(st, OPUS_SET_COMPLEXITY(complexity));
    const double elapsed =
        timed_encode(pcm, kPeerFrame, out, [&](const int16_t* in, uint8_t* packet) {
            return opus_encode(st, in, kPeerFrame, packet, kMaxPacketBytes);
        });
    opus_encoder_destroy(st);
    return elapsed;
}

double decode_opus(const stream& in, int, std::vector<int16_t>* pcm) {
    int error = 0;
    OpusDecoder* st = opus_decoder_create(kSampleRate, 1, &error);
    if (error != OPUS_OK) return -1.0;
    const double elapsed =
        timed_decode(in, kPeerFrame, pcm, [&](const uint8_t* packet, int size, int16_t* out) {
            return opus_decode(st, packet, size, out, kPeerFrame, 0) == kPeerFrame;
        });
    opus_decoder_destroy(st);
    return elapsed;
}

struct coder {
    std::string name;
    int setting;
    encode_fn encode;
    decode_fn decode;
    std::vector<double> encode_times{}, decode_times{};
    double kbits = 0;
    bool silk_nb = true;  // every packet's TOC says SILK narrowband (Opus only)
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string cpu_model() {
    std::ifstream f("/proc/cpuinfo");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

// The bundled sample beside the build tree the executable is in, else in the source tree.
std::string default_input() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/') + 1);
    char found[4096];
    for (const std::string& path : {dir + "../samples/speech.wav", dir + "samples/speech.wav"})
        if (access(path.c_str(), R_OK) == 0 && realpath(path.c_str(), found)) return found;
    return TARNEL_SOURCE_DIR "/samples/speech.wav";
}

// The input looped or cut to `seconds`, in whole 20 ms frames so that every codec codes the
// same audio; empty on failure, with the reason printed.
std::vector<int16_t> load_input(const std::string& path, double seconds) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        std::fprintf(stderr, "peer_bench: %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return {};
    }
    std::vector<int16_t> file(static_cast<size_t>(info.frames));
    const bool ok = info.samplerate == kSampleRate && info.channels == 1 &&
                    sf_read_short(f, file.data(), info.frames) == info.frames && !file.empty();
    sf_close(f);
    if (!ok) {
        std::fprintf(stderr, "peer_bench: %s: not 8000 Hz mono audio\n", path.c_str());
        return {};
    }
    const size_t total = static_cast<size_t>(seconds * kSampleRate) / kPeerFrame * kPeerFrame;
    std::vector<int16_t> pcm(total);
    for (size_t i = 0; i < total; ++i) pcm[i] = file[i % file.size()];
    return pcm;
}

int usage(std::FILE* to, int status) {
    std::fprintf(to,
                 "usage: peer_bench [--input FILE] [--reps N] [--seconds S]\n"
                 "Codes the input (default: the bundled speech sample, looped or cut to S\n"
                 "seconds, default 20) N times (default 15) with this codec, Speex and Opus\n"
                 "in turn, and prints the median time of each direction per 10 ms of audio.\n");
    return status;
}

}  // namespace
}  // namespace tarnel::bench

int main(int argc, char** argv) {
    using namespace tarnel::bench;
    std::string input, command = argv[0];
    int reps = 15;
    double seconds = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        command += " " + arg;
        if (arg == "-h" || arg == "--help") return usage(stdout, 0);
        if (i + 1 >= argc) return usage(stderr, 2);
        const std::string value = argv[++i];
        command += " " + value;
        if (arg == "--input")
            input = value;
        else if (arg == "--reps")
            reps = std::atoi(value.c_str());
        else if (arg == "--seconds")
            seconds = std::atof(value.c_str());
        else
            return usage(stderr, 2);
    }
    if (reps < 1 || !(seconds >= 0.02)) return usage(stderr, 2);
    if (input.empty()) input = default_input();
    const std::vector<int16_t> pcm = load_input(input, seconds);
    if (pcm.empty()) return 1;
    const double audio = static_cast<double>(pcm.size()) / tarnel::kSampleRate;

    int speex_default = 0;
    void* probe = speex_encoder_init(&speex_nb_mode);
    speex_encoder_ctl(probe, SPEEX_GET_COMPLEXITY, &speex_default);
    speex_encoder_destroy(probe);
    const char* speex_version = "";
    speex_lib_ctl(SPEEX_LIB_GET_VERSION_STRING, &speex_version);

    std::vector<coder> coders = {
        {"tarnel G.729A", 0, encode_ours, decode_ours},
        {"Speex NB q4, complexity 1", 1, encode_speex, decode_speex},
        {"Speex NB q4, complexity " + std::to_string(speex_default) + " (default)", kSpeexDefault,
         encode_speex, decode_speex},
        {"Opus SILK NB CBR, complexity 0", 0, encode_opus, decode_opus},
        {"Opus SILK NB CBR, complexity 10", 10, encode_opus, decode_opus},
    };
    stream coded;
    coded.bytes.reserve(pcm.size() / kPeerFrame * kMaxPacketBytes);
    coded.sizes.reserve(pcm.size() / tarnel::kFrame);
    std::vector<int16_t> decoded(pcm.size());
    for (int r = 0; r < reps; ++r) {
        for (coder& c : coders) {
            coded.bytes.clear();
            coded.sizes.clear();
            c.encode_times.push_back(c.encode(pcm, c.setting, &coded));
            c.decode_times.push_back(c.decode(coded, c.setting, &decoded));
            if (c.encode_times.back() < 0 || c.decode_times.back() < 0) {
                std::fprintf(stderr, "peer_bench: %s failed to code the input\n", c.name.c_str());
                return 1;
            }
            c.kbits = static_cast<double>(coded.bytes.size()) * 8 / audio / 1000;
            if (c.encode == encode_opus)
                for (size_t p = 0, at = 0; p < coded.sizes.size(); at += coded.sizes[p++])
                    c.silk_nb = c.silk_nb && coded.sizes[p] > 0 && (coded.bytes[at] >> 3) < 4;
        }
    }
    std::printf("peer_bench: %s\n", command.c_str());
    std::printf("machine:    %s, %ld cores\n", cpu_model().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("libraries:  speex %s, %s\n", speex_version, opus_get_version_string());
    std::printf("input:      %s, %.2f s coded, %d repetitions interleaved, one thread\n",
                input.c_str(), audio, reps);
    std::printf(
        "figures:    medians of thread CPU time per 10 ms of audio; ours/peer below 1 means ours "
        "is faster\n\n");
    std::printf("%-36s kbit/s  encode µs     ×RT  decode µs     ×RT  ours/peer: enc   dec\n",
                "codec");
    const double frames = audio * 100;
    const double our_enc = median(coders[0].encode_times), our_dec = median(coders[0].decode_times);
    for (const coder& c : coders) {
        const double enc = median(c.encode_times), dec = median(c.decode_times);
        std::printf("%-36s %6.2f %10.2f %7.0f %10.2f %7.0f %15.2f %5.2f%s\n", c.name.c_str(),
                    c.kbits, enc * 1e6 / frames, audio / enc, dec * 1e6 / frames, audio / dec,
                    our_enc / enc, our_dec / dec, c.silk_nb ? "" : "  (not all packets SILK NB)");
    }
    return 0;
}
