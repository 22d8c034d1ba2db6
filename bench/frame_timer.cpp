// Plain timing of whole-sample encoding and decoding, µs per 10 ms frame; also a light
// driver for callgrind. Usage: frame_timer [passes] [enc|dec|both] [plain]
// ("plain" keeps to the two-lane code even where AVX is available).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "dsp/wide_lanes.h"
#include "support/test_support.h"

using namespace tarnel;

namespace {

uint64_t fnv1a(const void* data, size_t n, uint64_t h = 1469598103934665603ull) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

double now_us() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    const int passes = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::string which = argc > 2 ? argv[2] : "both";
    if (argc > 3 && std::string(argv[3]) == "plain") set_wide_lanes_enabled(false);
    const std::vector<int16_t> pcm = tarnel::test::load_speech_sample();
    const size_t frames = pcm.size() / kFrame;
    std::vector<uint8_t> bits(frames * 10);
    std::vector<int16_t> out(frames * kFrame);

    // Best pass of each: the least disturbed by whatever else runs on the machine.
    double best_enc = 1e30, best_dec = 1e30;
    for (int p = 0; p < passes; ++p) {
        if (which != "dec" || p == 0) {
            g729_encoder_state st;
            g729_encoder_init(&st);
            const double t = now_us();
            for (size_t f = 0; f < frames; ++f) {
                int len;
                g729_encode_frame(&st, &pcm[f * kFrame], &bits[f * 10], &len);
            }
            if (which != "dec") best_enc = std::min(best_enc, (now_us() - t) / frames);
        }
        if (which != "enc") {
            g729_decoder_state st;
            g729_decoder_init(&st);
            const double t = now_us();
            for (size_t f = 0; f < frames; ++f)
                g729_decode_frame(&st, &out[f * kFrame], &bits[f * 10], 10);
            best_dec = std::min(best_dec, (now_us() - t) / frames);
        }
    }
    if (which != "dec") std::printf("encode %.3f us/frame  digest %016llx\n", best_enc,
                                    static_cast<unsigned long long>(fnv1a(bits.data(), bits.size())));
    if (which != "enc") std::printf("decode %.3f us/frame  digest %016llx\n", best_dec,
                                    static_cast<unsigned long long>(fnv1a(out.data(), out.size() * 2)));
    return 0;
}
