#include "dsp/wide_lanes.h"

#include <atomic>

namespace tarnel {

namespace {

std::atomic<bool> enabled{true};

}  // namespace

bool wide_lanes() {
#if TARNEL_HAVE_WIDE_LANES
    // Checks the operating system's support for the wider registers as well.
    return __builtin_cpu_supports("avx") && enabled.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void set_wide_lanes_enabled(bool on) { enabled.store(on, std::memory_order_relaxed); }

}  // namespace tarnel
