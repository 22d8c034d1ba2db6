// The module as the host's loader sees it: descriptor, load, reload, unload, failed load, and
// the descriptors and console command it registers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/host_test_support.h"

using namespace tarnel::test;

namespace {

const char* const kVersionLine =
    "Corvane G.729A Module Version 13.0_3.1.10 (optimized for x86_64\n";

class ModuleLifecycle : public ::testing::Test {
protected:
    void SetUp() override { modules_before_ = hvn_module_count(); }
    void TearDown() override {
        hvn_test_translator_registration_results(nullptr, 0);
        hvn_test_fail_cli_registration(0);
        EXPECT_EQ(hvn_module_count(), modules_before_) << "a module record outlived its test";
        // The host cleans up after a module that forgets something, and says so: nothing to say.
        EXPECT_TRUE(log_.lines().empty()) << log_.lines().front().text;
    }
    size_t modules_before_ = 0;
    log_capture log_;
};

void expect_nothing_registered() {
    EXPECT_EQ(hvn_translator_find("lintog729"), nullptr);
    EXPECT_EQ(hvn_translator_find("g729tolin"), nullptr);
    EXPECT_EQ(hvn_cli_find("g729 show version"), nullptr);
    EXPECT_TRUE(registered_translators().empty());
    EXPECT_TRUE(registered_cli_entries().empty());
    EXPECT_EQ(hvn_module_find("codec_tarnel"), nullptr);
}

// ---- Load, reload, unload ----------------------------------------------------------------

TEST_F(ModuleLifecycle, LoadRegistersBothTranslatorsDecoderFirstAndTheCommand) {
    loaded_module mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    EXPECT_EQ(hvn_module_find("codec_tarnel"), mod.get());
    const auto translators = registered_translators();
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

    // Reload changes nothing; unload takes everything away again.
    EXPECT_EQ(hvn_reload_module(mod.get()), 0);
    EXPECT_EQ(registered_translators(), translators);
    EXPECT_EQ(hvn_cli_find("g729 show version"), e);
    EXPECT_TRUE(instance("lintog729")) << "instances cannot be created after a reload";
    EXPECT_EQ(mod.unload(), 0);
    expect_nothing_registered();
}

TEST_F(ModuleLifecycle, DescriptorCarriesTheModuleIdentity) {
    loaded_module mod;
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
    EXPECT_TRUE(info->load && info->reload && info->unload);
    EXPECT_FALSE(info->spare_entry1 || info->spare_entry2);
    const std::string checksum(info->buildopt_sum, sizeof info->buildopt_sum);
    EXPECT_EQ(checksum, std::string(checksum.size(), '\0'));
}

TEST_F(ModuleLifecycle, SecondLoadIsRefusedAndUnloadWaitsForLiveInstances) {
    loaded_module mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    {
        loaded_module second;
        EXPECT_EQ(second.get(), nullptr);
        EXPECT_NE(second.error().find("already loaded"), std::string::npos) << second.error();
    }
    {
        instance dec("g729tolin");
        ASSERT_TRUE(dec);
        EXPECT_EQ(hvn_module_instance_count(mod.get()), 1);
        EXPECT_NE(mod.unload(), 0);
        EXPECT_EQ(registered_translators().size(), 2u) << "a refused unload still unloaded";
    }
    EXPECT_EQ(hvn_module_instance_count(mod.get()), 0);
    EXPECT_EQ(mod.unload(), 0);
}

// The unregistration calls a module makes, in order, as "kind name".
class unregistrations {
public:
    unregistrations() { hvn_test_set_unregister_hook(&unregistrations::hook, this); }
    ~unregistrations() { hvn_test_set_unregister_hook(nullptr, nullptr); }
    unregistrations(const unregistrations&) = delete;
    unregistrations& operator=(const unregistrations&) = delete;
    const std::vector<std::string>& calls() const { return calls_; }

private:
    static void hook(const char* kind, const char* name, void* self) {
        static_cast<unregistrations*>(self)->calls_.push_back(std::string(kind) + " " +
                                                              (name ? name : ""));
    }
    std::vector<std::string> calls_;
};

// Whichever registration fails, and with whatever result, both are attempted, the load result
// is the OR of the two results, the module undoes everything itself (encoder, decoder, then
// the console entry; the host finds nothing left to remove), and the next load succeeds.
TEST_F(ModuleLifecycle, FailedRegistrationUndoesEverything) {
    const struct {
        int decoder, encoder, load;  // registration results (decoder first) and load result
    } cases[] = {{-1, 0, -1}, {0, -1, -1}, {1, 0, 1}, {0, 2, 2}, {1, 2, 3}, {2, 2, 2}};
    const std::vector<std::string> undo_order = {"translator lintog729", "translator g729tolin",
                                                 "console g729 show version"};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "registrations give " << c.decoder << " and " << c.encoder);
        const int results[] = {c.decoder, c.encoder};
        hvn_test_translator_registration_results(results, 2);
        const int calls_before = hvn_test_translator_registration_calls();
        {
            unregistrations undone;
            loaded_module failed;
            EXPECT_EQ(failed.get(), nullptr);
            const std::string& why = failed.error();
            EXPECT_NE(why.find("load entry of 'codec_tarnel' failed (result " +
                               std::to_string(c.load) + ")"),
                      std::string::npos)
                << why;
            EXPECT_EQ(undone.calls(), undo_order);
        }
        EXPECT_EQ(hvn_test_translator_registration_calls() - calls_before, 2);
        expect_nothing_registered();
        loaded_module mod;
        ASSERT_NE(mod.get(), nullptr) << mod.error();
        EXPECT_EQ(registered_translators().size(), 2u);
        EXPECT_NE(hvn_cli_find("g729 show version"), nullptr);
    }
}

