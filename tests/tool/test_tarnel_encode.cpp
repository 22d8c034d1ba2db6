// tarnel encode: audio through the module's encoder translator, bit for bit what the codec makes.
#include <cmath>
#include <cstring>

#include "support/tarnel_run.h"

using namespace tarnel::test;

class TarnelEncode : public scratch_test {};

TEST_F(TarnelEncode, SpeechEncodesToTheCodecsOwnBitsInAnyHostFrameLength) {
    const run_result r = run_tool({"encode", kSpeech, path("20.g729")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const bytes expected = codec_encode(tarnel::test::load_speech_sample());
    EXPECT_EQ(as_bytes(read_file(path("20.g729"))), expected);
    // One summary line with the counts.
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, "encoded " + kSpeech + " -> " + path("20.g729") +
                                    ": 2031 frames, "
                                    "20.30 s of audio, 20310 bytes, CPU "))
        << r.err;
    // The translator buffers whatever it is handed into 10 ms blocks, so any framing of the
    // same samples must give the same stream.
    for (const char* ms : {"1", "7", "30", "1000"}) {
        const std::string out = path(std::string(ms) + ".g729");
        const run_result framed = run_tool({"encode", "--frame-ms", ms, kSpeech, out, "--quiet"});
        ASSERT_EQ(framed.code, 0) << ms << ": " << framed.err;
        EXPECT_EQ(framed.err, "");
        EXPECT_EQ(as_bytes(read_file(out)), expected) << "--frame-ms " << ms;
    }
}

TEST_F(TarnelEncode, PartialLastBlockIsPaddedWithZeros) {
    samples pcm(250);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::lround(3000 * std::sin(0.07 * i)));
    write_file(path("short.raw"), as_string(tarnel::media::pcm_image(pcm)));
    const run_result r = run_tool({"encode", path("short.raw"), path("short.g729")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(as_bytes(read_file(path("short.g729"))), codec_encode(pcm));  // 40 bytes
    EXPECT_EQ(count_lines(r.err), 1u);
    EXPECT_TRUE(
        contains(r.err, "; the last 10 samples were padded with 70 zeros to a whole frame\n"))
        << r.err;

    // A whole number of frames needs no padding, and the summary says nothing about it.
    pcm.resize(240);
    write_file(path("whole.bin"), as_string(tarnel::media::pcm_image(pcm)));
    const run_result whole = run_tool({"encode", "--raw", path("whole.bin"), path("whole.g729")});
    ASSERT_EQ(whole.code, 0) << whole.err;
    EXPECT_EQ(as_bytes(read_file(path("whole.g729"))), codec_encode(pcm));
    EXPECT_FALSE(contains(whole.err, "padded")) << whole.err;
}

TEST_F(TarnelEncode, AudioTheCodecCannotTakeIsRefusedAndNothingIsWritten) {
    // A WAV of 44.1 kHz: the reader's one-line refusal with its conversion hint.
    std::string wav = as_string(tarnel::media::wav_image(samples(4410, 100)));
    wav.replace(24, 4, std::string("\x44\xAC\0\0", 4));
    write_file(path("cd.wav"), wav);
    const run_result r = run_tool({"encode", path("cd.wav"), path("out.g729")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, "tarnel: " + path("cd.wav") +
                                    ": 44100 Hz, 1 channel; tarnel needs "
                                    "8000 Hz mono (convert with: sox "))
        << r.err;
    EXPECT_EQ(entries(), std::vector<std::string>{"cd.wav"});
}

TEST_F(TarnelEncode, AnOutputNamedLikeAudioIsRefusedWithAG729Name) {
    const struct {
        std::string out, suggested;
    } cases[] = {{"speech.wav", "speech.g729"},
                 {"Speech.FLAC", "Speech.g729"},
                 {"a.b/take.mp3", "a.b/take.g729"},
                 {"speech.raw", "speech.g729"}};
    for (const auto& c : cases) {
        const run_result r = run_tool({"encode", kSpeech, path(c.out)});
        EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
        EXPECT_TRUE(contains(r.err, path(c.out) +
                                        " is named like an audio file, but encode writes "
                                        "G.729 frames: name it " +
                                        path(c.suggested)))
            << r.err;
    }
    EXPECT_TRUE(entries().empty());
}

TEST_F(TarnelEncode, FilesSoxWritesInAnyEncodingAreCodedAsSoxReadsThemBack) {
    if (run_shell("command -v sox", dir_).code != 0) GTEST_SKIP() << "sox is not installed";
    // An odd number of samples, so that 8-bit, 24-bit, mu-law and A-law data is an odd number
    // of bytes; sox's own 16-bit reading of each file is what the codec must be handed.
    samples speech = tarnel::test::load_speech_sample();
    speech.resize(8001);
    write_file(path("base.raw"), as_string(tarnel::media::pcm_image(speech)));
    const struct {
        const char* file;
        const char* sox_options;
    } cases[] = {{"u8.wav", "-b 8 -e unsigned"}, {"mulaw.wav", "-e mu-law"},
                 {"alaw.wav", "-e a-law"},       {"s24.wav", "-b 24"},
                 {"f32.wav", "-e float -b 32"},  {"s16.aiff", "-b 16"},
                 {"mulaw.au", "-e mu-law"},      {"s24.flac", "-b 24"}};
    const std::string raw_in = "sox -t raw -r 8000 -c 1 -e signed -b 16 ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const run_result made = run_shell(raw_in + "base.raw " + c.sox_options + " " + c.file +
                                              " && sox -D " + c.file + " -t raw -e signed -b 16 -",
                                          dir_);
        ASSERT_EQ(made.code, 0) << made.err;
        samples expected(made.out.size() / 2);
        std::memcpy(expected.data(), made.out.data(), expected.size() * 2);
        ASSERT_EQ(expected.size(), speech.size());
        const run_result r = run_tool({"encode", "-q", path(c.file), path("out.g729")});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(as_bytes(read_file(path("out.g729"))), codec_encode(expected));
    }
    // Through a pipe, from a WAV whose length sox cannot know when it writes the header.
    const run_result piped =
        run_shell("cat base.raw | " + raw_in + "- -t wav - | @T encode -q - -", dir_);
    ASSERT_EQ(piped.code, 0) << piped.err;
    EXPECT_EQ(as_bytes(piped.out), codec_encode(speech));
}
