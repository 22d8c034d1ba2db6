#include "media/stoi.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numeric>

#include "dsp/frame.h"

namespace tarnel::media {

namespace {

constexpr double kPi = 3.14159265358979323846;

// 8 kHz -> 10 kHz: up by 5, down by 4, through one low-pass filter at the common 40 kHz.
constexpr int kRateGcd = std::gcd(kStoiRate, kSampleRate);
constexpr int kUp = kStoiRate / kRateGcd;
constexpr int kDown = kSampleRate / kRateGcd;
// The stop band starts at the input's Nyquist frequency, so that no image of the 8 kHz spectrum
// reaches the 4-5 kHz the new rate adds; the pass band keeps what telephone speech carries.
constexpr double kPassbandHz = 3600.0;
constexpr double kStopbandHz = 4000.0;
constexpr double kStopbandDb = 80.0;
constexpr double kKaiserBeta = 0.1102 * (kStopbandDb - 8.7);  // Kaiser's rule for > 50 dB
constexpr int kHalfTaps = 51;  // input samples each side of an output instant
constexpr int kTaps = 2 * kHalfTaps;
// Kaiser's length estimate (A - 7.95) / (2.285 * transition in rad/sample) at the common rate.
static_assert(2.0 * kHalfTaps * kUp >=
                  (kStopbandDb - 7.95) /
                      (2.285 * 2.0 * kPi * (kStopbandHz - kPassbandHz) / (kSampleRate * kUp)),
              "the resampling filter is too short for its transition band");

// The measure's analysis: 25.6 ms frames, half overlapping, zero-padded to a 512-point DFT.
constexpr int kFrameLen = 256;
constexpr int kHop = kFrameLen / 2;
constexpr int kFftSize = 512;
constexpr int kBins = kFftSize / 2 + 1;
constexpr double kBinHz = static_cast<double>(kStoiRate) / kFftSize;
constexpr int kSegment = 30;              // frames per envelope segment: 384 ms
constexpr double kDynamicRangeDb = 40.0;  // frames further below the loudest are silence
constexpr double kBetaDb = -15.0;         // lowest signal-to-distortion ratio an envelope keeps

// One-third-octave bands centred on 150 * 2^(j/3) Hz, j = 0..14: band j takes the bins from
// kBandEdges[j] up to, not including, kBandEdges[j + 1]; edge j is the bin nearest to
// 150 * 2^((j - 1/2)/3) Hz, the geometric mean of neighbouring centres.
constexpr int kBands = 15;
constexpr double kLowestCentreHz = 150.0;
constexpr std::array<int, kBands + 1> kBandEdges = {7,  9,  11, 14, 17,  22,  27,  34,
                                                    43, 55, 69, 87, 109, 138, 174, 219};

constexpr double sixth_power(double v) { return v * v * v * v * v * v; }

// Compared as sixth powers, where the edge frequency needs no root: f^6 = 150^6 * 2^(2j - 1).
constexpr bool edge_is_nearest_bin(int j) {
    double f6 = sixth_power(kLowestCentreHz) / 2.0;
    for (int i = 0; i < j; ++i) f6 *= 4.0;
    const int bin = kBandEdges[static_cast<size_t>(j)];
    return sixth_power((bin - 0.5) * kBinHz) <= f6 && f6 <= sixth_power((bin + 0.5) * kBinHz);
}

constexpr bool band_edges_hold() {
    for (int j = 0; j <= kBands; ++j)
        if (!edge_is_nearest_bin(j)) return false;
    return kBandEdges[kBands] <= kBins;
}
static_assert(band_edges_hold(), "a band edge is not the bin nearest its frequency");

double bessel_i0(double x) {
    const double q = x * x / 4.0;
    double term = 1.0, sum = 1.0;
    for (int k = 1; term > 1e-17 * sum; ++k) {
        term *= q / (static_cast<double>(k) * k);
        sum += term;
    }
    return sum;
}

// What every call shares, built on first use: the analysis window, the resampling filter's
// phases and the FFT plan. The plan is made for unaligned arrays so that each call can execute
// it on its own stack buffers; executing a plan is thread-safe, making one is not.
struct analysis_setup {
    double window[kFrameLen];
    // taps[p][i] weighs input sample base - kHalfTaps + 1 + i for an output instant that lies
    // p/kUp of an input period after sample base.
    double taps[kUp][kTaps];
    fftw_plan plan;

