// Writes the seed corpus of fuzz_audio_file into the folder named on the command line: a short
// tone in every container and encoding that this machine's libsndfile writes at 8000 Hz mono
// (so the fuzzer starts inside each reader rather than having to find its magic bytes), and the
// files the reader must refuse: another rate, two channels, a truncated and a header-only WAV.
#include <sndfile.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dsp/frame.h"

namespace {

constexpr int kSeedSamples = 5 * tarnel::kFrame;  // long enough to hold a few coded blocks

// A rising tone, so that no encoding codes it as silence.
std::vector<short> tone(int samples, int channels) {
    std::vector<short> pcm(static_cast<size_t>(samples * channels));
    for (int i = 0; i < samples; ++i)
        for (int c = 0; c < channels; ++c)
            pcm[static_cast<size_t>(i * channels + c)] =
                static_cast<short>(8000 * std::sin(0.02 * i + 0.0004 * i * i + c));
    return pcm;
}

// True when libsndfile wrote the file; a format it lists but cannot write here is left out.
bool write_seed(const std::string& path, int format, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    if (!sf_format_check(&info)) return false;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!sf) return false;
    const std::vector<short> pcm = tone(kSeedSamples, channels);
    const bool written = sf_writef_short(sf, pcm.data(), kSeedSamples) == kSeedSamples;
    sf_close(sf);
    if (!written) std::remove(path.c_str());
    return written;
}

// "WAV (Microsoft)" and "Signed 16 bit PCM" as WAV_Microsoft and Signed_16_bit_PCM.
std::string format_name(int command, int format) {
    SF_FORMAT_INFO info{};
    info.format = format;
    sf_command(nullptr, command, &info, sizeof info);
    std::string name;
    for (const char* p = info.name; p && *p; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p)))
            name += *p;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_audio_seeds FOLDER\n");
        return 2;
    }
    const std::string dir = argv[1];
    int majors = 0, subtypes = 0, written = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subtypes, sizeof subtypes);
    for (int m = 0; m < majors; ++m) {
        SF_FORMAT_INFO major{};
        major.format = m;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major);
        if ((major.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) continue;  // nothing to recognise
        for (int s = 0; s < subtypes; ++s) {
            SF_FORMAT_INFO sub{};
            sub.format = s;
            sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &sub, sizeof sub);
            const std::string name =
                format_name(SFC_GET_FORMAT_MAJOR, m) + "-" + format_name(SFC_GET_FORMAT_SUBTYPE, s);
            written +=
                write_seed(dir + "/" + name, major.format | sub.format, tarnel::kSampleRate, 1);
        }
    }

    const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    written += write_seed(dir + "/refused-16000Hz.wav", wav, 2 * tarnel::kSampleRate, 1);
    written += write_seed(dir + "/refused-stereo.wav", wav, tarnel::kSampleRate, 2);
    if (write_seed(dir + "/speech.wav", wav, tarnel::kSampleRate, 1)) {
        std::ifstream in(dir + "/speech.wav", std::ios::binary);
        const std::string whole((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::ofstream(dir + "/refused-truncated.wav", std::ios::binary)
            << whole.substr(0, whole.size() / 2);
        std::ofstream(dir + "/refused-header-only.wav", std::ios::binary) << whole.substr(0, 44);
        written += 3;
    }
    std::printf("make_audio_seeds: %d seed files in %s\n", written, dir.c_str());
    return written > 0 ? 0 : 1;
}
