// The audio-file reader over arbitrary bytes, taken through its public entry point exactly as a
// user's file: the bytes are a memory file, named by its /proc path, read once as a container
// (every format and encoding libsndfile recognises) and once as headerless samples. Whatever
// the bytes, a read either succeeds with samples or fails with one line naming the file and no
// samples; headerless whole samples come back bit for bit; no descriptor is left open.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "media/audio_file.h"

namespace {

int g_file = -1;     // the memory file that holds each input in turn
std::string g_path;  // its name in /proc, which the reader opens like any other

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "fuzz_audio_file: %s %s\n", what, detail.c_str());
    std::abort();
}

// The descriptor the next open would get: a leaked one takes the lowest free number, so a
// different answer after a read means the read left a file open.
int next_descriptor() {
    const int fd = ::dup(STDERR_FILENO);
    if (fd < 0) fail("dup failed");
    ::close(fd);
    return fd;
}

void check_outcome(const tarnel::media::pcm_result& r, const char* how) {
    if (r.ok()) {
        if (r.samples.empty()) fail(how, "read succeeded with no samples");
        return;
    }
    if (!r.samples.empty()) fail(how, "read failed but returned samples");
    if (r.error.compare(0, g_path.size() + 2, g_path + ": ") != 0)
        fail(how, "error does not name the file: " + r.error);
    if (r.error.find('\n') != std::string::npos) fail(how, "error is not one line: " + r.error);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = ::memfd_create("fuzz_audio_file", MFD_CLOEXEC);
    if (g_file < 0) fail("memfd_create failed");
    g_path = "/proc/self/fd/" + std::to_string(g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (::ftruncate(g_file, 0) != 0 ||
        (size > 0 && ::pwrite(g_file, data, size, 0) != static_cast<ssize_t>(size)))
        fail("cannot fill the memory file");
    const int free_before = next_descriptor();

    check_outcome(tarnel::media::read_pcm(g_path, false), "as a container:");

    const tarnel::media::pcm_result raw = tarnel::media::read_pcm(g_path, true);
    check_outcome(raw, "headerless:");
    if (raw.ok() != (size > 0 && size % 2 == 0))
        fail("headerless:", "whole samples refused, or a part sample taken");
    for (size_t i = 0; i < raw.samples.size(); ++i)
        if (raw.samples[i] != static_cast<int16_t>(data[2 * i] | (data[2 * i + 1] << 8)))
            fail("headerless:", "sample " + std::to_string(i) + " differs from the bytes");

    if (next_descriptor() != free_before) fail("a read left a file open");
    return 0;
}
