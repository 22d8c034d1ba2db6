// The module as the host's loader sees it: descriptor, load, reload, unload, failed load, and
// the descriptors and console command it registers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "support/host_test_support.h"

using host_test::LoadedModule;
using host_test::LogCapture;

namespace {

const char* const kVersionLine = "Corvane G.729A Module Version 13.0_3.1.10 (optimized for x86_64\n";

class ModuleLifecycle : public ::testing::Test {
protected:
    void SetUp() override { modules_before_ = hvn_module_count(); }
    void TearDown() override {
        hvn_test_fail_translator_registration(0);
        EXPECT_EQ(hvn_module_count(), modules_before_) << "a module record outlived its test";
    }
    size_t modules_before_ = 0;
};

void expect_nothing_registered() {
    EXPECT_EQ(hvn_translator_find("lintog729"), nullptr);
    EXPECT_EQ(hvn_translator_find("g729tolin"), nullptr);
    EXPECT_EQ(hvn_cli_find("g729 show version"), nullptr);
    EXPECT_TRUE(host_test::registered_translators().empty());
    EXPECT_TRUE(host_test::registered_cli_entries().empty());
}

// ---- Load, reload, unload ----------------------------------------------------------------

TEST_F(ModuleLifecycle, LoadRegistersBothTranslatorsDecoderFirstAndTheCommand) {
    LogCapture log;
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();

    EXPECT_EQ(hvn_module_find("codec_tarnel"), mod.get());
    const auto translators = host_test::registered_translators();
    ASSERT_EQ(translators.size(), 2u);
    EXPECT_STREQ(translators[0]->name, "g729tolin");
    EXPECT_STREQ(translators[1]->name, "lintog729");
    for (const hvn_translator* t : translators) {
        EXPECT_EQ(t->module, mod.get()) << t->name << " registered without the self reference";
        EXPECT_EQ(t->active, 1);
    }
    hvn_cli_entry* e = hvn_cli_find("g729 show version");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->module, mod.get());
    EXPECT_TRUE(log.lines().empty()) << log.lines().front().text;
}

TEST_F(ModuleLifecycle, DescriptorCarriesTheModuleIdentity) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    const hvn_module_info* info = hvn_module_get_info(mod.get());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->self, mod.get());
    EXPECT_STREQ(info->name, "codec_tarnel");
    EXPECT_STREQ(info->description, "Corvane G.729 Annex A Codec (optimized for x86_64");
    EXPECT_EQ(info->flags, 3u);
    EXPECT_EQ(info->load_pri, 128);
    EXPECT_EQ(info->support_level, 2);
    EXPECT_EQ(info->dependencies, nullptr);
    EXPECT_NE(info->load, nullptr);
    EXPECT_NE(info->reload, nullptr);
    EXPECT_NE(info->unload, nullptr);
    EXPECT_EQ(info->spare_entry1, nullptr);
    EXPECT_EQ(info->spare_entry2, nullptr);
    for (size_t i = 0; i < sizeof info->buildopt_sum; ++i)
        EXPECT_EQ(info->buildopt_sum[i], '\0') << "checksum byte " << i;
}

TEST_F(ModuleLifecycle, ReloadReturnsZeroAndChangesNothing) {
    LogCapture log;
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    hvn_translator* dec = hvn_translator_find("g729tolin");
    hvn_translator* enc = hvn_translator_find("lintog729");
    hvn_cli_entry* cmd = hvn_cli_find("g729 show version");

    EXPECT_EQ(hvn_reload_module(mod.get()), 0);
    EXPECT_EQ(hvn_reload_module(mod.get()), 0);

    EXPECT_EQ(hvn_translator_find("g729tolin"), dec);
    EXPECT_EQ(hvn_translator_find("lintog729"), enc);
    EXPECT_EQ(hvn_cli_find("g729 show version"), cmd);
    EXPECT_EQ(host_test::registered_translators().size(), 2u);
    host_test::Instance encoder("lintog729");
    EXPECT_TRUE(encoder) << "instances cannot be created after a reload";
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ModuleLifecycle, UnloadRemovesEverythingAndTheDestructorForgetsTheDescriptor) {
    LogCapture log;
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    hvn_translator* enc = hvn_translator_find("lintog729");
    ASSERT_NE(enc, nullptr);

    EXPECT_EQ(mod.unload(), 0);

    expect_nothing_registered();
    EXPECT_EQ(hvn_module_find("codec_tarnel"), nullptr);
    // The host cleans up after modules that forget something, and says so: nothing to say here.
    EXPECT_TRUE(log.lines().empty()) << log.lines().front().text;
}

