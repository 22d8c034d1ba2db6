// Which sanitizer the build runs under, for the checks that depend on it: a sanitizer brings its
// own allocator (so malloc cannot be interposed or its statistics read) and, with ASan, a leak
// check that can be asked for explicitly.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TARNEL_ASAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNEL_ASAN_BUILD 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define TARNEL_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARNEL_TSAN_BUILD 1
#endif
#endif
