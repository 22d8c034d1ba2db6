// tarnel transcode: both translators in one run, the output lined up with the input, and the
// quality of the round trip.
#include "media/wav_format.h"
#include "support/tarnel_run.h"

using namespace tarnel::test;

namespace {

// The codec's round trip shifted back by its delay and cut to the input's length: the input
// is followed by zeros for as long as the delay holds its end back.
samples aligned_round_trip(const samples& pcm) {
    samples longer = pcm;
    longer.resize(pcm.size() + tarnel::kCodecDelay, 0);
    const samples decoded = round_trip(longer);
    return samples(decoded.begin() + tarnel::kCodecDelay,
                   decoded.begin() + tarnel::kCodecDelay + static_cast<long>(pcm.size()));
}

class TarnelTranscode : public scratch_test {};

}  // namespace

TEST_F(TarnelTranscode, RoundTripOfTheBundledSpeechIsTheCodecsWithItsQuality) {
    const run_result r = run_tool({"transcode", kSpeech, path("speech.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The figures the README quotes. A round trip with one stage deliberately broken measured
    // 2.87 dB / 11.94 dB at best (one frame in ten silenced); an input compared with itself
    // 35 dB / 0 dB.
    EXPECT_TRUE(
        contains(r.out, "transcoded " + kSpeech + " -> " + path("speech.wav") +
                            ": 20.30 s of audio, 2031 frames\n"
                            "segmental SNR:          3.27 dB\n"
                            "log-spectral distance:  11.20 dB\n"
                            "STOI:                   0.930\n"
                            "codec delay:            40 samples, taken out: OUT lines up with IN\n"
                            "time taken:             "))
        << r.out;
    EXPECT_TRUE(contains(r.out, " times real time\nA higher SNR, a lower distance")) << r.out;
    const samples speech = tarnel::test::load_speech_sample();
    EXPECT_EQ(wav_samples(path("speech.wav")), aligned_round_trip(speech));
}

TEST_F(TarnelTranscode, OutputHasTheInputsLengthAndLinesUpWithIt) {
    // Lengths whose last frame leaves more, fewer or no samples than the delay to pad.
    samples speech = tarnel::test::load_speech_sample();
    for (const size_t length :
         {size_t{1}, size_t{39}, size_t{41}, size_t{160}, size_t{8000}, size_t{8079}}) {
        SCOPED_TRACE(length);
        const samples in(speech.begin() + 4000, speech.begin() + 4000 + static_cast<long>(length));
        write_file(path("in.raw"), as_string(tarnel::media::pcm_image(in)));
        const run_result r = run_tool({"transcode", "--raw", path("in.raw"), "-"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(as_bytes(r.out), tarnel::media::pcm_image(aligned_round_trip(in)));
        EXPECT_TRUE(contains(r.err, "segmental SNR")) << "the report moves to standard error";
    }
    const run_result wav = run_tool({"transcode", path("in.raw"), "-"});
    ASSERT_EQ(wav.code, 0) << wav.err;
    const auto header = tarnel::media::wav_header(tarnel::media::kStreamedWavDataSize);
    EXPECT_EQ(as_bytes(wav.out.substr(0, header.size())), bytes(header.begin(), header.end()));
    EXPECT_EQ(wav.out.size(), header.size() + 2 * 8079);
}
