// The stand-in host's own promises, checked with translators and commands defined here: what
// the module relies on must hold, or the module tests prove nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/host_test_support.h"

using host_test::LogCapture;

namespace {

// A translator that records what the host hands it.
struct Probe {
    int news = 0;
    int destroys = 0;
    hvn_trans_pvt* last = nullptr;
};
Probe g_probe;

int probe_new(hvn_trans_pvt* pvt) {
    ++g_probe.news;
    g_probe.last = pvt;
    return 0;
}
int probe_framein(hvn_trans_pvt* pvt, hvn_frame* f) {
    // Counts whatever arrives as samples and twice that as bytes.
    pvt->samples += f->samples;
    pvt->datalen += 2 * f->samples;
    return 0;
}
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
    void SetUp() override { g_probe = Probe{}; }
    void TearDown() override {
        hvn_unregister_translator(&probe_);
        hvn_test_fail_translator_registration(0);
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

TEST_F(HostRuntime, FailedNewInstanceYieldsNothing) {
    probe_.newpvt = failing_new;
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    EXPECT_EQ(hvn_trans_instance_new("probe"), nullptr);
    EXPECT_EQ(g_probe.destroys, 0);
}

TEST_F(HostRuntime, UnknownTranslatorYieldsNoInstance) {
    EXPECT_EQ(hvn_trans_instance_new("no-such-translator"), nullptr);
}

TEST_F(HostRuntime, DefaultFrameOutHandsOnCountsAndResetsThem) {
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    hvn_trans_pvt* pvt = hvn_trans_instance_new("probe");
    ASSERT_NE(pvt, nullptr);
    EXPECT_EQ(hvn_trans_instance_read(pvt), nullptr) << "nothing waiting, nothing handed on";
    hvn_frame in{};
    in.samples = 12;
    ASSERT_EQ(hvn_trans_instance_feed(pvt, &in), 0);
    hvn_frame* out = hvn_trans_instance_read(pvt);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->samples, 12);
    EXPECT_EQ(out->datalen, 24);
    EXPECT_EQ(out->data, pvt->outbuf.c);
    EXPECT_EQ(out->format, hvn_format_slin);
    EXPECT_EQ(out->frametype, HVN_FRAME_VOICE);
    EXPECT_STREQ(out->src, "probe");
    EXPECT_EQ(pvt->samples, 0);
    EXPECT_EQ(pvt->datalen, 0);
    hvn_trans_instance_destroy(pvt);
}

TEST_F(HostRuntime, ExplicitCountsLeaveTheCountersAlone) {
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    hvn_trans_pvt* pvt = hvn_trans_instance_new("probe");
    ASSERT_NE(pvt, nullptr);
    pvt->samples = 20;
    pvt->datalen = 7;
    hvn_frame* out = hvn_trans_frameout(pvt, 10, 80);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->datalen, 10);
    EXPECT_EQ(out->samples, 80);
    EXPECT_EQ(pvt->samples, 20);
    EXPECT_EQ(pvt->datalen, 7);
    hvn_trans_instance_destroy(pvt);
}

TEST_F(HostRuntime, FrameOutUsesTheCurrentFormatObject) {
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    hvn_trans_pvt* pvt = hvn_trans_instance_new("probe");
    ASSERT_NE(pvt, nullptr);
    hvn_format_renew();
    hvn_frame* out = hvn_trans_frameout(pvt, 2, 1);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->format, hvn_format_slin);
    hvn_trans_instance_destroy(pvt);
}

TEST_F(HostRuntime, RegistrationRefusesDuplicatesAndBadDescriptors) {
    ASSERT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    EXPECT_NE(__hvn_register_translator(&probe_, nullptr), 0);
    hvn_translator same_name = make_probe("probe");
    EXPECT_NE(__hvn_register_translator(&same_name, nullptr), 0);
    hvn_translator no_framein = make_probe("probe2");
    no_framein.framein = nullptr;
    EXPECT_NE(__hvn_register_translator(&no_framein, nullptr), 0);
    hvn_translator bad_format = make_probe("probe3");
    std::strcpy(bad_format.format, "nonesuch");
    EXPECT_NE(__hvn_register_translator(&bad_format, nullptr), 0);
    EXPECT_EQ(host_test::registered_translators().size(), 1u);
}

