// Objective comparison of a decoded signal with the original it was coded from.
//
// "test" is the decoded signal, which lags "ref" by the codec's delay: test[n + delay] lines up
// with ref[n]. Only the overlap of the two aligned signals is compared.
//
// Frames of the reference quieter than kSilenceRms (about -50 dB below full scale) are left out
// of both measures: in pauses the reference is close to zero, so the ratio would measure the
// codec's idle noise against nothing and swamp the mean.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "dsp/frame.h"

namespace tarnel::media {

constexpr double kSilenceRms = 100.0;     // in 16-bit sample units
constexpr int kDelaySearchSamples = 200;  // 25 ms: well beyond this codec's delay
constexpr int kSnrFrame = kFrame;         // 10 ms
constexpr double kSnrFloorDb = -10.0;
constexpr double kSnrCeilingDb = 35.0;
constexpr int kSpectrumFrame = 256;
constexpr int kSpectrumHop = 128;

// The lag in 0..max_lag at which test best matches ref by normalised cross-correlation; the
// smallest such lag on a tie; 0 when no lag correlates positively (silence, no overlap).
int estimate_delay(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, int max_lag);

// Mean over active 80-sample frames of 10*log10(sum ref^2 / sum (ref - test)^2), each frame
// clamped to [-10, 35] dB (an exact frame counts 35). Empty when no frame is active.
std::optional<double> segmental_snr_db(const std::vector<int16_t>& ref,
                                       const std::vector<int16_t>& test, int delay);

// Mean over active 256-sample Hann-windowed frames (hop 128) of the RMS over the 129 frequency
// bins of 10*log10(P_ref / P_test); each power is floored at the level of unit-variance white
// noise so that empty bins stay finite. Empty when no frame is active.
std::optional<double> log_spectral_distance_db(const std::vector<int16_t>& ref,
                                               const std::vector<int16_t>& test, int delay);

// Both measures over a reference and a signal aligned with it, handed over block by block in
// any sizes; memory stays the same however long the signals. Fed the same samples, it gives
// exactly what the whole-signal functions above give.
class quality_meter {
public:
    quality_meter();

    // The next `count` samples of each signal.
    void add(const int16_t* ref, const int16_t* test, size_t count);

    std::optional<double> segmental_snr_db() const;
    std::optional<double> log_spectral_distance_db() const;

private:
    void spectrum_frame();

    int16_t snr_ref_[kSnrFrame];
    int16_t snr_test_[kSnrFrame];
    int snr_fill_ = 0;
    double snr_sum_ = 0.0;
    int snr_frames_ = 0;

    int16_t spectrum_ref_[kSpectrumFrame];  // the latest samples, oldest first
    int16_t spectrum_test_[kSpectrumFrame];
    int spectrum_fill_ = 0;
    double spectrum_sum_ = 0.0;
    int spectrum_frames_ = 0;
    double window_[kSpectrumFrame];
    double floor_ = 0.0;
    std::vector<std::complex<double>> twiddles_;
    std::vector<std::complex<double>> work_;
    double power_ref_[kSpectrumFrame / 2 + 1];
    double power_test_[kSpectrumFrame / 2 + 1];
};

struct quality_report {
    int delay = 0;
    std::optional<double> segmental_snr_db;
    std::optional<double> log_spectral_distance_db;
};

// Delay search, then both measures at that delay.
quality_report compare_signals(const std::vector<int16_t>& ref, const std::vector<int16_t>& test,
                               int max_lag = kDelaySearchSamples);

// |X[k]|^2 for k = 0..n/2 of the DFT of a real frame whose length n is a power of two (radix-2
// FFT); throws std::invalid_argument for any other length.
std::vector<double> power_spectrum(const std::vector<double>& frame);

}  // namespace tarnel::media
