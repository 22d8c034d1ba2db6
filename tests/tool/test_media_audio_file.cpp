// Audio files: WAV and headerless samples written and read back, files from another writer,
// and every way an input can be refused, each with a one-line error.
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "media/audio_file.h"
#include "media/byte_order.h"
#include "support/tarnel_run.h"

using namespace tarnel::media;
using tarnel::test::contains;
using tarnel::test::read_file;
using tarnel::test::write_file;

namespace {

// Every 16-bit value is reached in a few thousand samples, both extremes first.
std::vector<int16_t> ramp(size_t n) {
    std::vector<int16_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<int16_t>(static_cast<uint16_t>((i * 2654435761u) >> 13));
    out[0] = -32768;
    if (n > 1) out[1] = 32767;
    return out;
}

std::string image(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class AudioFile : public tarnel::test::scratch_test {
protected:
    // A file written by libsndfile itself, so the reader is checked against an independent writer.
    void make_audio(const std::string& name, int rate, int channels, int format, size_t frames) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* sf = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(nullptr, sf) << sf_strerror(nullptr);
        // Float files hold samples in [-1, 1), as every other writer makes them.
        sf_command(sf, SFC_SET_SCALE_INT_FLOAT_WRITE, nullptr, SF_TRUE);
        const std::vector<int16_t> interleaved = ramp(frames * static_cast<size_t>(channels));
        EXPECT_EQ(sf_count_t(frames), sf_writef_short(sf, interleaved.data(), sf_count_t(frames)));
        ASSERT_EQ(0, sf_close(sf));
    }
    // The error reading `name` gives: one line, and no samples with it.
    std::string error_of(const std::string& name, bool raw = false) {
        const pcm_result r = read_pcm(path(name), raw);
        EXPECT_TRUE(r.samples.empty()) << name;
        EXPECT_FALSE(contains(r.error, "\n")) << r.error;
        return r.error;
    }
};

}  // namespace

TEST_F(AudioFile, WavAndHeaderlessSamplesRoundTripEveryValue) {
    const std::vector<int16_t> samples = ramp(12345);
    ASSERT_TRUE(write_pcm(path("a.wav"), samples, false).ok());
    EXPECT_EQ(samples, read_pcm(path("a.wav"), false).samples);
    EXPECT_EQ(44u + 2 * samples.size(), std::filesystem::file_size(path("a.wav")));
    // Headerless: with the flag, or by the name in any case; a WAV read as raw keeps its header.
    ASSERT_TRUE(write_pcm(path("a.pcm"), {0x1234, -2, 32767, -32768}, true).ok());
    EXPECT_EQ(std::string("\x34\x12\xFE\xFF\xFF\x7F\x00\x80", 8), read_file(path("a.pcm")));
    EXPECT_EQ((std::vector<int16_t>{0x1234, -2, 32767, -32768}),
              read_pcm(path("a.pcm"), true).samples);
    ASSERT_TRUE(write_pcm(path("b.RAW"), samples, false).ok());
    EXPECT_EQ(2 * samples.size(), std::filesystem::file_size(path("b.RAW")));
    EXPECT_EQ(samples, read_pcm(path("b.RAW"), false).samples);
    EXPECT_EQ(samples.size() + 22, read_pcm(path("a.wav"), true).samples.size());
    EXPECT_FALSE(names_raw_file("raw"));
    EXPECT_EQ((std::vector<std::string>{"a.pcm", "a.wav", "b.RAW"}), entries());
}

