// Damaged files of every kind the program reads: a WAV header with any field at an extreme,
// cut short at any byte, length-prefixed payloads that promise more than the file holds,
// captures with corrupted headers, and plain noise in place of each. Whatever arrives, the
// program either does its job or fails with a diagnostic and exit status 1; it never crashes,
// hangs or touches memory it should not (the sanitizer build runs these too). The inputs are
// built deterministically, so that a failure reproduces.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/tarnel_run.h"

using namespace tarnel::test;

namespace {

const std::string kCapture = tarnel::test::source_path("samples/call.pcap");

void put_le(std::string& s, size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes && at + i < s.size(); ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// A short but valid WAV file: the bundled speech's 44-byte header and its first 500 ms.
std::string short_wav() {
    std::string wav = read_file(kSpeech).substr(0, 44 + 8000);
    put_le(wav, 4, static_cast<uint32_t>(wav.size() - 8), 4);
    put_le(wav, 40, 8000, 4);
    return wav;
}

class TarnelBadInput : public scratch_test {
protected:
    // Runs the program and checks that it ended as a program should: success, or failure with
    // something said about it.
    void expect_orderly(const std::vector<std::string>& args, const std::string& what) {
        const run_result r = run_tool(args);
        EXPECT_TRUE(r.code == tarnel::tool::kExitOk || r.code == tarnel::tool::kExitFailure)
            << what << ": exit status " << r.code << "\n"
            << r.err;
        if (r.code == tarnel::tool::kExitFailure) {
            EXPECT_FALSE(r.err.empty()) << what << ": failed silently";
        }
        ++runs_;
    }
    int runs_ = 0;
};

TEST_F(TarnelBadInput, WavHeaderFieldsAtTheirExtremes) {
    // RIFF size, fmt size, format tag, channels, rate, byte rate, block align, bits, data size.
    const struct {
        size_t offset;
        int bytes;
    } fields[] = {{4, 4}, {16, 4}, {20, 2}, {22, 2}, {24, 4}, {28, 4}, {32, 2}, {34, 2}, {40, 4}};
    const uint32_t values[] = {0,      1,          2,          3,          7,
                               8,      16,         24,         8000,       0x7fff,
                               0xffff, 0x7fffffff, 0x80000000, 0xfffffffe, 0xffffffff};
    const std::string base = short_wav();
    for (const auto& field : fields) {
        for (uint32_t v : values) {
            std::string wav = base;
            put_le(wav, field.offset, v, field.bytes);
            write_file(path("in.wav"), wav);
            const std::string what =
                "field at " + std::to_string(field.offset) + " = " + std::to_string(v);
            expect_orderly({"encode", path("in.wav"), path("out.g729")}, "encode, " + what);
            if (field.offset == 40)
                expect_orderly({"transcode", path("in.wav"), path("out.wav")},
                               "transcode, " + what);
        }
    }
    EXPECT_EQ(runs_, 9 * 15 + 15);
}

TEST_F(TarnelBadInput, WavCutShortAtEveryByteOfItsHeader) {
    const std::string wav = short_wav();
    for (size_t n = 0; n <= 60; ++n) {
        write_file(path("cut.wav"), wav.substr(0, n));
        expect_orderly({"encode", path("cut.wav"), path("out.g729")},
                       "cut at " + std::to_string(n));
    }
}

TEST_F(TarnelBadInput, FramedPayloadsPromisingMoreThanTheFileHolds) {
    const uint16_t lengths[] = {0, 1, 2, 3, 9, 10, 11, 12, 22, 1010, 1012, 8000, 0xffff};
    for (uint16_t claimed : lengths) {
        for (size_t present : {size_t{0}, size_t{1}, size_t{10}, size_t{claimed}}) {
            if (present > claimed) continue;
            std::string file;
            file += static_cast<char>(claimed >> 8);
            file += static_cast<char>(claimed & 0xff);
            for (size_t i = 0; i < present; ++i) file += static_cast<char>(i * 37 + claimed);
            // A well-formed payload after it, which is only reached when the first fits.
            file += std::string("\x00\x0a", 2) + std::string(10, '\x55');
            write_file(path("in.g729"), file);
            expect_orderly(
                {"decode", "--framed", path("in.g729"), path("out.wav")},
                "claimed " + std::to_string(claimed) + ", present " + std::to_string(present));
        }
    }
}

TEST_F(TarnelBadInput, CorruptedCaptures) {
    const std::string capture = read_file(kCapture);
    ASSERT_GT(capture.size(), 1000u) << "the bundled capture " << kCapture << " is missing";
    std::mt19937 rng(20240607);
    const uint32_t extremes[] = {0, 1, 0xffff, 0x7fffffff, 0xffffffff, 65535, 14, 20, 28, 40};
    for (int round = 0; round < 60; ++round) {
        std::string damaged = capture;
        // Headers are where lengths live: the global header, then the first records.
        for (int k = 0; k < 1 + round % 4; ++k) {
            const size_t at = round < 20 ? rng() % 24 : 24 + rng() % 400;
            put_le(damaged, at, extremes[rng() % (sizeof extremes / sizeof extremes[0])],
                   1 + rng() % 4);
        }
        if (round % 5 == 4) damaged.resize(rng() % damaged.size());
        write_file(path("in.pcap"), damaged);
        std::filesystem::remove_all(path("streams"));
        std::filesystem::create_directory(path("streams"));
        expect_orderly({"decode", "--pcap", path("in.pcap"), path("streams")},
                       "round " + std::to_string(round));
    }
}

TEST_F(TarnelBadInput, NoiseInPlaceOfEveryKindOfInput) {
    std::mt19937 rng(7);
    for (size_t size :
         {size_t{1}, size_t{2}, size_t{43}, size_t{44}, size_t{45}, size_t{999}, size_t{4096}}) {
        std::string noise(size, '\0');
        for (char& c : noise) c = static_cast<char>(rng());
        const std::string tag = std::to_string(size) + " bytes";
        write_file(path("noise.wav"), noise);
        write_file(path("noise.raw"), noise);
        write_file(path("noise.g729"), noise);
        write_file(path("noise.pcap"), noise);
        expect_orderly({"encode", path("noise.wav"), path("o.g729")}, "wav, " + tag);
        expect_orderly({"encode", path("noise.raw"), path("o.g729")}, "raw, " + tag);
        expect_orderly({"transcode", path("noise.wav"), path("o.wav")}, "transcode, " + tag);
        expect_orderly({"decode", path("noise.g729"), path("o.wav")}, "g729, " + tag);
        expect_orderly({"decode", "--framed", path("noise.g729"), path("o.wav")}, "framed, " + tag);
        expect_orderly({"decode", "--pcap", path("noise.pcap"), path("o2.wav")}, "pcap, " + tag);
    }
}

}  // namespace
