// The quality measures: delay estimate, segmental SNR and log-spectral distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
#include <vector>

#include "media/quality.h"
#include "support/test_support.h"

using namespace tarnel::media;

namespace {

constexpr double kPi = 3.14159265358979323846;

int16_t clip(double v) {
    return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

std::vector<int16_t> white_noise(size_t n, double rms, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, rms);
    std::vector<int16_t> out(n);
    for (auto& s : out) s = clip(g(rng));
    return out;
}

std::vector<int16_t> tones(size_t n, double amplitude) {
    std::vector<int16_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        out[i] = clip(amplitude *
                      (0.6 * std::sin(2 * kPi * 310 * t) + 0.3 * std::sin(2 * kPi * 1270 * t) +
                       0.1 * std::sin(2 * kPi * 2950 * t)));
    }
    return out;
}

// The signal as a codec output lagging by `lag` samples: `lag` zeros first.
std::vector<int16_t> delayed(const std::vector<int16_t>& x, int lag) {
    std::vector<int16_t> out(static_cast<size_t>(lag), 0);
    out.insert(out.end(), x.begin(), x.end());
    return out;
}

std::vector<int16_t> scaled(const std::vector<int16_t>& x, double gain) {
    std::vector<int16_t> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = clip(x[i] * gain);
    return out;
}

// ref plus white noise scaled in every 80-sample frame to sit exactly snr_db below that frame.
std::vector<int16_t> with_noise_per_frame(const std::vector<int16_t>& ref, double snr_db,
                                          unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<int16_t> out(ref.size());
    for (size_t start = 0; start + 80 <= ref.size(); start += 80) {
        double noise[80], ne = 0, se = 0;
        for (int i = 0; i < 80; ++i) {
            noise[i] = g(rng);
            ne += noise[i] * noise[i];
            se += double(ref[start + i]) * ref[start + i];
        }
        const double k = se > 0 ? std::sqrt(se / ne / std::pow(10.0, snr_db / 10)) : 0.0;
        for (int i = 0; i < 80; ++i) out[start + i] = clip(ref[start + i] + k * noise[i]);
    }
    return out;
}

const std::vector<int16_t> kSpeech = tarnel::test::load_speech_sample();

// The measures where they must have a value; a test fails on the exception otherwise.
double snr(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, int delay) {
    return segmental_snr_db(ref, test, delay).value();
}
double lsd(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, int delay) {
    return log_spectral_distance_db(ref, test, delay).value();
}

}  // namespace

TEST(PowerSpectrum, MatchesAPlainDft) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1000, 1000);
    for (size_t n : {2u, 8u, 64u, 256u}) {
        std::vector<double> x(n);
        for (auto& v : x) v = u(rng);
        const std::vector<double> p = power_spectrum(x);
        ASSERT_EQ(n / 2 + 1, p.size());
        for (size_t k = 0; k <= n / 2; ++k) {
            std::complex<double> sum = 0;
            for (size_t i = 0; i < n; ++i)
                sum += x[i] * std::polar(1.0, -2 * kPi * double(k * i) / double(n));
            EXPECT_NEAR(std::norm(sum), p[k], 1e-9 * std::max(1.0, std::norm(sum)))
                << "n " << n << " bin " << k;
        }
    }
    EXPECT_THROW(power_spectrum(std::vector<double>(80)), std::invalid_argument);
}

TEST(DelayEstimate, FindsTheLagOfADelayedCopy) {
    const std::vector<int16_t> noise = white_noise(8000, 3000, 1);
    for (int lag : {0, 37, 200}) EXPECT_EQ(lag, estimate_delay(noise, delayed(noise, lag), 200));
    // Speech is strongly periodic, so neighbouring pitch periods compete with the true lag.
    EXPECT_EQ(37, estimate_delay(kSpeech, delayed(kSpeech, 37), 200));
    // Gain and moderate noise do not move it.
    EXPECT_EQ(
        37, estimate_delay(kSpeech, with_noise_per_frame(scaled(delayed(kSpeech, 37), 0.3), 10, 2),
                           200));
}

