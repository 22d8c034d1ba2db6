// Decoded values as 16-bit linear PCM samples.
#pragma once

#include <cmath>
#include <cstdint>

namespace tarnel {

// Rounded half away from zero and saturated; a non-finite value becomes 0.
inline int16_t round_to_sample(double v) {
    // Half away from zero by adding +-0.5 with the sign of v, which the compiler cannot turn
    // into a branch: the sign of a speech sample is as good as random. (For -0.0 this adds
    // -0.5 instead of 0.5; both truncate to 0.)
    const double t = v + std::copysign(0.5, v);
    const double below_max = 32767.0 < t ? 32767.0 : t;
    const double clamped = -32768.0 > below_max ? -32768.0 : below_max;
    // A non-finite value can only come from a hostile stream; it becomes silence rather than
    // an undefined conversion.
    return static_cast<int16_t>(std::isfinite(v) ? clamped : 0.0);
}

}  // namespace tarnel
