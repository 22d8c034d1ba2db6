// A progress line for work long enough to wonder about: shown on a terminal only, once the
// work has taken about a second, and rewritten in place a few times a second.
#pragma once

#include <cstdint>
#include <string>

#include "tools/command.h"

namespace tarnel::tool {

class progress_line {
public:
    // `what` starts the line, e.g. "encoding speech.wav". Shows nothing with -q, or when
    // standard error is not a terminal.
    progress_line(const context& ctx, std::string what);
    ~progress_line() { clear(); }
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    // Samples of audio done so far, of `total` (negative when unknown); `fraction` of the input
    // read, 0 to 1 (negative when unknown), for when only that is known.
    void update(uint64_t samples, int64_t total, double fraction);
    // Erases the line, so that what follows starts on a clean one.
    void clear();

private:
    int fd_;
    bool enabled_;
    std::string what_;
    double start_;
    double next_;
    bool shown_ = false;
};

}  // namespace tarnel::tool
