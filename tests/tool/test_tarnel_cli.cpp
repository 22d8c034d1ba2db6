// The tarnel program: subcommands, help, and its errors.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/host_test_support.h"
#include "support/test_support.h"
#include "tools/tool.h"

namespace {

const char* const kVersionLine = "Corvane G.729A Module Version 13.0_3.1.10 (optimized for x86_64\n";

struct Result {
    int code;
    std::string out;
    std::string err;
};

// Runs the program in this process, as `tarnel ARGS...`.
Result run_tool(std::vector<std::string> args) {
    host_test::FdCapture out;
    host_test::FdCapture err;
    args.insert(args.begin(), "tarnel");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    const int code = tarnel::tool::run(static_cast<int>(args.size()), argv.data(), {out.fd(), err.fd()});
    return {code, out.text(), err.text()};
}

std::vector<std::string> with_module(std::vector<std::string> args) {
    args.insert(args.begin(), {"--module", TARNEL_MODULE_PATH});
    return args;
}

size_t count_lines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

class TarnelCli : public ::testing::Test {
protected:
    void SetUp() override { modules_before_ = hvn_module_count(); }
    void TearDown() override {
        EXPECT_EQ(hvn_module_count(), modules_before_) << "the program left the module loaded";
        EXPECT_TRUE(host_test::registered_translators().empty());
    }
    size_t modules_before_ = 0;
};

// ---- cli ---------------------------------------------------------------------------------

TEST_F(TarnelCli, VersionCommandPrintsTheVersionLine) {
    const Result r = run_tool(with_module({"cli", "g729 show version"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, "");
}

TEST_F(TarnelCli, CommandWordsMayBeSeparateArguments) {
    const Result r = run_tool(with_module({"cli", "g729", "show", "version", "please"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kVersionLine);
}

TEST_F(TarnelCli, ModuleOptionMayFollowTheSubcommand) {
    const Result r = run_tool({"cli", "--module", TARNEL_MODULE_PATH, "g729 show version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kVersionLine);
    const Result eq = run_tool({"cli", std::string("--module=") + TARNEL_MODULE_PATH, "g729 show version"});
    EXPECT_EQ(eq.code, 0);
    EXPECT_EQ(eq.out, kVersionLine);
}

TEST_F(TarnelCli, DefaultModuleIsBesideTheExecutable) {
    // The test executables are built beside the module, like the program itself.
    const Result r = run_tool({"cli", "g729 show version"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kVersionLine);
}

TEST_F(TarnelCli, UnknownConsoleCommandFails) {
    const Result r = run_tool(with_module({"cli", "core show nothing"}));
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find("core show nothing"), std::string::npos) << r.err;
}

TEST_F(TarnelCli, MissingConsoleCommandIsAUsageError) {
    const Result r = run_tool(with_module({"cli"}));
    EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
}

TEST_F(TarnelCli, UnknownOptionOfASubcommandIsAUsageError) {
    const Result r = run_tool(with_module({"cli", "--frobnicate", "g729"}));
    EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
    EXPECT_NE(r.err.find("--frobnicate"), std::string::npos) << r.err;
    EXPECT_EQ(count_lines(r.err), 1u);
}

// ---- modinfo -----------------------------------------------------------------------------

TEST_F(TarnelCli, ModinfoListsModuleTranslatorsAndCommands) {
    const Result r = run_tool(with_module({"modinfo"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* expected : {
             "Module:        codec_tarnel\n",
             "Description:   Corvane G.729 Annex A Codec (optimized for x86_64\n",
             "  g729tolin    g729 -> slin   8000 Hz\n",
             "  lintog729    slin -> g729   8000 Hz\n",
             "  g729 show version    Show G.729 Module Version\n",
         })
        EXPECT_NE(r.out.find(expected), std::string::npos) << "missing: " << expected << "\nin:\n" << r.out;
    EXPECT_NE(r.out.find(TARNEL_MODULE_PATH), std::string::npos) << r.out;
}

TEST_F(TarnelCli, ModinfoTakesNoArguments) {
    const Result r = run_tool(with_module({"modinfo", "extra"}));
    EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u);
}

// ---- Help --------------------------------------------------------------------------------

TEST_F(TarnelCli, ProgramHelpListsTheSubcommands) {
    for (const char* flag : {"-h", "--help"}) {
        const Result r = run_tool({flag});
        EXPECT_EQ(r.code, 0) << flag;
        EXPECT_EQ(r.err, "") << flag;
        EXPECT_EQ(r.out.rfind("Usage: tarnel", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\n  cli "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\n  modinfo "), std::string::npos) << r.out;
    }
    EXPECT_EQ(run_tool({"help"}).out, run_tool({"--help"}).out);
}

TEST_F(TarnelCli, EachSubcommandHasItsOwnHelp) {
    for (const char* sub : {"cli", "modinfo"}) {
        for (const char* flag : {"-h", "--help"}) {
            // Help works without a loadable module.
            const Result r = run_tool({"--module", "/nonexistent.so", sub, flag});
            EXPECT_EQ(r.code, 0) << sub << " " << flag;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out.rfind(std::string("Usage: tarnel ") + sub, 0), 0u) << r.out;
        }
        EXPECT_EQ(run_tool({"help", sub}).out, run_tool({sub, "--help"}).out);
    }
}

// ---- Usage errors ------------------------------------------------------------------------

TEST_F(TarnelCli, UnknownSubcommandIsAUsageError) {
    const Result r = run_tool({"frobnicate"});
    EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find("'frobnicate'"), std::string::npos) << r.err;
    EXPECT_EQ(run_tool({"help", "frobnicate"}).code, tarnel::tool::kExitUsage);
}

TEST_F(TarnelCli, NoSubcommandIsAUsageError) {
    const Result r = run_tool({});
    EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
}

TEST_F(TarnelCli, UnknownProgramOptionIsAUsageError) {
    const Result r = run_tool({"--verbose", "modinfo"});
    EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
    EXPECT_NE(r.err.find("--verbose"), std::string::npos) << r.err;
}

TEST_F(TarnelCli, ModuleOptionNeedsAFile) {
    const Result r = run_tool({"modinfo", "--module"});
    EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
}

TEST_F(TarnelCli, MissingModuleNamesTheFileAndTheReason) {
    const Result r = run_tool({"--module", "/nonexistent/codec_tarnel.so", "modinfo"});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find("/nonexistent/codec_tarnel.so"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

TEST_F(TarnelCli, SharedObjectThatIsNoModuleIsRefused) {
    const std::string host_lib = std::string(TARNEL_BINARY_DIR) + "/libhvn_host.so";
    const Result r = run_tool({"--module", host_lib, "cli", "g729 show version"});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(host_lib), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no module descriptor"), std::string::npos) << r.err;
}

TEST_F(TarnelCli, FileThatIsNoSharedObjectIsRefused) {
    const std::string source = tarnel_test::source_path("CMakeLists.txt");
    const Result r = run_tool({"--module", source, "modinfo"});
    EXPECT_EQ(r.code, tarnel::tool::kExitFailure);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(source), std::string::npos) << r.err;
}

// ---- The executable ----------------------------------------------------------------------

Result run_executable(const std::string& args) {
    // Per process: the test runner may run several of these tests at once.
    const std::string err_file =
        std::string(TARNEL_BINARY_DIR) + "/test_tarnel_cli." + std::to_string(getpid()) + ".stderr";
    const std::string command =
        std::string(TARNEL_BINARY_DIR) + "/tarnel " + args + " 2>" + err_file;
    Result r{-1, {}, {}};
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (FILE* e = std::fopen(err_file.c_str(), "r")) {
        while ((n = std::fread(buf, 1, sizeof buf, e)) > 0) r.err.append(buf, n);
        std::fclose(e);
    }
    std::remove(err_file.c_str());
    return r;
}

TEST_F(TarnelCli, ExecutablePrintsTheVersionLine) {
    const Result r = run_executable("cli \"g729 show version\"");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kVersionLine);
    EXPECT_EQ(r.err, "");
}

TEST_F(TarnelCli, ExecutableReportsUsageErrorsOnStandardError) {
    const Result r = run_executable("frobnicate");
    EXPECT_EQ(r.code, tarnel::tool::kExitUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
}

}  // namespace
