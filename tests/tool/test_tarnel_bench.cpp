// tarnel bench: the figures it reports, as text and as JSON, and the speech it codes.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "module/g729tolin.h"
#include "module/lintog729.h"
#include "support/tarnel_run.h"

using namespace tarnel::test;

namespace {

// A JSON reader of what bench prints, objects of strings, numbers and objects, strict enough
// to tell that the output is well formed.
struct json_value {
    enum class kind { kNone, kNumber, kString, kObject } type = kind::kNone;
    double number = 0;
    std::string text;
    std::map<std::string, json_value> fields;
    const json_value& operator[](const std::string& key) const {
        static const json_value missing;
        auto it = fields.find(key);
        return it == fields.end() ? missing : it->second;
    }
};

bool parse_json(const std::string& s, size_t& at, json_value* out) {
    auto skip = [&] {
        while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
    };
    auto take = [&](char c) {
        skip();
        return at < s.size() && s[at] == c ? (++at, true) : false;
    };
    auto string = [&](std::string* text) {
        if (!take('"')) return false;
        for (; at < s.size() && s[at] != '"'; ++at) {
            if (static_cast<unsigned char>(s[at]) < 0x20) return false;
            if (s[at] == '\\' && ++at < s.size() && s[at] == 'u') at += 4;
            if (at < s.size()) text->push_back(s[at]);
        }
        return take('"');
    };
    skip();
    if (at >= s.size()) return false;
    if (s[at] == '{') {
        ++at;
        out->type = json_value::kind::kObject;
        if (take('}')) return true;
        do {
            std::string key;
            if (!string(&key) || !take(':') || !parse_json(s, at, &out->fields[key])) return false;
        } while (take(','));
        return take('}');
    }
    if (s[at] == '"') return out->type = json_value::kind::kString, string(&out->text);
    const size_t end = s.find_first_not_of("-+.eE0123456789", at);
    const std::string digits =
        s.substr(at, end == std::string::npos ? std::string::npos : end - at);
    char* stop = nullptr;
    if (digits.empty() || digits[0] == '+' || digits[0] == '.') return false;
    out->number = std::strtod(digits.c_str(), &stop);
    if (*stop != '\0') return false;
    out->type = json_value::kind::kNumber;
    at += digits.size();
    return true;
}

bool parse_json(const std::string& s, json_value* out) {
    size_t at = 0;
    if (!parse_json(s, at, out)) return false;
    while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
    return at == s.size();
}

class TarnelBench : public scratch_test {};

}  // namespace