TEST_F(AudioFile, WrittenWavIsCanonicalEightKilohertzMonoPcm16) {
    const std::string header = std::string(
                                   "RIFF\x2C\x06\0\0WAVEfmt "
                                   "\x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\x80\x3E\0\0\x02\0\x10\0data",
                                   40) +
                               std::string("\x08\x06\0\0", 4);
    EXPECT_EQ(header, image(wav_image(ramp(772))).substr(0, 44));
    ASSERT_TRUE(write_pcm(path("a.wav"), ramp(800), false).ok());
    SF_INFO info{};
    SNDFILE* sf = sf_open(path("a.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(nullptr, sf);
    std::vector<int16_t> got(800);
    EXPECT_EQ(800, sf_readf_short(sf, got.data(), 800));
    EXPECT_EQ(ramp(800), got);
    sf_close(sf);
}

TEST_F(AudioFile, EverySampleEncodingAtEightKilohertzMonoIsRead) {
    // An odd number of samples, which a file of 8-bit, 24-bit, mu-law or A-law samples holds in
    // an odd number of bytes. What libsndfile itself reads back as 16-bit is the reference, but
    // for float samples, which it would read unscaled: those were written from the ramp exactly.
    const int formats[] = {SF_FORMAT_WAV | SF_FORMAT_PCM_U8,  SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                           SF_FORMAT_WAV | SF_FORMAT_PCM_24,  SF_FORMAT_WAV | SF_FORMAT_PCM_32,
                           SF_FORMAT_WAV | SF_FORMAT_FLOAT,   SF_FORMAT_WAV | SF_FORMAT_DOUBLE,
                           SF_FORMAT_WAV | SF_FORMAT_ULAW,    SF_FORMAT_WAV | SF_FORMAT_ALAW,
                           SF_FORMAT_AIFF | SF_FORMAT_PCM_24, SF_FORMAT_AU | SF_FORMAT_ULAW,
                           SF_FORMAT_FLAC | SF_FORMAT_PCM_24, SF_FORMAT_CAF | SF_FORMAT_ALAW};
    for (int format : formats) {
        SCOPED_TRACE(format);
        make_audio("in.snd", 8000, 1, format, 1001);
        SF_INFO info{};
        SNDFILE* sf = sf_open(path("in.snd").c_str(), SFM_READ, &info);
        ASSERT_NE(nullptr, sf);
        std::vector<int16_t> expected(1001);
        EXPECT_EQ(1001, sf_readf_short(sf, expected.data(), 1001));
        sf_close(sf);
        if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT ||
            (format & SF_FORMAT_SUBMASK) == SF_FORMAT_DOUBLE)
            expected = ramp(1001);
        const pcm_result r = read_pcm(path("in.snd"), false);
        EXPECT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(expected, r.samples);
    }
}

TEST_F(AudioFile, FinerSamplesAreRoundedToTheNearestAndSaturated) {
    // 24-bit values in units of 1/256 of a 16-bit step, and floats in units of full scale.
    const struct {
        int format;
        std::vector<double> written;
        std::vector<int16_t> read;
    } cases[] = {
        {SF_FORMAT_PCM_24,
         {0x17F, 0x180, 0x280, -0x180, 0x7FFF7F, 0x7FFFFF, -0x800000},
         {1, 2, 2, -2, 32767, 32767, -32768}},
        {SF_FORMAT_FLOAT,
         {0.25, 1.5 / 32768, -1.0, -2.0, 1.5, std::nan("")},
         {8192, 2, -32768, -32768, 32767, 0}},
    };
    for (const auto& c : cases) {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | c.format;
        SNDFILE* sf = sf_open(path("fine.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(nullptr, sf);
        for (double v : c.written) {
            if (c.format == SF_FORMAT_FLOAT) {
                const float f = static_cast<float>(v);
                sf_writef_float(sf, &f, 1);
            } else {
                const int i = static_cast<int>(v * 256);  // left-justified in 32 bits
                sf_writef_int(sf, &i, 1);
            }
        }
        sf_close(sf);
        EXPECT_EQ(c.read, read_pcm(path("fine.wav"), false).samples) << c.format;
    }
}

TEST_F(AudioFile, OnlyOtherRatesAndChannelCountsAreRefusedWithAConversionHint) {
    make_audio("my speech.wav", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2000);
    EXPECT_EQ(path("my speech.wav") +
                  ": 44100 Hz, 2 channels; tarnel needs 8000 Hz mono "
                  "(convert with: sox '" +
                  path("my speech.wav") + "' -r 8000 -c 1 -b 16 out.wav)",
              error_of("my speech.wav"));
    const struct {
        int rate, channels, format;
        const char* says;
    } cases[] = {{16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ": 16000 Hz, 1 channel; "},
                 {8000, 2, SF_FORMAT_WAV | SF_FORMAT_ULAW, ": 8000 Hz, 2 channels; "},
                 {11025, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, ": 11025 Hz, 1 channel; "}};
    for (const auto& c : cases) {
        make_audio("in.wav", c.rate, c.channels, c.format, 1000);
        const std::string error = error_of("in.wav");
        EXPECT_TRUE(contains(error, c.says)) << error;
        EXPECT_TRUE(contains(error, "(convert with: sox " + path("in.wav") + " -r 8000")) << error;
    }
}

TEST_F(AudioFile, DamagedMissingAndEmptyInputsAreOneLineErrors) {
    ASSERT_TRUE(write_pcm(path("whole.wav"), ramp(1000), false).ok());
    const std::string whole = read_file(path("whole.wav"));
    // 1001 samples of 3 bytes: sizes count samples, not 16-bit words.
    make_audio("w24.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1001);
    const std::string w24 = read_file(path("w24.wav"));
    const size_t size_at = w24.find("data") + 4;
    std::string odd24 = w24.substr(0, w24.size() - 1);
    put_le32(reinterpret_cast<uint8_t*>(&odd24[size_at]), 3002);
    const struct {
        const char* name;
        std::string content;  // written unless the name is "missing"
        std::string says;     // the whole error after "<path>: ", or a part of it with a '*' first
    } cases[] = {
        {"missing.wav", "", "no such file"},
        {"empty.wav", "", "empty file"},
        {"empty.raw", "", "empty file"},
        {"cut.wav", whole.substr(0, whole.size() - 100),
         "truncated (the header announces 1000 samples, the file holds 950)"},
        {"header_cut.wav", whole.substr(0, 30), "*truncated"},
        {"fmt_cut.wav", whole.substr(0, 40), "*truncated"},
        {"mid_sample.wav", whole.substr(0, 44 + 201), "*truncated"},
        {"odd.raw", "\x01\x02\x03", "*3 bytes, an odd count"},
        {"notes.wav", std::string(200, 'x'), "*not an audio file that can be read"},
        {"none.wav", image(wav_image({})), "holds no audio samples"},
        {"cut24.wav", w24.substr(0, w24.size() - 30),
         "truncated (the header announces 1001 samples, the file holds 991)"},
        {"odd24.wav", odd24, "damaged (the audio data ends in the middle of a sample)"},
    };
    for (const auto& c : cases) {
        if (c.name != std::string("missing.wav")) write_file(path(c.name), c.content);
        const std::string error = error_of(c.name);
        if (c.says[0] == '*')
            EXPECT_TRUE(contains(error, path(c.name) + ": " + c.says.substr(1))) << error;
        else
            EXPECT_EQ(path(c.name) + ": " + c.says, error);
    }
    EXPECT_TRUE(contains(error_of("."), ": is a directory, not a file"));
}

TEST_F(AudioFile, AcceptsAWavStreamedWithAPlaceholderLength) {
    // A writer that cannot seek back leaves sizes just under 2 GiB; that is not truncation.
    std::vector<uint8_t> bytes = wav_image(ramp(300));
    for (size_t at : {size_t{4}, size_t{40}}) put_le32(&bytes[at], 0x7FFFF000u);
    write_file(path("piped.wav"), image(bytes));
    const pcm_result r = read_pcm(path("piped.wav"), false);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(ramp(300), r.samples);
}

TEST_F(AudioFile, ChunksBeforeTheAudioAreSkippedWithTheirPadByte) {
    // A chunk of odd size is followed by one pad byte, which the next chunk's offset counts.
    std::vector<uint8_t> bytes = wav_image(ramp(300));
    const uint8_t list[] = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
    bytes.insert(bytes.begin() + 36, std::begin(list), std::end(list));
    put_le32(&bytes[4], static_cast<uint32_t>(bytes.size() - 8));
    write_file(path("list.wav"), image(bytes));
    const pcm_result r = read_pcm(path("list.wav"), false);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(ramp(300), r.samples);
}
