#include "support/alloc_counter.h"

#include <atomic>
#include <cstddef>

#include "support/sanitizers.h"

#if defined(TARNEL_ASAN_BUILD) || defined(TARNEL_TSAN_BUILD)
#define TARNEL_NO_ALLOC_COUNT 1
#endif

namespace {
std::atomic<long> g_allocations{0};
}

#ifndef TARNEL_NO_ALLOC_COUNT
// glibc's own entry points; operator new ends up in malloc, so this sees C++ allocations too.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}
#endif

namespace tarnel::test {

bool alloc_counting_available() {
#ifdef TARNEL_NO_ALLOC_COUNT
    return false;
#else
    return true;
#endif
}

long allocation_count() { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace tarnel::test
