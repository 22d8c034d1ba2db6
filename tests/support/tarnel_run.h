// Running the tarnel program from the tests: in this process through its entry point, or as the
// built executable under a shell; a scratch folder per test; and what the codec's own functions
// make of the same audio, to hold the program's output against.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "media/audio_file.h"
#include "support/host_test_support.h"
#include "support/test_support.h"
#include "tools/tool.h"

namespace tarnel::test {

using bytes = std::vector<uint8_t>;
using samples = std::vector<int16_t>;

const std::string kSpeech = tarnel::test::source_path("samples/speech.wav");

struct run_result {
    int code = -1;
    std::string out;
    std::string err;
};

// `tarnel ARGS...` in this process, its output and diagnostics captured.
inline run_result run_tool(std::vector<std::string> args) {
    tarnel::test::fd_capture out;
    tarnel::test::fd_capture err;
    args.insert(args.begin(), "tarnel");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    run_result r;
    r.code = tool::run(static_cast<int>(args.size()), argv.data(), {out.fd(), err.fd()});
    r.out = out.text();
    r.err = err.text();
    return r;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline bytes as_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }
inline std::string as_string(const bytes& b) { return std::string(b.begin(), b.end()); }

// A shell script run by sh in `scratch`, "@T" standing for the built program; its standard
// output is returned, its standard error read from a file.
inline run_result run_shell(std::string script, const std::string& scratch) {
    const std::string program = "'" + std::string(TARNEL_BINARY_DIR) + "/tarnel'";
    for (size_t at; (at = script.find("@T")) != std::string::npos;) script.replace(at, 2, program);
    const std::string script_file = scratch + "/script.sh";
    const std::string err_file = scratch + "/script.stderr";
    write_file(script_file, "cd '" + scratch + "' || exit 99\n" + script + "\n");
    run_result r;
    FILE* p = popen(("sh '" + script_file + "' 2>'" + err_file + "' </dev/null").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = read_file(err_file);
    std::remove(err_file.c_str());
    std::remove(script_file.c_str());
    return r;
}

inline size_t count_lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// What the module must produce, computed with the codec's own functions; the samples are
// padded with zeros to whole frames, as the program pads them.
inline bytes codec_encode(samples pcm) {
    pcm.resize((pcm.size() + kFrame - 1) / kFrame * kFrame, 0);
    g729_encoder_state st;
    g729_encoder_init(&st);
    bytes out(pcm.size() / kFrame * kSpeechFrameBytes);
    for (size_t f = 0; f < pcm.size() / kFrame; ++f) {
        int len = 0;
        g729_encode_frame(&st, &pcm[f * kFrame], &out[f * kSpeechFrameBytes], &len);
    }
    return out;
}

// Units of 10 (speech) or 2 (SID) bytes, decoded in order by one decoder.
// An empty unit stands for a frame that never arrived, and is concealed.
inline samples codec_decode(const std::vector<bytes>& units) {
    g729_decoder_state st;
    g729_decoder_init(&st);
    samples out;
    for (const bytes& u : units) {
        int16_t pcm[kFrame];
        if (u.empty())
            g729_conceal_frame(&st, pcm);
        else
            g729_decode_frame(&st, pcm, u.data(), static_cast<int>(u.size()));
        out.insert(out.end(), pcm, pcm + kFrame);
    }
    return out;
}

// The whole 10-byte frames of a stream.
inline std::vector<bytes> split_frames(const bytes& coded) {
    std::vector<bytes> units;
    for (auto at = coded.begin(); coded.end() - at >= kSpeechFrameBytes; at += kSpeechFrameBytes)
        units.emplace_back(at, at + kSpeechFrameBytes);
    return units;
}

inline samples round_trip(const samples& pcm) {
    return codec_decode(split_frames(codec_encode(pcm)));
}

inline samples wav_samples(const std::string& path) {
    const media::pcm_result r = media::read_pcm(path, false);
    EXPECT_TRUE(r.ok()) << r.error;
    return r.samples;
}

// A fresh folder for each test, removed afterwards; also checks that the program leaves the
// module unloaded and no translator registered, whatever happened.
class scratch_test : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "tarnel_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        modules_before_ = hvn_module_count();
    }
    void TearDown() override {
        std::filesystem::remove_all(dir_);
        EXPECT_EQ(hvn_module_count(), modules_before_) << "the program left the module loaded";
        EXPECT_TRUE(tarnel::test::registered_translators().empty());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Copies of the null (1, 3) and full (1, 7) devices in the scratch folder, so that no test
    // writes to the system's own through code that might replace an output. False where
    // devices cannot be made (only root may).
    bool make_devices() const {
        return ::mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
               ::mknod(path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    size_t modules_before_ = 0;
};

}  // namespace tarnel::test