TEST(DelayEstimate, SilenceOrNoOverlapGivesZero) {
    const std::vector<int16_t> noise = white_noise(400, 3000, 4);
    EXPECT_EQ(0, estimate_delay(std::vector<int16_t>(400, 0), delayed(noise, 20), 200));
    EXPECT_EQ(0, estimate_delay(noise, std::vector<int16_t>(400, 0), 200));
    EXPECT_EQ(0, estimate_delay(noise, {}, 200));
}

TEST(QualityMeasures, AnExactCopyScoresPerfectlyOnlyAtItsDelay) {
    const std::vector<int16_t> late = delayed(kSpeech, 37);
    EXPECT_DOUBLE_EQ(35.0, snr(kSpeech, kSpeech, 0));
    EXPECT_DOUBLE_EQ(35.0, snr(kSpeech, late, 37));
    EXPECT_LT(snr(kSpeech, late, 0), 5.0);
    EXPECT_DOUBLE_EQ(0.0, lsd(kSpeech, kSpeech, 0));
    EXPECT_DOUBLE_EQ(0.0, lsd(kSpeech, late, 37));
    EXPECT_GT(lsd(kSpeech, late, 0), 3.0);
}

TEST(SegmentalSnr, MeasuresNoiseAddedAtAKnownRatio) {
    for (double target : {5.0, 12.0, 25.0})
        EXPECT_NEAR(target, snr(kSpeech, with_noise_per_frame(kSpeech, target, 5), 0), 1.0);
    // Stationary noise over a steady signal: the per-frame mean equals the global ratio.
    const std::vector<int16_t> ref = tones(16000, 8000);
    const std::vector<int16_t> noise = white_noise(16000, 8000 * std::sqrt(0.46 / 2) / 10, 6);
    std::vector<int16_t> test(ref.size());
    for (size_t i = 0; i < ref.size(); ++i) test[i] = clip(double(ref[i]) + noise[i]);
    EXPECT_NEAR(20.0, snr(ref, test, 0), 1.0);
}

TEST(SegmentalSnr, EachFrameIsClampedToItsRange) {
    const std::vector<int16_t> ref = tones(8000, 8000);
    // 50 dB of SNR counts as 35, not 50.
    EXPECT_DOUBLE_EQ(35.0, snr(ref, with_noise_per_frame(ref, 50, 7), 0));
    // Unrelated loud noise: every frame far below -10 dB, counted as -10.
    EXPECT_DOUBLE_EQ(-10.0, snr(ref, white_noise(8000, 30000, 8), 0));
    // An inverted signal: error twice the signal, -6 dB, inside the range.
    EXPECT_NEAR(-6.02, snr(ref, scaled(ref, -1.0), 0), 0.05);
}

TEST(QualityMeasures, SkipFramesWhereTheReferenceIsSilent) {
    // Loud first half, silent second half; the test signal is exact in the loud half and noise
    // in the silent one. Counting the silent frames would drag the mean towards -10 dB.
    std::vector<int16_t> ref = tones(4000, 8000);
    ref.resize(8000, 0);
    std::vector<int16_t> test = ref;
    const std::vector<int16_t> noise = white_noise(4000, 3000, 9);
    std::copy(noise.begin(), noise.end(), test.begin() + 4000);
    EXPECT_DOUBLE_EQ(35.0, snr(ref, test, 0));

    // A frame is active from an RMS of 100 on: a square wave of 99 never counts, one of 100 does.
    const std::vector<int16_t> silence(8000, 0);
    std::vector<int16_t> quiet(8000), audible(8000);
    for (size_t i = 0; i < 8000; ++i) {
        quiet[i] = static_cast<int16_t>(i % 2 ? 99 : -99);
        audible[i] = static_cast<int16_t>(i % 2 ? 100 : -100);
    }
    EXPECT_FALSE(segmental_snr_db(quiet, silence, 0).has_value());
    EXPECT_FALSE(log_spectral_distance_db(quiet, audible, 0).has_value());
    EXPECT_DOUBLE_EQ(0.0, snr(audible, silence, 0));

    // Nothing to compare: a delay past the end, a negative one, or too short for a window.
    EXPECT_FALSE(segmental_snr_db(audible, audible, 8000).has_value());
    EXPECT_FALSE(segmental_snr_db(audible, audible, -1).has_value());
    const std::vector<int16_t> brief(audible.begin(), audible.begin() + 255);
    EXPECT_FALSE(log_spectral_distance_db(brief, brief, 0).has_value());
}