    analysis_setup() {
        // The Hann window of kFrameLen + 2 points without its zero ends: every sample counts.
        for (int i = 0; i < kFrameLen; ++i)
            window[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * (i + 1) / (kFrameLen + 1));

        // Windowed ideal low-pass at the middle of the transition band, in input periods.
        const double ratio = (kPassbandHz + kStopbandHz) / kSampleRate;
        const double norm = bessel_i0(kKaiserBeta);
        for (int p = 0; p < kUp; ++p) {
            for (int i = 0; i < kTaps; ++i) {
                const double t = static_cast<double>(p) / kUp + (kHalfTaps - 1 - i);
                const double u = t / kHalfTaps;
                const double x = kPi * ratio * t;
                const double sinc = x == 0.0 ? 1.0 : std::sin(x) / x;
                const double kaiser =
                    u * u >= 1.0 ? 0.0 : bessel_i0(kKaiserBeta * std::sqrt(1.0 - u * u)) / norm;
                taps[p][i] = ratio * sinc * kaiser;
            }
        }

        double* in = fftw_alloc_real(kFftSize);
        fftw_complex* out = fftw_alloc_complex(kBins);
        plan = fftw_plan_dft_r2c_1d(kFftSize, in, out, FFTW_ESTIMATE | FFTW_UNALIGNED);
        fftw_free(out);
        fftw_free(in);
    }
    ~analysis_setup() { fftw_destroy_plan(plan); }
    analysis_setup(const analysis_setup&) = delete;
    analysis_setup& operator=(const analysis_setup&) = delete;
};

const analysis_setup& setup() {
    static const analysis_setup s;
    return s;
}

std::vector<double> resample(const analysis_setup& s, const int16_t* pcm, size_t n) {
    std::vector<double> out((n * kUp + kDown - 1) / kDown);
    const auto in_len = static_cast<ptrdiff_t>(n);
    for (size_t m = 0; m < out.size(); ++m) {
        const size_t at = m * kDown;
        const double* h = s.taps[at % kUp];
        const ptrdiff_t first = static_cast<ptrdiff_t>(at / kUp) - kHalfTaps + 1;
        const ptrdiff_t lo = std::max<ptrdiff_t>(0, -first);
        const ptrdiff_t hi = std::min<ptrdiff_t>(kTaps, in_len - first);
        double acc = 0.0;
        for (ptrdiff_t i = lo; i < hi; ++i) acc += h[i] * pcm[first + i];
        out[m] = acc;
    }
    return out;
}

// Keeps the frames whose clean energy lies within kDynamicRangeDb of the loudest, windowed,
// and lays them out again at the hop so that they overlap-add into signals without the pauses.
// Returns the number of frames kept; the rebuilt signals hold exactly that many full frames.
size_t drop_silent_frames(const analysis_setup& s, const std::vector<double>& x,
                          const std::vector<double>& y, std::vector<double>& x_kept,
                          std::vector<double>& y_kept) {
    const size_t frames = x.size() < kFrameLen ? 0 : (x.size() - kFrameLen) / kHop + 1;
    std::vector<double> energy(frames);
    for (size_t f = 0; f < frames; ++f) {
        double e = 0.0;
        for (int i = 0; i < kFrameLen; ++i) {
            const double v = s.window[i] * x[f * kHop + i];
            e += v * v;
        }
        energy[f] = e;
    }
    const double loudest = frames == 0 ? 0.0 : *std::max_element(energy.begin(), energy.end());
    if (loudest == 0.0) return 0;
    const double threshold = loudest * std::pow(10.0, -kDynamicRangeDb / 10.0);
    const auto kept = static_cast<size_t>(
        std::count_if(energy.begin(), energy.end(), [&](double e) { return e > threshold; }));

    x_kept.assign((kept - 1) * kHop + kFrameLen, 0.0);
    y_kept.assign(x_kept.size(), 0.0);
    size_t to = 0;
    for (size_t f = 0; f < frames; ++f) {
        if (energy[f] <= threshold) continue;
        for (int i = 0; i < kFrameLen; ++i) {
            x_kept[to + i] += s.window[i] * x[f * kHop + i];
            y_kept[to + i] += s.window[i] * y[f * kHop + i];
        }
        to += kHop;
    }
    return kept;
}

// env[j * frames + f]: the magnitude of band j in frame f, the root of the band's power.
std::vector<double> band_envelopes(const analysis_setup& s, const std::vector<double>& signal,
                                   size_t frames) {
    std::vector<double> env(kBands * frames);
    double in[kFftSize];
    std::complex<double> spectrum[kBins];
    for (size_t f = 0; f < frames; ++f) {
        for (int i = 0; i < kFrameLen; ++i) in[i] = s.window[i] * signal[f * kHop + i];
        std::fill(in + kFrameLen, in + kFftSize, 0.0);
        fftw_execute_dft_r2c(s.plan, in, reinterpret_cast<fftw_complex*>(spectrum));
        for (int j = 0; j < kBands; ++j) {
            double power = 0.0;
            for (int k = kBandEdges[j]; k < kBandEdges[j + 1]; ++k) power += std::norm(spectrum[k]);
            env[j * frames + f] = std::sqrt(power);
        }
    }
    return env;
}

// Pearson correlation; a sequence that does not vary correlates with nothing.
double correlation(const double* a, const double* b) {
    double mean_a = 0.0, mean_b = 0.0;
    for (int t = 0; t < kSegment; ++t) {
        mean_a += a[t];
        mean_b += b[t];
    }
    mean_a /= kSegment;
    mean_b /= kSegment;
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (int t = 0; t < kSegment; ++t) {
        const double da = a[t] - mean_a, db = b[t] - mean_b;
        ab += da * db;
        aa += da * da;
        bb += db * db;
    }
    const double den = std::sqrt(aa * bb);
    return den > 0.0 ? ab / den : 0.0;
}

}  // namespace

std::vector<double> resample_for_stoi(const int16_t* pcm, size_t n) {
    return resample(setup(), pcm, n);
}

std::optional<double> stoi(const std::vector<int16_t>& clean, const std::vector<int16_t>& degraded,
                           int delay) {
    if (delay < 0 || static_cast<size_t>(delay) >= degraded.size()) return std::nullopt;
    const size_t len = std::min(clean.size(), degraded.size() - static_cast<size_t>(delay));
    const analysis_setup& s = setup();

    std::vector<double> x_kept, y_kept;
    const size_t frames =
        drop_silent_frames(s, resample(s, clean.data(), len),
                           resample(s, degraded.data() + delay, len), x_kept, y_kept);
    if (frames < kSegment) return std::nullopt;
    const std::vector<double> x_env = band_envelopes(s, x_kept, frames);
    const std::vector<double> y_env = band_envelopes(s, y_kept, frames);

    // Each degraded envelope segment is scaled to the clean one's energy, then limited to
    // (1 + 10^(-beta/20)) times the clean envelope, so that a band drowned in noise counts as
    // lost rather than dominating the correlation.
    const double ceiling = 1.0 + std::pow(10.0, -kBetaDb / 20.0);
    double sum = 0.0;
    size_t count = 0;
    for (int j = 0; j < kBands; ++j) {
        for (size_t end = kSegment; end <= frames; ++end) {
            const double* xs = &x_env[j * frames + end - kSegment];
            const double* ys = &y_env[j * frames + end - kSegment];
            double xx = 0.0, yy = 0.0;
            for (int t = 0; t < kSegment; ++t) {
                xx += xs[t] * xs[t];
                yy += ys[t] * ys[t];
            }
            const double gain = yy > 0.0 ? std::sqrt(xx / yy) : 0.0;
            double limited[kSegment];
            for (int t = 0; t < kSegment; ++t) limited[t] = std::min(gain * ys[t], ceiling * xs[t]);
            sum += correlation(xs, limited);
            ++count;
        }
    }
    return sum / static_cast<double>(count);
}

}  // namespace tarnel::media