TEST_F(ModuleLifecycle, LoadsAgainAfterAnUnload) {
    for (int round = 0; round < 3; ++round) {
        LoadedModule mod;
        ASSERT_NE(mod.get(), nullptr) << "round " << round << ": " << mod.error();
        EXPECT_NE(hvn_translator_find("lintog729"), nullptr);
        FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(hvn_cli_command(fileno(out), "g729 show version"), HVN_CLI_STATUS_OK);
        std::fclose(out);
        ASSERT_EQ(mod.unload(), 0);
        expect_nothing_registered();
    }
}

TEST_F(ModuleLifecycle, SecondLoadOfTheSameObjectIsRefused) {
    LoadedModule first;
    ASSERT_NE(first.get(), nullptr) << first.error();
    LoadedModule second;
    EXPECT_EQ(second.get(), nullptr);
    EXPECT_NE(second.error().find("already loaded"), std::string::npos) << second.error();
    EXPECT_EQ(host_test::registered_translators().size(), 2u);
}

TEST_F(ModuleLifecycle, UnloadWaitsForLiveInstances) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    {
        host_test::Instance dec("g729tolin");
        ASSERT_TRUE(dec);
        EXPECT_EQ(hvn_module_instance_count(mod.get()), 1);
        EXPECT_NE(mod.unload(), 0);
        EXPECT_NE(hvn_translator_find("g729tolin"), nullptr) << "refused unload still unloaded";
    }
    EXPECT_EQ(hvn_module_instance_count(mod.get()), 0);
    EXPECT_EQ(mod.unload(), 0);
}

// ---- Failed load -------------------------------------------------------------------------

TEST_F(ModuleLifecycle, FailedSecondRegistrationUndoesEverything) {
    LogCapture log;
    hvn_test_fail_translator_registration(2);
    LoadedModule mod;
    EXPECT_EQ(mod.get(), nullptr);
    EXPECT_NE(mod.error().find("load entry"), std::string::npos) << mod.error();
    EXPECT_NE(mod.error().find("result -1"), std::string::npos)
        << "the load result is the OR of the two registration results: " << mod.error();
    expect_nothing_registered();
    EXPECT_EQ(hvn_module_find("codec_tarnel"), nullptr);
    // The module undid its own registrations: the host found nothing left to remove.
    EXPECT_TRUE(log.lines().empty()) << log.lines().front().text;
}

TEST_F(ModuleLifecycle, FailedFirstRegistrationUndoesTheSecondToo) {
    LogCapture log;
    hvn_test_fail_translator_registration(1);
    const int calls_before = hvn_test_translator_registration_calls();
    LoadedModule mod;
    EXPECT_EQ(mod.get(), nullptr);
    EXPECT_EQ(hvn_test_translator_registration_calls() - calls_before, 2)
        << "the encoder registration must be attempted even after the decoder's failed";
    expect_nothing_registered();
    EXPECT_TRUE(log.lines().empty()) << log.lines().front().text;
}

TEST_F(ModuleLifecycle, LoadSucceedsAfterAFailedOne) {
    hvn_test_fail_translator_registration(2);
    {
        LoadedModule failed;
        ASSERT_EQ(failed.get(), nullptr);
    }
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    EXPECT_EQ(host_test::registered_translators().size(), 2u);
    EXPECT_NE(hvn_cli_find("g729 show version"), nullptr);
}

// ---- Translator descriptors --------------------------------------------------------------

void expect_codec(const hvn_codec& c, const char* name) {
    EXPECT_STREQ(c.name, name);
    EXPECT_EQ(c.type, HVN_MEDIA_AUDIO);
    EXPECT_EQ(c.sample_rate, 8000u);
    EXPECT_EQ(c.id, 0u);
    EXPECT_EQ(c.description, nullptr);
    EXPECT_EQ(c.minimum_ms, 0u);
    EXPECT_EQ(c.maximum_ms, 0u);
    EXPECT_EQ(c.default_ms, 0u);
    EXPECT_EQ(c.minimum_bytes, 0u);
    EXPECT_EQ(c.samples_count, nullptr);
    EXPECT_EQ(c.get_length, nullptr);
}