TEST(LogSpectralDistance, AGainChangeShowsAsItsDecibels) {
    // Broadband noise keeps every bin far above the floor: halving the amplitude moves every
    // bin by 6.02 dB.
    const std::vector<int16_t> ref = white_noise(16000, 3000, 12);
    EXPECT_NEAR(6.02, lsd(ref, scaled(ref, 0.5), 0), 0.1);
    EXPECT_NEAR(6.02, lsd(ref, scaled(ref, 2.0), 0), 0.1);
    EXPECT_NEAR(1.94, lsd(ref, scaled(ref, 0.8), 0), 0.1);
    const double distance = lsd(kSpeech, scaled(kSpeech, 0.5), 0);
    EXPECT_GT(distance, 4.0);
    EXPECT_LT(distance, 6.1);
}

TEST(LogSpectralDistance, DetectsAChangeOfSpectralShape) {
    // A two-tap average keeps low frequencies and removes the top of the band: a level-blind
    // measure would miss that the spectrum was tilted.
    const std::vector<int16_t> ref = white_noise(16000, 3000, 13);
    std::vector<int16_t> smooth(ref.size());
    smooth[0] = ref[0];
    for (size_t i = 1; i < ref.size(); ++i) smooth[i] = clip(0.5 * (ref[i] + ref[i - 1]));
    EXPECT_GT(lsd(ref, smooth, 0), 8.0);

    // The window must keep the leakage of a strong component from burying a component 60 dB
    // weaker far up the band; otherwise losing the weak one would go unnoticed.
    std::vector<int16_t> both(8000), loud_only(8000);
    for (int i = 0; i < 8000; ++i) {
        const double loud = 10000 * std::sin(2 * kPi * 303.7 * i / 8000);
        both[i] = clip(loud + 10 * std::sin(2 * kPi * 3010.0 * i / 8000));
        loud_only[i] = clip(loud);
    }
    EXPECT_GT(lsd(both, loud_only, 0), 2.0);
}

TEST(LogSpectralDistance, GrowsAsNoiseFillsTheSpectralValleys) {
    double previous = 0.0;
    for (double ratio : {30.0, 20.0, 10.0}) {
        const double distance = lsd(kSpeech, with_noise_per_frame(kSpeech, ratio, 17), 0);
        EXPECT_GT(distance, previous + 1.0) << "at " << ratio << " dB";
        previous = distance;
    }
}

TEST(CompareSignals, ReportsDelayAndBothMeasures) {
    const std::vector<int16_t> test = with_noise_per_frame(delayed(kSpeech, 37), 18, 16);
    const quality_report q = compare_signals(kSpeech, test);
    EXPECT_EQ(37, q.delay);
    ASSERT_TRUE(q.segmental_snr_db && q.log_spectral_distance_db);
    EXPECT_NEAR(18.0, *q.segmental_snr_db, 1.5);
    EXPECT_GT(*q.log_spectral_distance_db, 1.0);
    // The same measures as when called one by one at the true delay.
    EXPECT_EQ(snr(kSpeech, test, 37), *q.segmental_snr_db);
    EXPECT_EQ(lsd(kSpeech, test, 37), *q.log_spectral_distance_db);
}