TEST_F(TarnelBench, JsonReportHasEveryFigure) {
    const run_result r =
        run_tool({"bench", "--json", "--seconds", "0.2", "--runs", "1", "--threads", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    json_value doc;
    ASSERT_TRUE(parse_json(r.out, &doc)) << r.out;
    json_value cut;
    EXPECT_FALSE(parse_json(r.out.substr(0, r.out.size() / 2), &cut))
        << "the reader checks nothing";
    ASSERT_EQ(doc.type, json_value::kind::kObject);
    EXPECT_EQ(doc["input"].text,
              std::string(TARNEL_BINARY_DIR) + "/samples/speech.wav");  // beside the program
    EXPECT_GE(doc["audio_seconds"].number, 0.2);
    EXPECT_EQ(doc["frames"].number, 20);
    EXPECT_EQ(doc["runs"].number, 1);
    EXPECT_EQ(doc["threads"].number, 2);
    EXPECT_GE(doc["cores"].number, 1);
    EXPECT_EQ(doc["load_average"].type, json_value::kind::kNumber);

    const struct {
        const char* direction;
        const char* translator;
        double state_bytes;
        double codec_state_bytes;
    } expected[] = {
        {"encode", "lintog729", sizeof(tarnel::module::lintog729_pvt),
         sizeof(tarnel::g729_encoder_state)},
        {"decode", "g729tolin", sizeof(tarnel::module::g729tolin_pvt),
         sizeof(tarnel::g729_decoder_state)},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.direction);
        const json_value& d = doc[e.direction];
        ASSERT_EQ(d.type, json_value::kind::kObject);
        EXPECT_EQ(d["translator"].text, e.translator);
        EXPECT_EQ(d["state_bytes"].number, e.state_bytes);
        EXPECT_EQ(d["codec_state_bytes"].number, e.codec_state_bytes);
        EXPECT_EQ(d["output_buffer_bytes"].number, 16000);
        for (const char* path_name : {"codec", "module"}) {
            SCOPED_TRACE(path_name);
            const json_value& single = d[path_name]["single"];
            const json_value& parallel = d[path_name]["parallel"];
            ASSERT_EQ(single["us_per_frame"].type, json_value::kind::kNumber);
            ASSERT_EQ(parallel["us_per_frame"].type, json_value::kind::kNumber);
            EXPECT_EQ(single["threads"].number, 1);
            EXPECT_EQ(parallel["threads"].number, 2);
            const double us = single["us_per_frame"].number;
            EXPECT_GT(us, 0);
            // The derived figures follow from the time per frame: 10 ms of audio per frame.
            EXPECT_NEAR(single["realtime"].number, 10000 / us, 0.05 + 10000 / us * 1e-3);
            // Channels are whole: the real-time multiple rounded down (printed to 0.1).
            EXPECT_LE(single["channels_per_core"].number, single["realtime"].number + 0.05);
            EXPECT_GT(single["channels_per_core"].number, single["realtime"].number - 1.05);
            for (const json_value* s : {&single, &parallel}) {
                const json_value& run = *s;
                // The median run lies within the spread; a percentile within the frames.
                EXPECT_LE(run["us_per_frame_fastest"].number, run["us_per_frame"].number);
                EXPECT_LE(run["us_per_frame"].number, run["us_per_frame_slowest"].number);
                EXPECT_GT(run["frame_us_p99"].number, 0);
                EXPECT_LE(run["frame_us_p99"].number, run["frame_us_max"].number);
            }
            // On one thread a run's frames add up to the run, so one frame at least took as
            // long as the average of the slowest run.
            EXPECT_GE(single["frame_us_max"].number,
                      single["us_per_frame_slowest"].number * (1 - 1e-3));
            const double pus = parallel["us_per_frame"].number;
            EXPECT_GT(pus, 0);
            EXPECT_NEAR(parallel["realtime"].number, 2 * 10000 / pus, 0.05 + 20000 / pus * 1e-3);
            EXPECT_LE(parallel["channels"].number, parallel["realtime"].number + 0.05);
            EXPECT_GT(parallel["channels"].number, parallel["realtime"].number - 1.05);
        }
    }
}

TEST_F(TarnelBench, TextReportNamesBothDirectionsAndTheirState) {
    const run_result r = run_tool({"bench", "--seconds", "0.1", "--runs", "1", "--threads", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Encoder")) << r.out;
    EXPECT_TRUE(contains(r.out, "Decoder")) << r.out;
    EXPECT_TRUE(contains(
        r.out, std::to_string(sizeof(tarnel::module::lintog729_pvt)) + " bytes (lintog729"))
        << r.out;
    EXPECT_TRUE(contains(
        r.out, std::to_string(sizeof(tarnel::module::g729tolin_pvt)) + " bytes (g729tolin"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "per core")) << r.out;
    EXPECT_TRUE(contains(r.out, "slowest")) << r.out;
    EXPECT_TRUE(contains(r.out, "p99")) << r.out;
}

TEST_F(TarnelBench, CodesTheSpeechBesideTheProgramOrInstalledWithItOrTheNamedInput) {
    // A copy of the program laid out as installed, with the module in lib/codec_tarnel/ (found
    // without --module), and no sample; then with one installed beside its bin/.
    std::filesystem::create_directories(path("bin"));
    std::filesystem::create_directories(path("lib/codec_tarnel"));
    std::filesystem::copy_file(std::string(TARNEL_BINARY_DIR) + "/tarnel", path("bin/tarnel"));
    std::filesystem::copy_file(TARNEL_MODULE_PATH, path("lib/codec_tarnel/codec_tarnel.so"));
    const std::string bench = "bin/tarnel bench --seconds 0.02 --runs 1 --threads 1";
    const run_result none = run_shell(bench + " --json", dir_);
    EXPECT_EQ(none.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(none.err,
              "tarnel: bench: no recording to code: the bundled speech sample is neither in "
              "samples/ beside this program nor in ../share/codec_tarnel/ (name one with "
              "--input FILE)\n");
    std::filesystem::create_directories(path("share/codec_tarnel"));
    std::filesystem::copy_file(kSpeech, path("share/codec_tarnel/speech.wav"));
    const run_result installed = run_shell(bench + " --json", dir_);
    EXPECT_EQ(installed.code, 0) << installed.err;
    EXPECT_TRUE(
        contains(installed.out, "{\"input\": \"" + path("share/codec_tarnel/speech.wav") + "\", "))
        << installed.out;

    const run_result missing =
        run_tool({"bench", "--input", path("missing.wav"), "--seconds", "0.1"});
    EXPECT_EQ(missing.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(missing.err, "tarnel: " + path("missing.wav") +
                               ": no such file (name another recording with --input FILE)\n");
}
