// The tarnel program as a whole: help, usage errors, the module it loads, its outputs, and the
// built executable in a shell pipeline.
#include <string>
#include <vector>

#include "support/tarnel_run.h"
#include "tools/command.h"

using namespace tarnel::test;

namespace {

const char* const kVersionLine =
    "Corvane G.729A Module Version 13.0_3.1.10 (optimized for x86_64\n";
const char* const kCommands[] = {"encode", "decode", "transcode", "bench", "cli", "modinfo"};

class TarnelProgram : public scratch_test {};

}  // namespace

TEST_F(TarnelProgram, HelpForTheProgramAndEveryCommandNeedsNoModule) {
    const run_result program = run_tool({"--help"});
    EXPECT_EQ(program.code, 0);
    EXPECT_EQ(program.out.rfind("Usage: tarnel", 0), 0u) << program.out;
    EXPECT_EQ(run_tool({"-h"}).out, program.out);
    EXPECT_EQ(run_tool({"help"}).out, program.out);
    for (const char* command : kCommands) {
        SCOPED_TRACE(command);
        EXPECT_TRUE(contains(program.out, std::string("\n  ") + command + " ")) << program.out;
        const run_result r = run_tool({"--module", "/nonexistent.so", command, "--help"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind(std::string("Usage: tarnel ") + command, 0), 0u) << r.out;
        EXPECT_EQ(run_tool({command, "-h"}).out, r.out);
        EXPECT_EQ(run_tool({"help", command}).out, r.out);
    }
}

TEST_F(TarnelProgram, UsageErrorsAreOneLineWithStatusTwo) {
    const std::string o = path("o"), in = kSpeech;
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{}, "missing subcommand (try 'tarnel --help')"},
        {{"frobnicate"}, "unknown subcommand 'frobnicate' (try 'tarnel --help')"},
        {{"help", "frobnicate"}, "unknown subcommand 'frobnicate'"},
        {{"--frobnicate", "modinfo"}, "unknown option '--frobnicate' (try 'tarnel --help')"},
        {{"modinfo", "--module"}, "option '--module' needs a file (try 'tarnel modinfo --help')"},
        {{"modinfo", "extra"},
         "modinfo: unexpected argument 'extra' (try 'tarnel modinfo --help')"},
        {{"cli"}, "cli: missing console command (try 'tarnel cli --help')"},
        {{"cli", "--frobnicate", "g729"}, "cli: unknown option '--frobnicate'"},
        {{"encode", "--frobnicate", in, o},
         "encode: unknown option '--frobnicate' (try 'tarnel encode --help')"},
        {{"decode", "--frobnicate", in, o}, "decode: unknown option '--frobnicate'"},
        {{"transcode", "--frobnicate", in, o}, "transcode: unknown option '--frobnicate'"},
        {{"bench", "--frobnicate"}, "bench: unknown option '--frobnicate'"},
        {{"encode", "--quiet=yes", in, o}, "option '--quiet' takes no value"},
        {{"transcode", "--raw=1", in, o}, "option '--raw' takes no value"},
        {{"encode", in}, "encode: needs an input and an output file"},
        {{"decode", in}, "decode: needs an input and an output file"},
        {{"transcode", in, o, path("b")}, "transcode: unexpected argument '" + path("b") + "'"},
        {{"encode", in, o, "--frame-ms"}, "option '--frame-ms' needs a value"},
        {{"encode", "--frame-ms", "0", in, o},
         "--frame-ms needs a whole number of milliseconds from 1 to 1000, not '0'"},
        {{"encode", "--frame-ms", "1001", in, o}, "not '1001'"},
        {{"encode", "--frame-ms", "20ms", in, o}, "not '20ms'"},
        {{"encode", "--frame-ms", "-5", in, o}, "not '-5'"},
        {{"encode", "--frame-ms", "", in, o}, "not ''"},
        {{"bench", "--seconds", "0"}, "--seconds needs a number from 0.01 to 3600, not '0'"},
        {{"bench", "--seconds", "x"}, "not 'x'"},
        {{"bench", "--runs", "0"}, "--runs needs a whole number from 1 to 1000, not '0'"},
        {{"bench", "--threads", "0"}, "--threads needs a whole number from 1 to 1024, not '0'"},
        {{"bench", "extra"}, "bench: unexpected argument 'extra'"},
        {{"decode", "--pt", "8", in, o}, "decode: --pt needs --pcap"},
        {{"decode", "--ssrc", "1", in, o}, "decode: --ssrc needs --pcap"},
        {{"decode", o, "--pcap"}, "option '--pcap' needs a value"},
        {{"decode", "--pcap", in}, "--pcap needs an output folder or file"},
        {{"decode", "--pcap", in, o, path("p")},
         "--pcap takes one output, not '" + path("p") + "' as well"},
        {{"decode", "--pcap", "", o}, "--pcap needs a capture file"},
        {{"decode", "--pcap", in, "--framed", o}, "--framed and --pcap exclude each other"},
        {{"decode", "--pcap", in, "--raw", o}, "--raw does not apply to --pcap"},
        {{"decode", "--pcap", in, "--pt", "128", o},
         "--pt needs an RTP payload type from 0 to 127, not '128'"},
        {{"decode", "--pcap", in, "--pt", "x", o}, "not 'x'"},
        {{"decode", "--pcap", in, "--ssrc", "0x1ffffffff", o}, "--ssrc needs a 32-bit SSRC"},
        {{"decode", "--pcap", in, "--ssrc", "abc", o}, "not 'abc'"},
    };
    for (const auto& c : cases) {
        std::string call;
        for (const std::string& a : c.args) call += " " + a;
        SCOPED_TRACE("tarnel" + call);
        const run_result r = run_tool(c.args);
        EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(count_lines(r.err), 1u) << r.err;
        EXPECT_TRUE(contains(r.err, c.says)) << r.err;
        EXPECT_TRUE(contains(r.err, "(try 'tarnel")) << r.err;
    }
    EXPECT_TRUE(entries().empty());
}

