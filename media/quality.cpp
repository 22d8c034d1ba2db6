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

// The twiddle factors of an n-point FFT, stage after stage (n / 2 of them in the last). Each
// from its own angle rather than by repeated multiplication, so the rounding error does not
// grow along a stage.
std::vector<std::complex<double>> twiddles(size_t n) {
    std::vector<std::complex<double>> w;
    for (size_t len = 2; len <= n; len <<= 1) {
        for (size_t k = 0; k < len / 2; ++k) {
            const double angle = -2.0 * kPi * static_cast<double>(k) / static_cast<double>(len);
            w.emplace_back(std::cos(angle), std::sin(angle));
        }
    }
    return w;
}

void fft(std::vector<std::complex<double>>& x, const std::vector<std::complex<double>>& twiddle) {
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    // The products written out: the same operations as std::complex's, without its checks
    // for infinities, which finite samples never produce.
    const std::complex<double>* w = twiddle.data();
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t half = len / 2;
        for (size_t k = 0; k < half; ++k, ++w) {
            const double wr = w->real(), wi = w->imag();
            for (size_t start = 0; start < n; start += len) {
                std::complex<double>& a = x[start + k];
                std::complex<double>& c = x[start + k + half];
                const double br = c.real() * wr - c.imag() * wi;
                const double bi = c.real() * wi + c.imag() * wr;
                const double ar = a.real(), ai = a.imag();
                a = {ar + br, ai + bi};
                c = {ar - br, ai - bi};
            }
        }
    }
}

// |X[k]|^2, k = 0..n/2, of the n-point frame, computed in `work`.
void power_into(const double* frame, size_t n, const std::vector<std::complex<double>>& twiddle,
                std::vector<std::complex<double>>& work, double* power) {
    work.assign(frame, frame + n);
    fft(work, twiddle);
    for (size_t k = 0; k <= n / 2; ++k) power[k] = std::norm(work[k]);
}

double snr_frame_db(const int16_t* r, const int16_t* t) {
    int64_t signal = 0, noise = 0;
    for (int i = 0; i < kSnrFrame; ++i) {
        const int64_t d = int64_t{r[i]} - t[i];
        signal += int64_t{r[i]} * r[i];
        noise += d * d;
    }
    if (noise == 0) return kSnrCeilingDb;
    const double snr = 10.0 * std::log10(static_cast<double>(signal) / static_cast<double>(noise));
    return std::clamp(snr, kSnrFloorDb, kSnrCeilingDb);
}

std::optional<double> mean(double sum, int frames) {
    if (frames == 0) return std::nullopt;
    return sum / frames;
}

}  // namespace

std::vector<double> power_spectrum(const std::vector<double>& frame) {
    const size_t n = frame.size();
    if (n < 2 || (n & (n - 1)) != 0)
        throw std::invalid_argument("power_spectrum: frame length must be a power of two");
    std::vector<std::complex<double>> work;
    std::vector<double> power(n / 2 + 1);
    power_into(frame.data(), n, twiddles(n), work, power.data());
    return power;
}

quality_meter::quality_meter() : twiddles_(twiddles(kSpectrumFrame)), work_(kSpectrumFrame) {
    double window_energy = 0.0;
    for (int i = 0; i < kSpectrumFrame; ++i) {
        // Periodic Hann: at hop N/2 the windows sum to a constant, so every sample weighs alike.
        window_[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * i / kSpectrumFrame);
        window_energy += window_[i] * window_[i];
    }
    // Expected bin power of unit-variance white noise through this window: near the 16-bit
    // quantisation level, far below anything audible, yet enough to keep empty bins finite.
    floor_ = window_energy;
}

void quality_meter::add(const int16_t* ref, const int16_t* test, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        snr_ref_[snr_fill_] = ref[i];
        snr_test_[snr_fill_] = test[i];
        if (++snr_fill_ == kSnrFrame) {
            snr_fill_ = 0;
            if (active(snr_ref_, kSnrFrame)) {
                snr_sum_ += snr_frame_db(snr_ref_, snr_test_);
                ++snr_frames_;
            }
        }
        spectrum_ref_[spectrum_fill_] = ref[i];
        spectrum_test_[spectrum_fill_] = test[i];
        if (++spectrum_fill_ == kSpectrumFrame) {
            spectrum_frame();
            // The next frame starts one hop later: keep its first part.
            std::copy(spectrum_ref_ + kSpectrumHop, spectrum_ref_ + kSpectrumFrame, spectrum_ref_);
            std::copy(spectrum_test_ + kSpectrumHop, spectrum_test_ + kSpectrumFrame,
                      spectrum_test_);
            spectrum_fill_ = kSpectrumFrame - kSpectrumHop;
        }
    }
}

void quality_meter::spectrum_frame() {
    if (!active(spectrum_ref_, kSpectrumFrame)) return;
    double fr[kSpectrumFrame], ft[kSpectrumFrame];
    for (int i = 0; i < kSpectrumFrame; ++i) {
        fr[i] = window_[i] * spectrum_ref_[i];
        ft[i] = window_[i] * spectrum_test_[i];
    }
    power_into(fr, kSpectrumFrame, twiddles_, work_, power_ref_);
    power_into(ft, kSpectrumFrame, twiddles_, work_, power_test_);
    constexpr int kBins = kSpectrumFrame / 2 + 1;
    double sq = 0.0;
    for (int k = 0; k < kBins; ++k) {
        const double d = 10.0 * std::log10((power_ref_[k] + floor_) / (power_test_[k] + floor_));
        sq += d * d;
    }
    spectrum_sum_ += std::sqrt(sq / static_cast<double>(kBins));
    ++spectrum_frames_;
}

std::optional<double> quality_meter::segmental_snr_db() const {
    return mean(snr_sum_, snr_frames_);
}

std::optional<double> quality_meter::log_spectral_distance_db() const {
    return mean(spectrum_sum_, spectrum_frames_);
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

namespace {

quality_meter measured(const std::vector<int16_t>& ref, const std::vector<int16_t>& test,
                       int delay) {
    quality_meter meter;
    const size_t len = aligned_length(ref, test, delay);
    if (len > 0) meter.add(ref.data(), test.data() + delay, len);
    return meter;
}

}  // namespace

std::optional<double> segmental_snr_db(const std::vector<int16_t>& ref,
                                       const std::vector<int16_t>& test, int delay) {
    return measured(ref, test, delay).segmental_snr_db();
}

std::optional<double> log_spectral_distance_db(const std::vector<int16_t>& ref,
                                               const std::vector<int16_t>& test, int delay) {
    return measured(ref, test, delay).log_spectral_distance_db();
}

quality_report compare_signals(const std::vector<int16_t>& ref, const std::vector<int16_t>& test,
                               int max_lag) {
    quality_report q;
    q.delay = estimate_delay(ref, test, max_lag);
    const quality_meter meter = measured(ref, test, q.delay);
    q.segmental_snr_db = meter.segmental_snr_db();
    q.log_spectral_distance_db = meter.log_spectral_distance_db();
    return q;
}

}  // namespace tarnel::media