TEST_F(HostRuntime, InjectedFailureHitsTheNthRegistrationOnly) {
    hvn_translator second = make_probe("probe-b");
    hvn_translator third = make_probe("probe-c");
    hvn_test_fail_translator_registration(2);
    EXPECT_EQ(__hvn_register_translator(&probe_, nullptr), 0);
    EXPECT_NE(__hvn_register_translator(&second, nullptr), 0);
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
int g_last_argc = 0;

char* cmd_show(hvn_cli_entry* e, int cmd, hvn_cli_args* a) {
    if (cmd == HVN_CLI_INIT) {
        ++g_init_calls;
        e->command = "probe show";
        e->usage = "Usage: probe show\n";
        return nullptr;
    }
    if (cmd != HVN_CLI_HANDLER) return nullptr;
    g_last_argc = a->argc;
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

TEST(HostConsole, RegistrationInitialisesWithCodeMinusTwo) {
    g_init_calls = 0;
    hvn_cli_entry entries[1] = {};
    entries[0].handler = cmd_show;
    ASSERT_EQ(hvn_cli_register_multiple(entries, 1), 0);
    EXPECT_EQ(g_init_calls, 1);
    EXPECT_EQ(hvn_cli_find("probe show"), &entries[0]);
    EXPECT_EQ(entries[0].registered, 1);
    EXPECT_EQ(hvn_cli_unregister_multiple(entries, 1), 0);
    EXPECT_EQ(hvn_cli_find("probe show"), nullptr);
    EXPECT_NE(hvn_cli_unregister_multiple(entries, 1), 0);
}

TEST(HostConsole, LongestCommandWinsAndExtraWordsArePassedOn) {
    hvn_cli_entry entries[2] = {};
    entries[0].handler = cmd_show;
    entries[1].handler = cmd_show_all;
    ASSERT_EQ(hvn_cli_register_multiple(entries, 2), 0);
    {
        host_test::FdCapture out;
        EXPECT_EQ(hvn_cli_command(out.fd(), "probe show extra words"), HVN_CLI_STATUS_OK);
        EXPECT_EQ(out.text(), "show:4:words\n");
    }
    {
        host_test::FdCapture out;
        EXPECT_EQ(hvn_cli_command(out.fd(), "probe show all"), HVN_CLI_STATUS_USAGE);
        EXPECT_EQ(out.text(), "all\nUsage: probe show all\n");
    }
    {
        host_test::FdCapture out;
        EXPECT_EQ(hvn_cli_command(out.fd(), "probe"), HVN_CLI_STATUS_NO_COMMAND);
        EXPECT_EQ(hvn_cli_command(out.fd(), ""), HVN_CLI_STATUS_NO_COMMAND);
        EXPECT_EQ(out.text(), "");
    }
    EXPECT_EQ(hvn_cli_unregister_multiple(entries, 2), 0);
}

TEST(HostConsole, DuplicateCommandIsRefused) {
    hvn_cli_entry a[1] = {};
    hvn_cli_entry b[1] = {};
    a[0].handler = cmd_show;
    b[0].handler = cmd_show;
    ASSERT_EQ(hvn_cli_register_multiple(a, 1), 0);
    EXPECT_NE(hvn_cli_register_multiple(b, 1), 0);
    EXPECT_EQ(hvn_cli_find("probe show"), &a[0]);
    EXPECT_EQ(hvn_cli_unregister_multiple(a, 1), 0);
}

// ---- Log ---------------------------------------------------------------------------------

TEST(HostLog, OneLineNamingLevelFileLineAndFunction) {
    LogCapture log;
    hvn_log(HVN_LOG_WARNING, "codec_x", 42, "x_framein", "Bad %s (%d)\n", "thing", 7);
    ASSERT_EQ(log.lines().size(), 1u);
    const host_test::LogLine& l = log.lines()[0];
    EXPECT_EQ(l.level, 3);
    EXPECT_EQ(l.file, "codec_x");
    EXPECT_EQ(l.line, 42);
    EXPECT_EQ(l.function, "x_framein");
    EXPECT_EQ(l.message, "Bad thing (7)\n");
    EXPECT_EQ(l.text, "[WARNING] codec_x:42 x_framein: Bad thing (7)\n");
}

TEST(HostLog, MessageWithoutNewlineStillEndsTheLine) {
    LogCapture log;
    hvn_log(HVN_LOG_ERROR, "f", 1, "g", "no newline");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text, "[ERROR] f:1 g: no newline\n");
}

TEST(HostLog, DefaultsToStandardError) {
    hvn_log_set_sink(nullptr, nullptr);
    testing::internal::CaptureStderr();
    hvn_log(HVN_LOG_WARNING, "codec_x", 9, "op", "Out of buffer space\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[WARNING] codec_x:9 op: Out of buffer space\n");
}

// ---- Loader ------------------------------------------------------------------------------

TEST(HostLoader, ReportsWhyAFileIsNoModule) {
    char error[256];
    EXPECT_EQ(hvn_load_module("/nonexistent/codec.so", error, sizeof error), nullptr);
    EXPECT_NE(std::string(error).find("/nonexistent/codec.so"), std::string::npos) << error;
    const std::string host_lib = std::string(TARNEL_BINARY_DIR) + "/libhvn_host.so";
    EXPECT_EQ(hvn_load_module(host_lib.c_str(), error, sizeof error), nullptr);
    EXPECT_NE(std::string(error).find("no module descriptor"), std::string::npos) << error;
    EXPECT_EQ(hvn_load_module("", error, sizeof error), nullptr);
}

}  // namespace
