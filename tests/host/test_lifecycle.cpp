// A long-running host loads, reloads and unloads modules many times in one process, with calls
// coming and going in between. Whatever a cycle leaves behind (a registry entry, a console
// command, a mapped object, a block of memory) accumulates until the host misbehaves or runs
// out. A thousand cycles must leave the host exactly as they found it.
//
// Leaks are checked two ways: in the plain build by the heap's in-use total, and in the
// sanitizer build (make test-sanitize) by LeakSanitizer, asked explicitly after the cycles.
// A leak check only proves something if it can see what a module loses once the module is
// unmapped, so the sanitizer build also loads a fixture module that leaks on purpose and
// checks that the leak is reported.
#include <dlfcn.h>
#include <malloc.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/host_test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define TARNEL_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNEL_LEAK_CHECK 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TARNEL_FOREIGN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARNEL_FOREIGN_ALLOCATOR 1
#endif
#endif
#ifdef TARNEL_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

using host_test::LogCapture;

namespace {

constexpr int kCycles = 1000;

bool object_is_mapped(const char* path) {
    void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    dlclose(h);  // drops the reference RTLD_NOLOAD just took
    return true;
}

size_t heap_in_use() { return mallinfo2().uordblks; }

// What the host holds: module records, translators and console commands.
struct Registries {
    size_t modules, translators, commands;
    bool operator==(const Registries& o) const {
        return modules == o.modules && translators == o.translators && commands == o.commands;
    }
};
Registries registries() {
    return {hvn_module_count(), hvn_translator_list(nullptr, 0), hvn_cli_list(nullptr, 0)};
}
std::ostream& operator<<(std::ostream& os, const Registries& r) {
    return os << r.modules << " modules, " << r.translators << " translators, " << r.commands
              << " commands";
}

// A short call on each translator: some audio in, whatever comes out read.
void run_calls(int cycle) {
    std::vector<int16_t> pcm(160 + cycle % 80);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>((i * 997 + cycle) % 4000 - 2000);
    std::vector<uint8_t> payload(20 + 2 * (cycle % 2));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + cycle);

    host_test::Instance encoder("lintog729");
    host_test::Instance decoder("g729tolin");
    host_test::Instance idle_decoder("g729tolin");  // created and destroyed without any media
    ASSERT_TRUE(encoder && decoder && idle_decoder) << "cycle " << cycle;
    hvn_frame in = host_test::slin_frame(pcm);
    ASSERT_EQ(hvn_trans_instance_feed(encoder.get(), &in), 0);
    hvn_frame* out = hvn_trans_instance_read(encoder.get());
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->datalen, 20);
    hvn_frame coded = host_test::g729_frame(payload);
    ASSERT_EQ(hvn_trans_instance_feed(decoder.get(), &coded), 0);
    out = hvn_trans_instance_read(decoder.get());
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->samples, payload.size() == 22 ? 240 : 160);
}

class LoadUnloadCycles : public ::testing::Test {};

TEST_F(LoadUnloadCycles, ThousandCyclesLeaveEveryRegistryEmptyAndTheObjectUnmapped) {
    LogCapture log;
    const Registries empty{0, 0, 0};
    ASSERT_EQ(registries(), empty) << "the host was not empty to begin with";
    ASSERT_FALSE(object_is_mapped(TARNEL_MODULE_PATH));
    size_t heap_after_warm_up = 0;
    (void)heap_after_warm_up;  // unused where the sanitizer does the leak check
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        char error[512] = "";
        hvn_module* mod = hvn_load_module(TARNEL_MODULE_PATH, error, sizeof error);
        ASSERT_NE(mod, nullptr) << "cycle " << cycle << ": " << error;
        ASSERT_EQ(hvn_reload_module(mod), 0) << "cycle " << cycle;
        ASSERT_EQ(registries().translators, 2u) << "cycle " << cycle;
        ASSERT_NE(hvn_cli_find("g729 show version"), nullptr) << "cycle " << cycle;

        if (cycle % 100 == 0) {
            // A module in use cannot go, and trying must not disturb it.
            host_test::Instance live("g729tolin");
            ASSERT_TRUE(live);
            ASSERT_NE(hvn_unload_module(mod, nullptr, 0), 0) << "cycle " << cycle;
            ASSERT_EQ(hvn_reload_module(mod), 0);
        }
        run_calls(cycle);
        if (HasFatalFailure()) return;
        ASSERT_EQ(hvn_module_instance_count(mod), 0) << "cycle " << cycle;

        ASSERT_EQ(hvn_unload_module(mod, error, sizeof error), 0) << "cycle " << cycle << ": " << error;
        ASSERT_EQ(registries(), empty) << "cycle " << cycle;
        ASSERT_EQ(hvn_module_find("codec_tarnel"), nullptr) << "cycle " << cycle;
        // Still mapped would mean the module's globals outlive it, and could hide a leak.
        ASSERT_FALSE(object_is_mapped(TARNEL_MODULE_PATH)) << "cycle " << cycle;
        if (cycle == 9) heap_after_warm_up = heap_in_use();
    }
    // The host reports whatever a module leaves registered: it must have nothing to report.
    EXPECT_TRUE(log.lines().empty()) << log.lines().front().text;

#ifdef TARNEL_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer found leaks (report above)";
#elif !defined(TARNEL_FOREIGN_ALLOCATOR)
    // Allocator bookkeeping may wobble by a few blocks; a leak of even one small block per
    // cycle would add tens of kilobytes over the 990 cycles measured.
    const size_t heap_now = heap_in_use();
    EXPECT_LE(heap_now, heap_after_warm_up + 16 * 1024)
        << "heap in use grew from " << heap_after_warm_up << " to " << heap_now << " bytes";
#endif
}

TEST_F(LoadUnloadCycles, LeakCheckSeesWhatAnUnloadedModuleLost) {
#ifndef TARNEL_LEAK_CHECK
    GTEST_SKIP() << "needs LeakSanitizer: run in the sanitizer build";
#else
    // In a child process, so that the deliberate leak does not fail this one at exit; _exit
    // skips the child's own exit-time check.
    EXPECT_EXIT(
        {
            char error[512] = "";
            hvn_module* mod = hvn_load_module(TARNEL_LEAKY_MODULE_PATH, error, sizeof error);
            if (!mod) _exit(2);
            // Loaded: the block is reachable through the module's global, so no leak yet.
            const int while_loaded = __lsan_do_recoverable_leak_check();
            if (hvn_unload_module(mod, nullptr, 0) != 0) _exit(3);
            const int after_unload = __lsan_do_recoverable_leak_check();
            _exit(while_loaded == 0 && after_unload != 0 ? 42 : 1);
        },
        ::testing::ExitedWithCode(42), "detected memory leaks");
#endif
}

}  // namespace