// The console command is a convenience: the load goes on without it, and unload is clean.
TEST_F(ModuleLifecycle, FailedConsoleRegistrationLeavesTheLoadGoingOn) {
    hvn_test_fail_cli_registration(-1);
    loaded_module mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    EXPECT_EQ(registered_translators().size(), 2u);
    EXPECT_TRUE(registered_cli_entries().empty());
    EXPECT_EQ(mod.unload(), 0);
    expect_nothing_registered();
}

// ---- Translator descriptors --------------------------------------------------------------

void expect_codec(const hvn_codec& c, const char* name) {
    EXPECT_STREQ(c.name, name);
    EXPECT_EQ(c.type, HVN_MEDIA_AUDIO);
    EXPECT_EQ(c.sample_rate, 8000u);
    EXPECT_FALSE(c.id || c.description || c.minimum_ms || c.maximum_ms || c.default_ms ||
                 c.minimum_bytes || c.samples_count || c.get_length)
        << name << ": a field the translation core does not match is set";
}

TEST_F(ModuleLifecycle, TranslatorDescriptors) {
    loaded_module mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    const struct {
        const char* name;
        const char* src;
        const char* dst;
        bool frameout;  // the decoder leaves frame-out to the host's default
        size_t desc_size;
    } cases[] = {
        // The encoder's private area: its state followed by the 8000-sample input buffer.
        {"lintog729", "slin", "g729", true, sizeof(tarnel::g729_encoder_state) + 16000},
        {"g729tolin", "g729", "slin", false, sizeof(tarnel::g729_decoder_state)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const hvn_translator* t = hvn_translator_find(c.name);
        ASSERT_NE(t, nullptr);
        expect_codec(t->src_codec, c.src);
        expect_codec(t->dst_codec, c.dst);
        EXPECT_STREQ(t->format, c.dst);
        EXPECT_TRUE(t->newpvt && t->framein && t->destroy && t->sample);
        EXPECT_EQ(t->frameout != nullptr, c.frameout);
        EXPECT_EQ(t->buffer_samples, 8000);
        EXPECT_EQ(t->buf_size, 16000);
        EXPECT_EQ(t->desc_size, static_cast<int>(c.desc_size));
    }
}

// ---- Console command ---------------------------------------------------------------------

TEST_F(ModuleLifecycle, VersionCommandPrintsTheVersionLineWhateverFollows) {
    loaded_module mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    expect_console("g729 show version", HVN_CLI_STATUS_OK, kVersionLine);
    expect_console("g729 show version now", HVN_CLI_STATUS_OK, kVersionLine);
    expect_console("  g729  show version  a b c", HVN_CLI_STATUS_OK, kVersionLine);
    expect_console("g729 show", HVN_CLI_STATUS_NO_COMMAND, "");
    expect_console("show g729 version", HVN_CLI_STATUS_NO_COMMAND, "");
}

TEST_F(ModuleLifecycle, VersionEntryIsInitialisedByItsHandlerWhichOffersNoCompletion) {
    loaded_module mod;
    ASSERT_NE(mod.get(), nullptr) << mod.error();
    hvn_cli_entry* e = hvn_cli_find("g729 show version");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->command, "g729 show version");
    EXPECT_STREQ(e->usage, "Usage: show g729 version\n       Displays G.729 module version\n");
    EXPECT_STREQ(e->summary, "Show G.729 Module Version");

    fd_capture console;
    const char* argv[] = {"g729", "show", "v", nullptr};
    hvn_cli_args args{console.fd(), 3, argv, "g729 show v", "v", 10, 0};
    const hvn_cli_entry before = *e;
    EXPECT_EQ(e->handler(e, HVN_CLI_GENERATE, &args), nullptr);
    EXPECT_EQ(console.text(), "");
    EXPECT_EQ(e->command, before.command);
    EXPECT_EQ(e->usage, before.usage);
}

}  // namespace
