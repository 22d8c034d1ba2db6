// tarnel transcode: both translators in one run, and the quality of the round trip.
#include "support/tarnel_run.h"

using namespace tarnel::test;

class TarnelTranscode : public scratch_test {};

TEST_F(TarnelTranscode, RoundTripOfTheBundledSpeechIsTheCodecsWithItsQuality) {
    const run_result r = run_tool({"transcode", kSpeech, path("speech.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The figures the README quotes. A round trip with one stage deliberately broken measured
    // 2.87 dB / 11.94 dB at best (one frame in ten silenced); an input compared with itself
    // 35 dB / 0 dB.
    EXPECT_TRUE(contains(r.out, "transcoded " + kSpeech + " -> " + path("speech.wav") +
                                ": 20.30 s of audio, 2031 frames\n"
                                "segmental SNR:          3.27 dB\n"
                                "log-spectral distance:  11.20 dB\n"
                                "codec delay:            40 samples\n"
                                "time taken:             ")) << r.out;
    EXPECT_TRUE(contains(r.out, " times real time\n")) << r.out;
    EXPECT_EQ(wav_samples(path("speech.wav")), round_trip(tarnel::test::load_speech_sample()));
}

TEST_F(TarnelTranscode, ReportMovesToStandardErrorWhenTheAudioTakesStandardOutput) {
    samples speech = tarnel::test::load_speech_sample();
    speech.resize(8000);
    write_file(path("in.raw"), as_string(tarnel::media::pcm_image(speech)));
    const run_result r = run_tool({"transcode", path("in.raw"), "-"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "segmental SNR")) << r.err;
    EXPECT_EQ(as_bytes(r.out), tarnel::media::wav_image(round_trip(speech)));

    const run_result raw = run_tool({"transcode", "--raw", path("in.raw"), "-"});
    ASSERT_EQ(raw.code, 0) << raw.err;
    EXPECT_EQ(as_bytes(raw.out), tarnel::media::pcm_image(round_trip(speech)));
}
