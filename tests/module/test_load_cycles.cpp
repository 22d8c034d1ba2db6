// A long-running host loads, reloads and unloads modules many times in one process, with calls
// coming and going in between. Whatever a cycle leaves behind (a registry entry, a console
// command, a mapped object, a block of memory) accumulates until the host misbehaves or runs
// out. A thousand cycles must leave the host exactly as they found it.
//
// Leaks are checked two ways: in the plain build by the heap's in-use total, and in the
// sanitizer build (make test-sanitize) by LeakSanitizer, asked explicitly after the cycles
// (tests/host shows that it sees what an unmapped module lost).
#include <dlfcn.h>
#include <malloc.h>

#include <gtest/gtest.h>

#include <vector>

#include "support/host_test_support.h"
#include "support/sanitizers.h"

#ifdef TARNEL_ASAN_BUILD
#include <sanitizer/lsan_interface.h>
#endif

using namespace tarnel::test;

namespace {

constexpr int kCycles = 1000;

bool object_is_mapped(const char* path) {
    void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    dlclose(h);  // drops the reference RTLD_NOLOAD just took
    return true;
}

// What the host holds: module records, translators and console commands.
struct registry_sizes {
    size_t modules, translators, commands;
    bool operator==(const registry_sizes& o) const {
        return modules == o.modules && translators == o.translators && commands == o.commands;
    }
};
registry_sizes registries() {
    return {hvn_module_count(), hvn_translator_list(nullptr, 0), hvn_cli_list(nullptr, 0)};
}
std::ostream& operator<<(std::ostream& os, const registry_sizes& r) {
    return os << r.modules << " modules, " << r.translators << " translators, " << r.commands
              << " commands";
}

// A short call on each translator: some audio in, whatever comes out read.
void run_calls(int cycle) {
    std::vector<int16_t> pcm(160 + cycle % 80);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>((i * 997 + cycle) % 4000 - 2000);
    std::vector<uint8_t> payload(20 + 2 * (cycle % 2));
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + cycle);

    instance encoder("lintog729");
    instance decoder("g729tolin");
    instance idle_decoder("g729tolin");  // created and destroyed without any media
    ASSERT_TRUE(encoder && decoder && idle_decoder) << "cycle " << cycle;
    ASSERT_EQ(encoder.feed(slin_frame(pcm)), 0);
    hvn_frame* out = encoder.read();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->datalen, 20);
    ASSERT_EQ(decoder.feed(g729_frame(payload)), 0);
    out = decoder.read();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->samples, payload.size() == 22 ? 240 : 160);
}

TEST(LoadUnloadCycles, ThousandCyclesLeaveEveryRegistryEmptyAndTheObjectUnmapped) {
    log_capture log;
    const registry_sizes empty{0, 0, 0};
    ASSERT_EQ(registries(), empty) << "the host was not empty to begin with";
    ASSERT_FALSE(object_is_mapped(TARNEL_MODULE_PATH));
    size_t heap_after_warm_up = 0;
    (void)heap_after_warm_up;  // unused where a sanitizer's allocator keeps the books
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        char error[512] = "";
        hvn_module* mod = hvn_load_module(TARNEL_MODULE_PATH, error, sizeof error);
        ASSERT_NE(mod, nullptr) << "cycle " << cycle << ": " << error;
        ASSERT_EQ(hvn_reload_module(mod), 0) << "cycle " << cycle;
        ASSERT_EQ(registries().translators, 2u) << "cycle " << cycle;
        ASSERT_NE(hvn_cli_find("g729 show version"), nullptr) << "cycle " << cycle;

        if (cycle % 100 == 0) {
            // A module in use cannot go, and trying must not disturb it.
            instance live("g729tolin");
            ASSERT_TRUE(live);
            ASSERT_NE(hvn_unload_module(mod, nullptr, 0), 0) << "cycle " << cycle;
            ASSERT_EQ(hvn_reload_module(mod), 0);
        }
        run_calls(cycle);
        if (::testing::Test::HasFatalFailure()) return;
        ASSERT_EQ(hvn_module_instance_count(mod), 0) << "cycle " << cycle;

        ASSERT_EQ(hvn_unload_module(mod, error, sizeof error), 0)
            << "cycle " << cycle << ": " << error;
        ASSERT_EQ(registries(), empty) << "cycle " << cycle;
        ASSERT_EQ(hvn_module_find("codec_tarnel"), nullptr) << "cycle " << cycle;
        // Still mapped would mean the module's globals outlive it, and could hide a leak.
        ASSERT_FALSE(object_is_mapped(TARNEL_MODULE_PATH)) << "cycle " << cycle;
        if (cycle == 9) heap_after_warm_up = mallinfo2().uordblks;
    }
    // The host reports whatever a module leaves registered: it must have nothing to report.
    EXPECT_TRUE(log.lines().empty()) << log.lines().front().text;

#if defined(TARNEL_ASAN_BUILD)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer found leaks (report above)";
#elif !defined(TARNEL_TSAN_BUILD)
    // Allocator bookkeeping may wobble by a few blocks; a leak of even one small block per
    // cycle would add tens of kilobytes over the 990 cycles measured.
    const size_t heap_now = mallinfo2().uordblks;
    EXPECT_LE(heap_now, heap_after_warm_up + 16 * 1024)
        << "heap in use grew from " << heap_after_warm_up << " to " << heap_now << " bytes";
#endif
}

}  // namespace
