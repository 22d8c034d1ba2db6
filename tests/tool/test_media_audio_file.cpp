// Audio files: WAV and headerless samples written and read back, files from another writer,
// and every way an input can be refused, each with a one-line error.
#include <sndfile.h>

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

std::string image(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

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
    EXPECT_EQ((std::vector<int16_t>{0x1234, -2, 32767, -32768}), read_pcm(path("a.pcm"), true).samples);
    ASSERT_TRUE(write_pcm(path("b.RAW"), samples, false).ok());
    EXPECT_EQ(2 * samples.size(), std::filesystem::file_size(path("b.RAW")));
    EXPECT_EQ(samples, read_pcm(path("b.RAW"), false).samples);
    EXPECT_EQ(samples.size() + 22, read_pcm(path("a.wav"), true).samples.size());
    EXPECT_FALSE(names_raw_file("raw"));
    EXPECT_EQ((std::vector<std::string>{"a.pcm", "a.wav", "b.RAW"}), entries());
}

TEST_F(AudioFile, WrittenWavIsCanonicalEightKilohertzMonoPcm16) {
    const std::string header =
        std::string("RIFF\x2C\x06\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\x80\x3E\0\0\x02\0\x10\0data", 40) +
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

TEST_F(AudioFile, ReadsPcm16FilesFromAnotherWriter) {
    make_audio("in.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1000);
    make_audio("in.aiff", 8000, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1000);
    for (const char* name : {"in.wav", "in.aiff"}) EXPECT_EQ(ramp(1000), read_pcm(path(name), false).samples) << name;
}

TEST_F(AudioFile, OtherRatesChannelsAndSampleFormatsAreRefusedWithAConversionHint) {
    make_audio("my speech.wav", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2000);
    EXPECT_EQ(path("my speech.wav") + ": 44100 Hz, 2 channels; tarnel needs 8000 Hz mono 16-bit "
              "(convert with: sox '" + path("my speech.wav") + "' -r 8000 -c 1 -b 16 out.wav)",
              error_of("my speech.wav"));
    const struct {
        int rate, channels, format;
        const char* says;
    } cases[] = {{16000, 1, SF_FORMAT_PCM_16, ": 16000 Hz, 1 channel; "},
                 {8000, 2, SF_FORMAT_PCM_16, ": 8000 Hz, 2 channels; "},
                 {8000, 1, SF_FORMAT_FLOAT, "1 channel, 32-bit float samples; "},
                 {8000, 1, SF_FORMAT_PCM_U8, "1 channel, 8-bit samples; "},
                 {8000, 1, SF_FORMAT_PCM_24, "1 channel, 24-bit samples; "}};
    for (const auto& c : cases) {
        make_audio("in.wav", c.rate, c.channels, SF_FORMAT_WAV | c.format, 1000);
        const std::string error = error_of("in.wav");
        EXPECT_TRUE(contains(error, c.says)) << error;
        EXPECT_TRUE(contains(error, "(convert with: sox " + path("in.wav") + " -r 8000")) << error;
    }
}

TEST_F(AudioFile, DamagedMissingAndEmptyInputsAreOneLineErrors) {
    ASSERT_TRUE(write_pcm(path("whole.wav"), ramp(1000), false).ok());
    const std::string whole = read_file(path("whole.wav"));
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
