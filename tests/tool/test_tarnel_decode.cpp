// tarnel decode: raw and length-framed G.729 through the module's decoder translator.
#include <sndfile.h>

#include <filesystem>

#include "media/wav_format.h"
#include "support/tarnel_run.h"

using namespace tarnel::test;

namespace {

// One length-prefixed payload, as --framed reads them.
std::string framed(const bytes& payload) {
    return std::string{static_cast<char>(payload.size() >> 8),
                       static_cast<char>(payload.size() & 0xFF)} +
           as_string(payload);
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The first `frames` frames of the bundled speech, coded.
bytes speech_frames(size_t frames) {
    samples speech = tarnel::test::load_speech_sample();
    speech.resize(frames * tarnel::kFrame);
    return codec_encode(speech);
}

class TarnelDecode : public scratch_test {};

}  // namespace

TEST_F(TarnelDecode, RawFramesDecodeToTheCodecsOwnSamplesAsWavRawOrOnStandardOutput) {
    const bytes coded = codec_encode(tarnel::test::load_speech_sample());
    const samples expected = codec_decode(split_frames(coded));
    write_file(path("speech.g729"), as_string(coded));
    const run_result r = run_tool({"decode", path("speech.g729"), path("speech.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, "decoded " + path("speech.g729") + " -> " + path("speech.wav") +
                                    ": 1016 host frames, 0 refused, 2031 frames, 20.31 s of audio"))
        << r.err;
    EXPECT_EQ(wav_samples(path("speech.wav")), expected);

    ASSERT_EQ(run_tool({"decode", "-q", "--raw", path("speech.g729"), path("speech.pcm")}).code, 0);
    EXPECT_EQ(as_bytes(read_file(path("speech.pcm"))), tarnel::media::pcm_image(expected));
    // Standard output gets the samples as they come, after a header that cannot know their
    // number and so announces the length a streaming reader expects.
    const run_result out = run_tool({"decode", "-q", path("speech.g729"), "-"});
    ASSERT_EQ(out.code, 0) << out.err;
    const auto header = tarnel::media::wav_header(tarnel::media::kStreamedWavDataSize);
    EXPECT_EQ(out.out, std::string(header.begin(), header.end()) +
                           as_string(tarnel::media::pcm_image(expected)));
}

TEST_F(TarnelDecode, OutputFormatFollowsTheNameAndAnUnknownOneListsTheChoices) {
    const bytes coded = speech_frames(60);
    const samples expected = codec_decode(split_frames(coded));
    write_file(path("in.g729"), as_string(coded));
    // Lossless formats hold the samples exactly; the lossy ones at least the rate and channel.
    for (const char* ext : {"flac", "aiff", "au", "caf", "w64", "rf64", "ogg", "opus", "mp3"}) {
        SCOPED_TRACE(ext);
        const std::string out = path(std::string("out.") + ext);
        const run_result r = run_tool({"decode", "-q", path("in.g729"), out});
        ASSERT_EQ(r.code, 0) << r.err;
        SF_INFO info{};
        SNDFILE* sf = sf_open(out.c_str(), SFM_READ, &info);
        ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
        samples got(expected.size() + 2000);
        got.resize(static_cast<size_t>(
            sf_readf_short(sf, got.data(), static_cast<sf_count_t>(got.size()))));
        sf_close(sf);
        EXPECT_EQ(info.samplerate, 8000);
        EXPECT_EQ(info.channels, 1);
        if (std::string("ogg opus mp3").find(ext) == std::string::npos) {
            EXPECT_EQ(got, expected);
        }
    }
    for (const char* name : {"out.xyz", "out.g729"}) {
        const run_result r = run_tool({"decode", path("in.g729"), path(name)});
        EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
        EXPECT_TRUE(contains(r.err, path(name) + ": cannot write ." + std::string(name).substr(4) +
                                        " files; name the output with one of .wav, .raw, .flac, "))
            << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(path("out.xyz")));
}

TEST_F(TarnelDecode, InputThatIsAudioOrACaptureIsRefusedWithAHint) {
    const std::string wav = as_string(tarnel::media::wav_image(samples(400, 7)));
    const std::string capture = read_file(source_path("samples/call.pcap"));
    const std::string pad(20, '\x5a');
    const struct {
        std::string head, kind, hint;
    } cases[] = {
        {wav, "a WAV file", "'tarnel encode'"},
        {std::string("RIFF\x10\0\0\0AVI LIST", 16) + pad, "a RIFF file", "'tarnel encode'"},
        {std::string("fLaC\0\0\0\x22", 8) + pad, "a FLAC file", "'tarnel encode'"},
        {std::string("OggS\0\x02", 6) + pad, "an Ogg file", "'tarnel encode'"},
        {std::string("FORM\0\0\x10\0AIFC", 12) + pad, "an AIFF file", "'tarnel encode'"},
        {std::string(".snd\0\0\0\x18", 8) + pad, "an AU file", "'tarnel encode'"},
        {capture, "a pcap packet capture", "--pcap"},
        {std::string("\xa1\xb2\xc3\xd4\0\x02\0\x04", 8) + pad, "a pcap packet capture", "--pcap"},
        {std::string("\x4d\x3c\xb2\xa1\x02\0\x04\0", 8) + pad, "a pcap packet capture", "--pcap"},
        {std::string("\xa1\xb2\x3c\x4d\0\x02\0\x04", 8) + pad, "a pcap packet capture", "--pcap"},
        {std::string("\x0a\x0d\x0d\x0a\x1c\0\0\0\x4d\x3c\x2b\x1a", 12) + pad,
         "a pcapng packet capture", "--pcap"},
        {std::string("\x0a\x0d\x0d\x0a\0\0\0\x1c\x1a\x2b\x3c\x4d", 12) + pad,
         "a pcapng packet capture", "--pcap"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        write_file(path("in.g729"), c.head);
        for (const bool framed : {false, true}) {
            std::vector<std::string> args = {"decode", path("in.g729"), path("o.wav")};
            if (framed) args.insert(args.begin() + 1, "--framed");
            const run_result r = run_tool(args);
            EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
            EXPECT_EQ(count_lines(r.err), 1u) << r.err;
            EXPECT_TRUE(contains(r.err, path("in.g729") + ": " + c.kind + ", not G.729 frames; "))
                << r.err;
            EXPECT_TRUE(contains(r.err, c.hint)) << r.err;
        }
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"in.g729"});
}

TEST_F(TarnelDecode, FramesFromOtherEncodersNamingUnpublishedRowsAreCounted) {
    // Our encoder never names first-stage rows 37-127; another encoder's frames may. Every
    // 7th frame is rewritten to one of them, in both predictor modes; 2031 frames give 291.
    bytes coded = codec_encode(tarnel::test::load_speech_sample());
    const size_t frames = coded.size() / 10;
    ASSERT_EQ(frames, 2031u);
    write_file(path("ours.g729"), as_string(coded));
    for (size_t f = 0; f < frames; f += 7)
        coded[f * 10] = static_cast<uint8_t>((f % 2) << 7 | (37 + f % 91));
    write_file(path("other.g729"), as_string(coded));
    std::string framed_file;
    for (const bytes& frame : split_frames(coded)) framed_file += framed(frame);
    write_file(path("other.rtpf"), framed_file);
    const std::string expected =
        ": 291 of 2031 speech frames (14.3%) name first-stage LSP rows 37-127: they come from "
        "another encoder and are decoded with an approximate spectral envelope\n";
    for (const std::string in : {"other.g729", "other.rtpf"}) {
        std::vector<std::string> args = {"decode", path(in), path("o.wav")};
        if (in == "other.rtpf") args.insert(args.begin() + 1, "--framed");
        const run_result r = run_tool(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(count_lines(r.err), 2u) << r.err;
        EXPECT_TRUE(contains(r.err, path(in) + expected)) << r.err;
    }
    // -q keeps it quiet; our own frames never raise it.
    EXPECT_EQ(run_tool({"decode", "-q", path("other.g729"), path("q.wav")}).err, "");
    EXPECT_EQ(count_lines(run_tool({"decode", path("ours.g729"), path("ours.wav")}).err), 1u);
}

TEST_F(TarnelDecode, LeftoverBytesFailButTheWholeFramesAreWritten) {
    const bytes coded = speech_frames(50);
    write_file(path("cut.g729"), as_string(cat({coded, {1, 2, 3}})));
    const run_result r = run_tool({"decode", "-q", path("cut.g729"), path("cut.wav")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(r.err,
              "tarnel: " + path("cut.g729") +
                  ": 3 bytes left over after 50 whole 10-byte "
                  "frames (truncated, or length-framed: try --framed); the audio decoded before "
                  "it was written to " +
                  path("cut.wav") + "\n");
    EXPECT_EQ(wav_samples(path("cut.wav")), codec_decode(split_frames(coded)));
}

TEST_F(TarnelDecode, FramedPayloadsMayEndInSidAndARefusedOneIsSkipped) {
    const std::vector<bytes> f = split_frames(speech_frames(6));
    const bytes sid = {0x12, 0x0c};
    const std::string file = framed(cat({f[0], f[1]}))           // payload 1 at byte 0
                             + framed(cat({f[2], sid}))          // payload 2 at byte 22
                             + framed(sid)                       // payload 3 at byte 36
                             + framed(cat({f[3], bytes{0x55}}))  // payload 4 at byte 40
                             + framed(cat({sid, sid}))           // payload 5 at byte 53
                             + framed(cat({f[4], f[5]}));        // payload 6 at byte 59
    write_file(path("call.rtpf"), file);
    const run_result r = run_tool({"decode", "--framed", path("call.rtpf"), path("call.wav")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(count_lines(r.err), 3u) << r.err;  // two refusals and the summary
    EXPECT_TRUE(
        contains(r.err, "tarnel: " + path("call.rtpf") +
                            ": payload 4 at byte 40 (11 bytes) "
                            "refused by g729tolin: Invalid data (1 bytes at the end); the 1 "
                            "frames before the fault are kept; decoding goes on with the next "
                            "payload\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err,
                         "payload 5 at byte 53 (4 bytes) refused by g729tolin: Invalid data "
                         "(4 bytes at the end); decoding goes on with the next payload\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "6 payloads, 2 refused")) << r.err;
    // The SID frames become comfort noise in step with the speech around them; of the refused
    // payloads, what the translator decoded before the fault is kept, and decoding goes on.
    EXPECT_EQ(wav_samples(path("call.wav")),
              codec_decode({f[0], f[1], f[2], sid, sid, f[3], f[4], f[5]}));
}

TEST_F(TarnelDecode, ManyRefusalsAreCountedAfterTheFirstTen) {
    std::string file;
    for (int i = 0; i < 13; ++i) file += framed(bytes(3, 0x55));
    write_file(path("bad.rtpf"), file);
    const run_result r = run_tool({"decode", "-q", "--framed", path("bad.rtpf"), path("bad.wav")});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(count_lines(r.err), 11u) << r.err;
    EXPECT_TRUE(contains(r.err, "payload 10 at byte 45 ")) << r.err;
    EXPECT_TRUE(contains(r.err, "tarnel: " + path("bad.rtpf") + ": 3 more payloads refused\n"))
        << r.err;
}

TEST_F(TarnelDecode, TruncatedFramedFileIsReportedAfterWritingWhatCameBefore) {
    const bytes coded = speech_frames(2);
    const std::string whole = framed(coded);
    const struct {
        std::string tail, says;
    } cases[] = {
        {whole.substr(0, 7), "truncated: payload 2 at byte 22 announces 20 bytes, 5 follow"},
        {"\x01", "truncated: 1 byte at byte 22 where a 2-byte length should start payload 2"}};
    for (const auto& c : cases) {
        write_file(path("cut.rtpf"), whole + c.tail);
        const run_result r =
            run_tool({"decode", "-q", "--framed", path("cut.rtpf"), path("cut.wav")});
        EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
        EXPECT_EQ(count_lines(r.err), 1u) << r.err;
        EXPECT_TRUE(contains(r.err, path("cut.rtpf") + ": " + c.says)) << r.err;
        EXPECT_EQ(wav_samples(path("cut.wav")), codec_decode(split_frames(coded)));
    }
}

TEST_F(TarnelDecode, EmptyOrMissingInputIsOneLine) {
    write_file(path("empty.g729"), "");
    for (const std::string& in : {path("empty.g729"), path("missing.g729")}) {
        const run_result r = run_tool({"decode", in, path("o.wav")});
        EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
        EXPECT_EQ(count_lines(r.err), 1u) << r.err;
        EXPECT_TRUE(contains(r.err, in)) << r.err;
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"empty.g729"});
}