TEST_F(TarnelProgram, VersionNamesTheProgramAndTheModuleFromAnyCommand) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--version"},
          {"encode", "--version"},
          {"--module", TARNEL_MODULE_PATH, "modinfo", "--version"}}) {
        const run_result r = run_tool(args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, std::string("tarnel 13.0_3.1.10\n") + kVersionLine);
    }
    const run_result none = run_tool({"--module", "/nonexistent.so", "--version"});
    EXPECT_EQ(none.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(none.out, "tarnel 13.0_3.1.10\n");
    EXPECT_TRUE(contains(none.err, "cannot load module '/nonexistent.so'")) << none.err;
}

TEST_F(TarnelProgram, QuietAndVerboseApplyToEveryCommand) {
    write_file(path("in.raw"), as_string(tarnel::media::pcm_image(samples(800, 1000))));
    ASSERT_EQ(run_tool({"encode", "-q", path("in.raw"), path("in.g729")}).code, 0);
    const struct {
        std::vector<std::string> args;
        std::string detail;  // what -v adds
    } cases[] = {
        {{"encode", path("in.raw"), path("o.g729")},
         "reading " + path("in.raw") + ": headerless, "},
        {{"decode", path("in.g729"), path("o.flac")}, "writing " + path("o.flac") + ": FLAC, "},
        {{"transcode", path("in.raw"), path("o.wav")}, "shifted back by 40 samples"},
        {{"modinfo"}, "module: "},
        {{"cli", "g729 show version"}, "module: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> quiet = c.args, verbose = c.args;
        quiet.insert(quiet.begin() + 1, "-q");
        verbose.insert(verbose.begin(), "--verbose");
        const run_result q = run_tool(quiet), v = run_tool(verbose);
        EXPECT_EQ(q.code, 0) << q.err;
        EXPECT_EQ(q.err, "");
        EXPECT_EQ(v.code, 0) << v.err;
        EXPECT_TRUE(contains(v.err, "module: " + std::string(TARNEL_BINARY_DIR))) << v.err;
        EXPECT_TRUE(contains(v.err, c.detail)) << v.err;
    }
}

TEST_F(TarnelProgram, ModuleIsBesideTheProgramUnlessNamedBeforeOrAfterTheCommand) {
    const std::string module = TARNEL_MODULE_PATH;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cli", "g729 show version"},  // the tests are built beside it
          {"--module", module, "cli", "g729 show version"},
          {"cli", "--module", module, "g729 show version"},
          {"cli", "--module=" + module, "g729", "show", "version"}}) {
        const run_result r = run_tool(args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, kVersionLine);
    }
    // A bare file name is the one in the current folder, not one on the library path.
    std::filesystem::copy_file(module, path("mine.so"));
    EXPECT_EQ(run_shell("@T --module mine.so cli 'g729 show version'", dir_).out, kVersionLine);
}

