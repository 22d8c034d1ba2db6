// tarnel encode: audio through the module's encoder translator, bit for bit what the codec makes.
#include <cmath>

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
    EXPECT_TRUE(contains(r.err, "encoded " + kSpeech + " -> " + path("20.g729") + ": 2031 frames, "
                                "20.30 s of audio, 20310 bytes, CPU ")) << r.err;
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
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(std::lround(3000 * std::sin(0.07 * i)));
    write_file(path("short.raw"), as_string(tarnel::media::pcm_image(pcm)));
    const run_result r = run_tool({"encode", path("short.raw"), path("short.g729")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(as_bytes(read_file(path("short.g729"))), codec_encode(pcm));  // 40 bytes
    EXPECT_EQ(count_lines(r.err), 1u);
    EXPECT_TRUE(contains(r.err, "; the last 10 samples were padded with 70 zeros to a whole frame\n")) << r.err;

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
    EXPECT_TRUE(contains(r.err, "tarnel: " + path("cd.wav") + ": 44100 Hz, 1 channel; tarnel needs "
                                "8000 Hz mono 16-bit (convert with: sox ")) << r.err;
    EXPECT_EQ(entries(), std::vector<std::string>{"cd.wav"});
}