TEST_F(ModuleLifecycle, EncoderDescriptor) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    const hvn_translator* t = hvn_translator_find("lintog729");
    ASSERT_NE(t, nullptr);
    expect_codec(t->src_codec, "slin");
    expect_codec(t->dst_codec, "g729");
    EXPECT_STREQ(t->format, "g729");
    EXPECT_NE(t->newpvt, nullptr);
    EXPECT_NE(t->framein, nullptr);
    EXPECT_NE(t->frameout, nullptr);
    EXPECT_NE(t->destroy, nullptr);
    EXPECT_NE(t->sample, nullptr);
    EXPECT_EQ(t->buffer_samples, 8000);
    EXPECT_EQ(t->buf_size, 16000);
    // Encoder state followed by the 8000-sample input buffer.
    EXPECT_EQ(t->desc_size, static_cast<int>(sizeof(tarnel::g729_encoder_state) + 16000));
}

TEST_F(ModuleLifecycle, DecoderDescriptorUsesTheDefaultFrameOut) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    const hvn_translator* t = hvn_translator_find("g729tolin");
    ASSERT_NE(t, nullptr);
    expect_codec(t->src_codec, "g729");
    expect_codec(t->dst_codec, "slin");
    EXPECT_STREQ(t->format, "slin");
    EXPECT_NE(t->newpvt, nullptr);
    EXPECT_NE(t->framein, nullptr);
    EXPECT_EQ(t->frameout, nullptr);
    EXPECT_NE(t->destroy, nullptr);
    EXPECT_NE(t->sample, nullptr);
    EXPECT_EQ(t->buffer_samples, 8000);
    EXPECT_EQ(t->buf_size, 16000);
    EXPECT_EQ(t->desc_size, static_cast<int>(sizeof(tarnel::g729_decoder_state)));
}

// ---- Console command ---------------------------------------------------------------------

TEST_F(ModuleLifecycle, VersionCommandPrintsTheVersionLine) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    host_test::FdCapture console;
    EXPECT_EQ(hvn_cli_command(console.fd(), "g729 show version"), HVN_CLI_STATUS_OK);
    EXPECT_EQ(console.text(), kVersionLine);
}

TEST_F(ModuleLifecycle, VersionCommandIgnoresTrailingWords) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    for (const char* line : {"g729 show version now", "g729 show version  a b c", "  g729  show version x"}) {
        host_test::FdCapture console;
        EXPECT_EQ(hvn_cli_command(console.fd(), line), HVN_CLI_STATUS_OK) << line;
        EXPECT_EQ(console.text(), kVersionLine) << line;
    }
}

TEST_F(ModuleLifecycle, VersionCommandNeedsAllItsWords) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    host_test::FdCapture console;
    EXPECT_EQ(hvn_cli_command(console.fd(), "g729 show"), HVN_CLI_STATUS_NO_COMMAND);
    EXPECT_EQ(hvn_cli_command(console.fd(), "show g729 version"), HVN_CLI_STATUS_NO_COMMAND);
    EXPECT_EQ(console.text(), "");
}

TEST_F(ModuleLifecycle, VersionEntryIsInitialisedByItsHandler) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    hvn_cli_entry* e = hvn_cli_find("g729 show version");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->command, "g729 show version");
    EXPECT_STREQ(e->usage, "Usage: show g729 version\n       Displays G.729 module version\n");
    EXPECT_STREQ(e->summary, "Show G.729 Module Version");
}

TEST_F(ModuleLifecycle, VersionHandlerOffersNoCompletion) {
    LoadedModule mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    hvn_cli_entry* e = hvn_cli_find("g729 show version");
    ASSERT_NE(e, nullptr);
    host_test::FdCapture console;
    const char* argv[] = {"g729", "show", "v", nullptr};
    hvn_cli_args args{console.fd(), 3, argv, "g729 show v", "v", 10, 0};
    const char* command = e->command;
    const char* usage = e->usage;
    EXPECT_EQ(e->handler(e, HVN_CLI_GENERATE, &args), nullptr);
    EXPECT_EQ(console.text(), "");
    EXPECT_EQ(e->command, command);
    EXPECT_EQ(e->usage, usage);
}

}  // namespace
