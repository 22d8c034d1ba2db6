#include "media/quality.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>

namespace tarnel::media {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Length of the stretch where both signals exist once test is shifted back by delay.
size_t aligned_length(const std::vector<int16_t>& ref, const std::vector<int16_t>& test,
                      int delay) {
    if (delay < 0 || static_cast<size_t>(delay) >= test.size()) return 0;
    return std::min(ref.size(), test.size() - static_cast<size_t>(delay));
}

bool active(const int16_t* ref, int n) {
    int64_t energy = 0;
    for (int i = 0; i < n; ++i) energy += int64_t{ref[i]} * ref[i];
    return static_cast<double>(energy) >= kSilenceRms * kSilenceRms * n;
}

// The mean of measure(ref frame, test frame) over the frames of `size` samples, one every
// `hop`, where both signals exist and the reference is active; empty when there is none.
template <typename Measure>
std::optional<double> mean_over_active_frames(const std::vector<int16_t>& ref,
                                              const std::vector<int16_t>& test, int delay,
                                              int size, int hop, Measure measure) {
    const size_t len = aligned_length(ref, test, delay);
    double sum = 0.0;
    int frames = 0;
    for (size_t start = 0; start + static_cast<size_t>(size) <= len;
         start += static_cast<size_t>(hop)) {
        const int16_t* r = ref.data() + start;
        if (!active(r, size)) continue;
        sum += measure(r, test.data() + start + static_cast<size_t>(delay));
        ++frames;
    }
    if (frames == 0) return std::nullopt;
    return sum / frames;
}

void fft(std::vector<std::complex<double>>& x) {
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t half = len / 2;
        for (size_t k = 0; k < half; ++k) {
            // Each twiddle from its own angle rather than by repeated multiplication, so the
            // rounding error does not grow along the stage.
            const double angle = -2.0 * kPi * static_cast<double>(k) / static_cast<double>(len);
            const std::complex<double> w(std::cos(angle), std::sin(angle));
            for (size_t start = 0; start < n; start += len) {
                const std::complex<double> a = x[start + k];
                const std::complex<double> b = x[start + k + half] * w;
                x[start + k] = a + b;
                x[start + k + half] = a - b;
            }
        }
    }
}

}  // namespace

std::vector<double> power_spectrum(const std::vector<double>& frame) {
    const size_t n = frame.size();
    if (n < 2 || (n & (n - 1)) != 0)
        throw std::invalid_argument("power_spectrum: frame length must be a power of two");
    std::vector<std::complex<double>> x(frame.begin(), frame.end());
    fft(x);
    std::vector<double> power(n / 2 + 1);
    for (size_t k = 0; k < power.size(); ++k) power[k] = std::norm(x[k]);
    return power;
}

int estimate_delay(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, int max_lag) {
    int best_lag = 0;
    double best = 0.0;  // a lag must correlate positively to beat "no delay found"
    for (int lag = 0; lag <= max_lag; ++lag) {
        const size_t len = aligned_length(ref, test, lag);
        if (len == 0) break;
        const int16_t* t = test.data() + lag;
        // Exact in 64 bits for over 8 billion samples, so the score does not depend on
        // summation order.
        int64_t cross = 0, ref_energy = 0, test_energy = 0;
        for (size_t i = 0; i < len; ++i) {
            cross += int64_t{ref[i]} * t[i];
            ref_energy += int64_t{ref[i]} * ref[i];
            test_energy += int64_t{t[i]} * t[i];
        }
        if (ref_energy == 0 || test_energy == 0) continue;
        const double score =
            static_cast<double>(cross) /
            std::sqrt(static_cast<double>(ref_energy) * static_cast<double>(test_energy));
        if (score > best) {
            best = score;
            best_lag = lag;
        }
    }
    return best_lag;
}

std::optional<double> segmental_snr_db(const std::vector<int16_t>& ref,
                                       const std::vector<int16_t>& test, int delay) {
    return mean_over_active_frames(ref, test, delay, kSnrFrame, kSnrFrame,
                                   [](const int16_t* r, const int16_t* t) {
        int64_t signal = 0, noise = 0;
        for (int i = 0; i < kSnrFrame; ++i) {
            const int64_t d = int64_t{r[i]} - t[i];
            signal += int64_t{r[i]} * r[i];
            noise += d * d;
        }
        if (noise == 0) return kSnrCeilingDb;
        const double snr = 10.0 * std::log10(static_cast<double>(signal) / static_cast<double>(noise));
        return std::clamp(snr, kSnrFloorDb, kSnrCeilingDb);
    });
}

std::optional<double> log_spectral_distance_db(const std::vector<int16_t>& ref,
                                               const std::vector<int16_t>& test, int delay) {
    std::vector<double> window(kSpectrumFrame);
    double window_energy = 0.0;
    for (int i = 0; i < kSpectrumFrame; ++i) {
        // Periodic Hann: at hop N/2 the windows sum to a constant, so every sample weighs alike.
        window[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * i / kSpectrumFrame);
        window_energy += window[i] * window[i];
    }
    // Expected bin power of unit-variance white noise through this window: near the 16-bit
    // quantisation level, far below anything audible, yet enough to keep empty bins finite.
    const double floor = window_energy;

    std::vector<double> fr(kSpectrumFrame), ft(kSpectrumFrame);
    return mean_over_active_frames(ref, test, delay, kSpectrumFrame, kSpectrumHop,
                                   [&](const int16_t* r, const int16_t* t) {
        for (int i = 0; i < kSpectrumFrame; ++i) {
            fr[i] = window[i] * r[i];
            ft[i] = window[i] * t[i];
        }
        const std::vector<double> pr = power_spectrum(fr);
        const std::vector<double> pt = power_spectrum(ft);
        double sq = 0.0;
        for (size_t k = 0; k < pr.size(); ++k) {
            const double d = 10.0 * std::log10((pr[k] + floor) / (pt[k] + floor));
            sq += d * d;
        }
        return std::sqrt(sq / static_cast<double>(pr.size()));
    });
}

quality_report compare_signals(const std::vector<int16_t>& ref, const std::vector<int16_t>& test,
                               int max_lag) {
    quality_report q;
    q.delay = estimate_delay(ref, test, max_lag);
    q.segmental_snr_db = segmental_snr_db(ref, test, q.delay);
    q.log_spectral_distance_db = log_spectral_distance_db(ref, test, q.delay);
    return q;
}

}  // namespace tarnel::media
