#include "tools/progress.h"

#include <unistd.h>

#include <cstdio>

#include "dsp/frame.h"

namespace tarnel::tool {

namespace {

constexpr double kFirstAfterSeconds = 1.0;
constexpr double kEverySeconds = 0.25;
// Carriage return to rewrite the line; erase-to-end-of-line after it.
constexpr const char* kEraseRest = "\033[K";

}  // namespace

progress_line::progress_line(const context& ctx, std::string what)
    : fd_(ctx.io.err),
      enabled_(!ctx.quiet && ::isatty(ctx.io.err) == 1),
      what_(std::move(what)),
      start_(wall_seconds()),
      next_(start_ + kFirstAfterSeconds) {}

void progress_line::update(uint64_t samples, int64_t total, double fraction) {
    if (!enabled_) return;
    const double now = wall_seconds();
    if (now < next_) return;
    next_ = now + kEverySeconds;
    const double seconds = static_cast<double>(samples) / kSampleRate;
    char done[96];
    if (total >= 0)
        std::snprintf(done, sizeof done, "%.1f s of %.1f s", seconds,
                      static_cast<double>(total) / kSampleRate);
    else if (fraction >= 0)
        std::snprintf(done, sizeof done, "%.1f s of audio (%.0f%% of the input)", seconds,
                      100.0 * fraction);
    else
        std::snprintf(done, sizeof done, "%.1f s of audio", seconds);
    char line[256];
    std::snprintf(line, sizeof line, "\r%s: %s, %.0f times real time%s", what_.c_str(), done,
                  seconds / (now - start_), kEraseRest);
    write_text(fd_, line);
    shown_ = true;
}

void progress_line::clear() {
    if (!shown_) return;
    write_text(fd_, std::string("\r") + kEraseRest);
    shown_ = false;
}

}  // namespace tarnel::tool
