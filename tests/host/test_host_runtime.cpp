// The stand-in host's own promises, checked with translators, commands and a module defined
// here: what the module relies on must hold, or the module tests prove nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/host_test_support.h"
#include "support/sanitizers.h"

#ifdef TARNEL_ASAN_BUILD
#include <sanitizer/lsan_interface.h>
#endif

using namespace tarnel::test;

namespace {

// A translator that records what the host hands it.
struct probe_calls {
    int news = 0;
    int destroys = 0;
    hvn_trans_pvt* last = nullptr;
};
probe_calls g_probe;

int probe_new(hvn_trans_pvt* pvt) {
    ++g_probe.news;
    g_probe.last = pvt;
    return 0;
}
int probe_framein(hvn_trans_pvt*, hvn_frame*) { return 0; }
void probe_destroy(hvn_trans_pvt*) { ++g_probe.destroys; }
int failing_new(hvn_trans_pvt*) { return -1; }

hvn_translator make_probe(const char* name) {
    hvn_translator t{};
    std::strncpy(t.name, name, sizeof t.name - 1);
    t.src_codec.name = "g729";
    t.dst_codec.name = "slin";
    std::strcpy(t.format, "slin");
    t.newpvt = probe_new;
    t.framein = probe_framein;
    t.destroy = probe_destroy;
    t.buf_size = 64;
    t.desc_size = 24;
    return t;
}

class HostRuntime : public ::testing::Test {
protected:
    void SetUp() override { g_probe = probe_calls{}; }
    void TearDown() override {
        hvn_unregister_translator(&probe_);
        hvn_test_translator_registration_results(nullptr, 0);
    }
    hvn_translator probe_ = make_probe("probe");
};

// ---- Translators -------------------------------------------------------------------------

TEST_F(HostRuntime, InstanceGetsZeroedAreasOfTheStatedSizes) {
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    hvn_trans_pvt* pvt = hvn_trans_instance_new("probe");
    ASSERT_NE(pvt, nullptr);
    EXPECT_EQ(g_probe.news, 1);
    EXPECT_EQ(g_probe.last, pvt);
    EXPECT_EQ(pvt->t, &probe_);
    ASSERT_NE(pvt->pvt, nullptr);
    ASSERT_NE(pvt->outbuf.c, nullptr);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(static_cast<char*>(pvt->pvt)[i], 0);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(pvt->outbuf.c[i], 0);
    EXPECT_EQ(pvt->samples, 0);
    EXPECT_EQ(pvt->datalen, 0);
    hvn_trans_instance_destroy(pvt);
    EXPECT_EQ(g_probe.destroys, 1);
}

TEST_F(HostRuntime, NoInstanceFromAFailedNewOrAnUnknownName) {
    probe_.newpvt = failing_new;
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    EXPECT_EQ(hvn_trans_instance_new("probe"), nullptr);
    EXPECT_EQ(g_probe.destroys, 0);
    EXPECT_EQ(hvn_trans_instance_new("no-such-translator"), nullptr);
}

// A count passed to frame-out is used as given and leaves the instance's counter alone; a zero
// takes the counter and resets it. The format is looked up anew on every call.
TEST_F(HostRuntime, FrameOutTakesACounterOnlyWhereNoCountIsGiven) {
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    instance pvt("probe");
    ASSERT_TRUE(pvt);
    const struct {
        int samples, datalen;          // the counters before
        int arg_datalen, arg_samples;  // passed to frame-out; both 0: the default frame-out
        int out_samples, out_datalen;  // the frame handed on (0 samples: none)
        int left_samples, left_datalen;
    } cases[] = {
        {0, 0, 0, 0, 0, 0, 0, 0},   {12, 24, 0, 0, 12, 24, 0, 0}, {20, 7, 10, 80, 80, 10, 20, 7},
        {5, 3, 10, 0, 5, 10, 0, 3}, {0, 6, 0, 4, 4, 6, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "counters " << c.samples << "/" << c.datalen);
        hvn_format_renew();
        pvt->samples = c.samples;
        pvt->datalen = c.datalen;
        const bool given = c.arg_datalen || c.arg_samples;
        hvn_frame* out =
            given ? hvn_trans_frameout(pvt.get(), c.arg_datalen, c.arg_samples) : pvt.read();
        if (c.out_samples == 0) {
            EXPECT_EQ(out, nullptr);
        } else {
            expect_voice_frame(out, hvn_format_slin, c.out_samples, c.out_datalen, "probe");
            EXPECT_EQ(out->data, pvt->outbuf.c);
        }
        EXPECT_EQ(pvt->samples, c.left_samples);
        EXPECT_EQ(pvt->datalen, c.left_datalen);
    }
}

TEST_F(HostRuntime, RegistrationRefusesDuplicatesAndBadDescriptors) {
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    EXPECT_NE(__hvn_register_translator(&probe_, nullptr), 0) << "registered twice";
    const struct {
        const char* why;
        void (*spoil)(hvn_translator& t);
    } cases[] = {
        {"same name", [](hvn_translator& t) { std::strcpy(t.name, "probe"); }},
        {"no name", [](hvn_translator& t) { t.name[0] = '\0'; }},
        {"no frame-in", [](hvn_translator& t) { t.framein = nullptr; }},
        {"unknown output format", [](hvn_translator& t) { std::strcpy(t.format, "nonesuch"); }},
        {"unknown source codec", [](hvn_translator& t) { t.src_codec.name = "nonesuch"; }},
        {"negative private size", [](hvn_translator& t) { t.desc_size = -1; }},
        {"unterminated name", [](hvn_translator& t) { std::memset(t.name, 'x', sizeof t.name); }},
    };
    for (const auto& c : cases) {
        hvn_translator bad = make_probe("probe2");
        c.spoil(bad);
        EXPECT_NE(__hvn_register_translator(&bad, nullptr), 0) << c.why;
    }
    EXPECT_EQ(registered_translators().size(), 1u);
}

TEST_F(HostRuntime, InjectedResultsHitTheirRegistrationsOnly) {
    hvn_translator second = make_probe("probe-b");
    hvn_translator third = make_probe("probe-c");
    const int results[] = {0, 7};
    hvn_test_translator_registration_results(results, 2);
    EXPECT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    EXPECT_EQ(__hvn_register_translator(&second, nullptr), 7);
    EXPECT_EQ(__hvn_register_translator(&third, nullptr), 0);
    EXPECT_NE(hvn_unregister_translator(&second), 0) << "a failed registration was recorded";
    EXPECT_EQ(hvn_unregister_translator(&third), 0);
}

TEST_F(HostRuntime, UnregisterReportsUnknownDescriptors) {
    EXPECT_NE(hvn_unregister_translator(&probe_), 0);
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    EXPECT_EQ(hvn_unregister_translator(&probe_), 0);
    EXPECT_EQ(probe_.active, 0);
    EXPECT_EQ(hvn_translator_find("probe"), nullptr);
}

// ---- Console -----------------------------------------------------------------------------

int g_init_calls = 0;

char* cmd_show(hvn_cli_entry* e, int cmd, hvn_cli_args* a) {
    if (cmd == HVN_CLI_INIT) {
        ++g_init_calls;
        e->command = "probe show";
        e->usage = "Usage: probe show\n";
        return nullptr;
    }
    if (cmd != HVN_CLI_HANDLER) return nullptr;
    hvn_cli(a->fd, "show:%d:%s\n", a->argc, a->argv[a->argc - 1]);
    return nullptr;
}

char* cmd_show_all(hvn_cli_entry* e, int cmd, hvn_cli_args* a) {
    if (cmd == HVN_CLI_INIT) {
        e->command = "probe show all";
        e->usage = "Usage: probe show all\n";
        return nullptr;
    }
    if (cmd != HVN_CLI_HANDLER) return nullptr;
    hvn_cli(a->fd, "all\n");
    return HVN_CLI_SHOWUSAGE;
}

TEST(HostConsole, RegistrationInitialisesWithCodeMinusTwoAndRefusesDuplicates) {
    g_init_calls = 0;
    hvn_cli_entry entries[2] = {};
    entries[0].handler = cmd_show;
    entries[1].handler = cmd_show;
    EXPECT_NE(hvn_cli_register_multiple(entries, 2), 0) << "the same command twice";
    EXPECT_EQ(g_init_calls, 2);
    EXPECT_EQ(hvn_cli_find("probe show"), &entries[0]);
    EXPECT_EQ(entries[0].registered, 1);
    EXPECT_EQ(entries[1].registered, 0);
    EXPECT_EQ(hvn_cli_unregister_multiple(entries, 1), 0);
    EXPECT_EQ(hvn_cli_find("probe show"), nullptr);
    EXPECT_NE(hvn_cli_unregister_multiple(entries, 1), 0);
}

TEST(HostConsole, LongestCommandWinsAndExtraWordsArePassedOn) {
    hvn_cli_entry entries[2] = {};
    entries[0].handler = cmd_show;
    entries[1].handler = cmd_show_all;
    ASSERT_EQ(hvn_cli_register_multiple(entries, 2), 0);
    expect_console("probe show extra words", HVN_CLI_STATUS_OK, "show:4:words\n");
    expect_console("probe show all", HVN_CLI_STATUS_USAGE, "all\nUsage: probe show all\n");
    expect_console("probe", HVN_CLI_STATUS_NO_COMMAND, "");
    expect_console("", HVN_CLI_STATUS_NO_COMMAND, "");
    EXPECT_EQ(hvn_cli_unregister_multiple(entries, 2), 0);
}

// ---- Log ---------------------------------------------------------------------------------

TEST(HostLog, OneLineNamingLevelFileLineAndFunction) {
    log_capture log;
    hvn_log(HVN_LOG_WARNING, "codec_x", 42, "x_framein", "Bad %s (%d)\n", "thing", 7);
    hvn_log(HVN_LOG_ERROR, "f", 1, "g", "no newline");
    ASSERT_EQ(log.lines().size(), 2u);
    const log_line& l = log.lines()[0];
    EXPECT_EQ(l.level, 3);
    EXPECT_EQ(l.file, "codec_x");
    EXPECT_EQ(l.line, 42);
    EXPECT_EQ(l.function, "x_framein");
    EXPECT_EQ(l.message, "Bad thing (7)\n");
    EXPECT_EQ(l.text, "[WARNING] codec_x:42 x_framein: Bad thing (7)\n");
    EXPECT_EQ(log.lines()[1].text, "[ERROR] f:1 g: no newline\n") << "a message without a newline";
}

TEST(HostLog, DefaultsToStandardError) {
    hvn_log_set_sink(nullptr, nullptr);
    testing::internal::CaptureStderr();
    hvn_log(HVN_LOG_WARNING, "codec_x", 9, "op", "Out of buffer space\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[WARNING] codec_x:9 op: Out of buffer space\n");
}

// ---- Loader ------------------------------------------------------------------------------

TEST(HostLoader, ReportsWhyAFileIsNoModule) {
    char error[256];
    EXPECT_EQ(hvn_load_module("/nonexistent/codec.so", error, sizeof error), nullptr);
    EXPECT_NE(std::string(error).find("/nonexistent/codec.so"), std::string::npos) << error;
    const std::string host_lib = std::string(TARNEL_BINARY_DIR) + "/libhvn_host.so";
    EXPECT_EQ(hvn_load_module(host_lib.c_str(), error, sizeof error), nullptr);
    EXPECT_NE(std::string(error).find("no module descriptor"), std::string::npos) << error;
    EXPECT_EQ(hvn_load_module(TARNEL_TWO_DESCRIPTOR_MODULE_PATH, error, sizeof error), nullptr);
    EXPECT_NE(std::string(error).find("registered 2 module descriptors"), std::string::npos)
        << error;
    EXPECT_EQ(hvn_module_find("leaky_fixture"), nullptr);
    EXPECT_EQ(hvn_load_module("", error, sizeof error), nullptr);
}

// A module that forgets its registrations and loses memory (leaky_module.cpp): unloading it, the
// host removes and reports what it left registered, and LeakSanitizer sees the lost block. In a
// child process, so that the deliberate leak does not fail this one at exit (_exit skips the
// child's own exit-time check).
TEST(HostLoader, UnloadCleansUpAfterACarelessModuleAndItsLeakShows) {
#ifdef TARNEL_ASAN_BUILD
    const char* const leak_report = "detected memory leaks";
    auto leak_check = [] { return __lsan_do_recoverable_leak_check(); };
#else
    const char* const leak_report = "";
    auto leak_check = [] { return -1; };
#endif
    EXPECT_EXIT(
        {
            log_capture log;
            hvn_module* mod = hvn_load_module(TARNEL_LEAKY_MODULE_PATH, nullptr, 0);
            if (!mod || !hvn_translator_find("leaky") || !hvn_cli_find("leaky show")) _exit(2);
            // Loaded: the block is reachable through the module's global, so no leak yet.
            if (leak_check() == 1) _exit(3);
            if (hvn_unload_module(mod, nullptr, 0) != 0) _exit(4);
            if (hvn_translator_find("leaky") || hvn_cli_find("leaky show")) _exit(5);
            const std::string left = "Module 'leaky_fixture' left ";
            if (log.lines().size() != 2 ||
                log.lines()[0].message != left + "translator 'leaky' registered\n" ||
                log.lines()[1].message != left + "console command 'leaky show' registered\n")
                _exit(6);
            _exit(leak_check() == 0 ? 7 : 42);
        },
        ::testing::ExitedWithCode(42), leak_report);
}

}  // namespace