TEST_F(TarnelProgram, ModuleThatWillNotLoadIsOneLineNamingTheFileAndTheReason) {
    const std::string host_lib = std::string(TARNEL_BINARY_DIR) + "/libhvn_host.so";
    const std::string source = tarnel::test::source_path("CMakeLists.txt");
    const struct {
        std::string module, says;
    } cases[] = {{"/nonexistent/codec_tarnel.so", "No such file or directory"},
                 {host_lib, "no module descriptor"},
                 {source, ""}};
    for (const auto& c : cases) {
        const run_result r = run_tool({"--module", c.module, "modinfo"});
        EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(count_lines(r.err), 1u) << r.err;
        EXPECT_TRUE(contains(r.err, "cannot load module '" + c.module + "': ")) << r.err;
        EXPECT_TRUE(contains(r.err, c.says)) << r.err;
    }
}

TEST_F(TarnelProgram, OutputsAreReplacedWholeAndAFailedOneLeavesNothingBehind) {
    write_file(path("out.g729"), std::string(100000, 'x'));
    ASSERT_EQ(run_tool({"encode", "-q", kSpeech, path("out.g729")}).code, 0);
    EXPECT_EQ(as_bytes(read_file(path("out.g729"))),
              codec_encode(tarnel::test::load_speech_sample()));

    write_file(path("plain"), "x");
    for (const std::string& out : {path("no/such/folder/out.g729"), path("plain/out.g729")}) {
        const run_result r = run_tool({"encode", "-q", kSpeech, out});
        EXPECT_EQ(r.code, tarnel::tool::kExitFailure) << out;
        EXPECT_EQ(count_lines(r.err), 1u) << r.err;
        EXPECT_TRUE(contains(r.err, out)) << r.err;
    }
    // A device that fails every write is reported, not taken for success, and gets no report.
    const bool devices = make_devices();
    if (devices) {
        const run_result full = run_tool({"transcode", kSpeech, path("full")});
        EXPECT_EQ(full.code, tarnel::tool::kExitFailure);
        EXPECT_EQ(full.err,
                  "tarnel: " + path("full") + ": write failed: No space left on device\n");
        EXPECT_EQ(full.out, "");
    }
    // An input that cannot be read creates no output either.
    EXPECT_EQ(run_tool({"encode", path("missing.wav"), path("o.g729")}).code,
              tarnel::tool::kExitFailure);
    std::vector<std::string> left = {"out.g729", "plain"};
    if (devices) left = {"full", "null", "out.g729", "plain"};
    EXPECT_EQ(entries(), left) << "no temporary file left";
}

TEST_F(TarnelProgram, TheExecutableWritesDataAloneToStandardOutputAndPipes) {
    const std::string speech = "'" + kSpeech + "'";
    const bytes coded = codec_encode(tarnel::test::load_speech_sample());
    const run_result piped =
        run_shell("@T encode -q " + speech + " - | @T decode -q - piped.wav", dir_);
    ASSERT_EQ(piped.code, 0) << piped.err;
    EXPECT_EQ(piped.out + piped.err, "");
    EXPECT_EQ(wav_samples(path("piped.wav")), codec_decode(split_frames(coded)));

    // Standard output carries the data and nothing else; the summaries go to standard error.
    const run_result bits = run_shell("@T encode " + speech + " -", dir_);
    ASSERT_EQ(bits.code, 0) << bits.err;
    EXPECT_EQ(as_bytes(bits.out), coded);
    EXPECT_EQ(count_lines(bits.err), 1u);
    EXPECT_TRUE(contains(bits.err, "encoded")) << bits.err;

    const run_result chain = run_shell(
        "@T encode -q " + speech + " - | @T decode -q --raw - - | @T encode -q - - --raw | wc -c",
        dir_);
    ASSERT_EQ(chain.code, 0) << chain.err;
    EXPECT_EQ(std::stoul(chain.out), coded.size());

    const run_result version = run_shell("@T cli \"g729 show version\"", dir_);
    EXPECT_EQ(version.out + version.err, kVersionLine);
    const run_result usage = run_shell("@T frobnicate", dir_);
    EXPECT_EQ(usage.code, tarnel::tool::kExitUsage);
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(count_lines(usage.err), 1u) << usage.err;
    const run_result empty = run_shell("@T decode - out.wav < /dev/null", dir_);
    EXPECT_EQ(empty.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(empty.err, "tarnel: standard input: no data\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"piped.wav"});
}

TEST(JsonString, AnyBytesBecomeValidJsonAndUtf8PassesThrough) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9e",
         "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9e\""},
        {std::string("\x01\x7f\xff\0", 4), "\"\\u0001\\u007f\\u00ff\\u0000\""},
        {"\xc3", "\"\\u00c3\""},                        // cut short
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},             // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},  // surrogate
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, tarnel::tool::json_string(c.in)) << c.in;
}
