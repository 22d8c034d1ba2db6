// Audio and bitstream file handling of the command-line tool, and its quality measures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "media/audio_file.h"
#include "media/quality.h"

using namespace tarnel::media;
namespace fs = std::filesystem;

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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Quality measures

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
}

TEST(PowerSpectrum, CosineOnABinLandsOnThatBinOnly) {
    std::vector<double> x(256);
    for (int i = 0; i < 256; ++i) x[i] = 1000 * std::cos(2 * kPi * 5 * i / 256.0);
    const std::vector<double> p = power_spectrum(x);
    EXPECT_NEAR(1000.0 * 128 * 1000.0 * 128, p[5], 1e-3);
    for (size_t k = 0; k < p.size(); ++k) {
        if (k == 5) continue;
        EXPECT_LT(p[k], 1e-12 * p[5]) << "bin " << k;
    }
    EXPECT_THROW(power_spectrum(std::vector<double>(80)), std::invalid_argument);
}

TEST(DelayEstimate, FindsTheLagOfADelayedCopy) {
    const std::vector<int16_t> noise = white_noise(8000, 3000, 1);
    EXPECT_EQ(37, estimate_delay(noise, delayed(noise, 37), 200));
    EXPECT_EQ(0, estimate_delay(noise, noise, 200));
    EXPECT_EQ(200, estimate_delay(noise, delayed(noise, 200), 200));

    // Speech is strongly periodic, so neighbouring pitch periods compete with the true lag.
    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    EXPECT_EQ(37, estimate_delay(speech, delayed(speech, 37), 200));
}

TEST(DelayEstimate, IgnoresGainAndModerateNoise) {
    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    const std::vector<int16_t> test = with_noise_per_frame(scaled(delayed(speech, 37), 0.3), 10, 2);
    EXPECT_EQ(37, estimate_delay(speech, test, 200));
}

TEST(DelayEstimate, SilenceOrNoOverlapGivesZero) {
    const std::vector<int16_t> noise = white_noise(400, 3000, 4);
    EXPECT_EQ(0, estimate_delay(std::vector<int16_t>(400, 0), delayed(noise, 20), 200));
    EXPECT_EQ(0, estimate_delay(noise, std::vector<int16_t>(400, 0), 200));
    EXPECT_EQ(0, estimate_delay(noise, {}, 200));
}

TEST(SegmentalSnr, IdenticalSignalsReachTheCeiling) {
    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    const auto snr = segmental_snr_db(speech, speech, 0);
    ASSERT_TRUE(snr.has_value());
    EXPECT_DOUBLE_EQ(kSnrCeilingDb, *snr);
}

TEST(SegmentalSnr, MeasuresNoiseAddedAtAKnownRatio) {
    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    for (double target : {5.0, 12.0, 25.0}) {
        const auto snr = segmental_snr_db(speech, with_noise_per_frame(speech, target, 5), 0);
        ASSERT_TRUE(snr.has_value());
        EXPECT_NEAR(target, *snr, 1.0) << "target " << target;
    }
    // Stationary noise over a steady signal: the per-frame mean equals the global ratio.
    const std::vector<int16_t> ref = tones(16000, 8000);
    const std::vector<int16_t> noise = white_noise(16000, 8000 * std::sqrt(0.46 / 2) / 10, 6);
    std::vector<int16_t> test(ref.size());
    for (size_t i = 0; i < ref.size(); ++i) test[i] = clip(double(ref[i]) + noise[i]);
    const auto snr = segmental_snr_db(ref, test, 0);
    ASSERT_TRUE(snr.has_value());
    EXPECT_NEAR(20.0, *snr, 1.0);
}

TEST(SegmentalSnr, EachFrameIsClampedToItsRange) {
    const std::vector<int16_t> ref = tones(8000, 8000);
    // 50 dB of SNR counts as 35, not 50.
    const auto high = segmental_snr_db(ref, with_noise_per_frame(ref, 50, 7), 0);
    ASSERT_TRUE(high.has_value());
    EXPECT_DOUBLE_EQ(kSnrCeilingDb, *high);
    // Unrelated loud noise: every frame far below -10 dB, counted as -10.
    const auto low = segmental_snr_db(ref, white_noise(8000, 30000, 8), 0);
    ASSERT_TRUE(low.has_value());
    EXPECT_DOUBLE_EQ(kSnrFloorDb, *low);
    // An inverted signal: error twice the signal, -6 dB, inside the range.
    const auto inverted = segmental_snr_db(ref, scaled(ref, -1.0), 0);
    ASSERT_TRUE(inverted.has_value());
    EXPECT_NEAR(-6.02, *inverted, 0.05);
}

TEST(SegmentalSnr, AlignsTheTestSignalByTheDelay) {
    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    const std::vector<int16_t> late = delayed(speech, 37);
    EXPECT_DOUBLE_EQ(kSnrCeilingDb, *segmental_snr_db(speech, late, 37));
    EXPECT_LT(*segmental_snr_db(speech, late, 0), 5.0);
}

TEST(QualityMeasures, SkipFramesWhereTheReferenceIsSilent) {
    // Loud first half, silent second half; the test signal is exact in the loud half and noise
    // in the silent one. Counting the silent frames would drag the mean towards -10 dB.
    std::vector<int16_t> ref = tones(4000, 8000);
    ref.resize(8000, 0);
    std::vector<int16_t> test = ref;
    const std::vector<int16_t> noise = white_noise(4000, 3000, 9);
    std::copy(noise.begin(), noise.end(), test.begin() + 4000);
    EXPECT_DOUBLE_EQ(kSnrCeilingDb, *segmental_snr_db(ref, test, 0));

    // A reference at half the silence threshold never counts; at one and a half times, it does.
    const std::vector<int16_t> quiet = white_noise(8000, 0.5 * kSilenceRms, 10);
    EXPECT_FALSE(segmental_snr_db(quiet, std::vector<int16_t>(8000, 0), 0).has_value());
    const std::vector<int16_t> audible = white_noise(8000, 1.5 * kSilenceRms, 11);
    const auto snr = segmental_snr_db(audible, std::vector<int16_t>(8000, 0), 0);
    ASSERT_TRUE(snr.has_value());
    EXPECT_NEAR(0.0, *snr, 0.5);

    // Nothing to compare: a delay past the end, a negative one, or too short for a window.
    EXPECT_FALSE(segmental_snr_db(audible, audible, 8000).has_value());
    EXPECT_FALSE(segmental_snr_db(audible, audible, -1).has_value());
    const std::vector<int16_t> brief(audible.begin(), audible.begin() + 255);
    EXPECT_FALSE(log_spectral_distance_db(brief, brief, 0).has_value());
    EXPECT_FALSE(log_spectral_distance_db(quiet, audible, 0).has_value());
}

TEST(LogSpectralDistance, IdenticalSignalsAreZero) {
    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    const auto lsd = log_spectral_distance_db(speech, speech, 0);
    ASSERT_TRUE(lsd.has_value());
    EXPECT_DOUBLE_EQ(0.0, *lsd);
    EXPECT_DOUBLE_EQ(0.0, *log_spectral_distance_db(speech, delayed(speech, 37), 37));
    EXPECT_GT(*log_spectral_distance_db(speech, delayed(speech, 37), 0), 3.0);
}

TEST(LogSpectralDistance, AGainChangeShowsAsItsDecibels) {
    // Broadband noise keeps every bin far above the floor: halving the amplitude moves every
    // bin by 6.02 dB.
    const std::vector<int16_t> ref = white_noise(16000, 3000, 12);
    EXPECT_NEAR(6.02, *log_spectral_distance_db(ref, scaled(ref, 0.5), 0), 0.1);
    EXPECT_NEAR(6.02, *log_spectral_distance_db(ref, scaled(ref, 2.0), 0), 0.1);
    EXPECT_NEAR(1.94, *log_spectral_distance_db(ref, scaled(ref, 0.8), 0), 0.1);

    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    const double lsd = *log_spectral_distance_db(speech, scaled(speech, 0.5), 0);
    EXPECT_GT(lsd, 4.0);
    EXPECT_LT(lsd, 6.1);
}

TEST(LogSpectralDistance, DetectsAChangeOfSpectralShape) {
    // A two-tap average keeps low frequencies and removes the top of the band: a level-blind
    // measure would miss that the spectrum was tilted.
    const std::vector<int16_t> ref = white_noise(16000, 3000, 13);
    std::vector<int16_t> smooth(ref.size());
    smooth[0] = ref[0];
    for (size_t i = 1; i < ref.size(); ++i) smooth[i] = clip(0.5 * (ref[i] + ref[i - 1]));
    EXPECT_GT(*log_spectral_distance_db(ref, smooth, 0), 8.0);
}

TEST(LogSpectralDistance, ALoudLowToneDoesNotMaskAQuietHighOne) {
    // The window must keep the leakage of a strong component from burying a component 60 dB
    // weaker far up the band; otherwise losing the weak one would go unnoticed.
    std::vector<int16_t> ref(8000), loud_only(8000);
    for (int i = 0; i < 8000; ++i) {
        const double loud = 10000 * std::sin(2 * kPi * 303.7 * i / 8000);
        ref[i] = clip(loud + 10 * std::sin(2 * kPi * 3010.0 * i / 8000));
        loud_only[i] = clip(loud);
    }
    EXPECT_GT(*log_spectral_distance_db(ref, loud_only, 0), 2.0);
}

TEST(LogSpectralDistance, GrowsAsNoiseFillsTheSpectralValleys) {
    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    double previous = 0.0;
    for (double snr : {30.0, 20.0, 10.0}) {
        const double lsd =
            *log_spectral_distance_db(speech, with_noise_per_frame(speech, snr, 17), 0);
        EXPECT_GT(lsd, previous + 1.0) << "at " << snr << " dB";
        previous = lsd;
    }
}

TEST(CompareSignals, ReportsDelayAndBothMeasures) {
    const std::vector<int16_t> speech = tarnel_test::load_speech_sample();
    const std::vector<int16_t> test = with_noise_per_frame(delayed(speech, 37), 18, 16);
    const quality_report q = compare_signals(speech, test);
    EXPECT_EQ(37, q.delay);
    ASSERT_TRUE(q.segmental_snr_db.has_value());
    EXPECT_NEAR(18.0, *q.segmental_snr_db, 1.5);
    ASSERT_TRUE(q.log_spectral_distance_db.has_value());
    EXPECT_GT(*q.log_spectral_distance_db, 1.0);
    // The same measures as when called one by one at the true delay.
    EXPECT_EQ(*segmental_snr_db(speech, test, 37), *q.segmental_snr_db);
    EXPECT_EQ(*log_spectral_distance_db(speech, test, 37), *q.log_spectral_distance_db);
}

// ---------------------------------------------------------------------------------------------
// Files

namespace {

class ToolFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tarnel-io-XXXXXX").string();
        ASSERT_NE(nullptr, ::mkdtemp(tmpl.data()));
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::vector<uint8_t> contents(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static void put(const std::string& p, const std::vector<uint8_t>& bytes) {
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good());
    }

    // A file written by libsndfile itself, so the reader is checked against an independent writer.
    static void make_audio(const std::string& p, int rate, int channels, int format,
                           const std::vector<int16_t>& interleaved) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* sf = sf_open(p.c_str(), SFM_WRITE, &info);
        ASSERT_NE(nullptr, sf) << sf_strerror(nullptr);
        const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
        EXPECT_EQ(frames, sf_writef_short(sf, interleaved.data(), frames));
        ASSERT_EQ(0, sf_close(sf));
    }

    fs::path dir_;
};

void expect_one_line(const std::string& error) {
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(std::string::npos, error.find('\n')) << error;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<int16_t> ramp(size_t n) {
    std::vector<int16_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<int16_t>(static_cast<uint16_t>((i * 2654435761u) >> 13));
    out[0] = -32768;
    if (n > 1) out[1] = 32767;
    return out;
}

// Points a standard descriptor at another file for the life of the object.
class redirect {
public:
    redirect(int fd, const std::string& target, int flags) : fd_(fd), saved_(::dup(fd)) {
        const int t = ::open(target.c_str(), flags, 0644);
        if (t < 0 || saved_ < 0) throw std::runtime_error("cannot redirect to " + target);
        ::dup2(t, fd_);
        ::close(t);
    }
    ~redirect() {
        ::dup2(saved_, fd_);
        ::close(saved_);
    }
    redirect(const redirect&) = delete;
    redirect& operator=(const redirect&) = delete;

private:
    int fd_;
    int saved_;
};

}  // namespace

TEST_F(ToolFiles, WavRoundTripsEverySampleValue) {
    const std::vector<int16_t> samples = ramp(12345);
    ASSERT_TRUE(write_pcm(path("a.wav"), samples, false).ok());
    const pcm_result r = read_pcm(path("a.wav"), false);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(samples, r.samples);
    EXPECT_EQ(44u + 2 * samples.size(), fs::file_size(path("a.wav")));
    EXPECT_EQ(std::vector<std::string>{"a.wav"}, entries());
}

TEST_F(ToolFiles, WrittenWavIsEightKilohertzMonoPcm16ToAnIndependentReader) {
    ASSERT_TRUE(write_pcm(path("a.wav"), ramp(800), false).ok());
    SF_INFO info{};
    SNDFILE* sf = sf_open(path("a.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(nullptr, sf);
    EXPECT_EQ(8000, info.samplerate);
    EXPECT_EQ(1, info.channels);
    EXPECT_EQ(SF_FORMAT_WAV | SF_FORMAT_PCM_16, info.format);
    EXPECT_EQ(800, info.frames);
    std::vector<int16_t> got(800);
    EXPECT_EQ(800, sf_readf_short(sf, got.data(), 800));
    EXPECT_EQ(ramp(800), got);
    sf_close(sf);
}

TEST_F(ToolFiles, ReadsPcm16FilesFromAnotherWriter) {
    make_audio(path("in.wav"), 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ramp(1000));
    make_audio(path("in.aiff"), 8000, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, ramp(1000));
    for (const char* name : {"in.wav", "in.aiff"}) {
        const pcm_result r = read_pcm(path(name), false);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(ramp(1000), r.samples) << name;
    }
}

TEST_F(ToolFiles, RawIsHeaderlessLittleEndian) {
    const std::vector<int16_t> samples{0x1234, -2, 32767, -32768};
    ASSERT_TRUE(write_pcm(path("a.pcm"), samples, true).ok());
    EXPECT_EQ((std::vector<uint8_t>{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0x7F, 0x00, 0x80}),
              contents(path("a.pcm")));
    const pcm_result r = read_pcm(path("a.pcm"), true);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(samples, r.samples);
}

TEST_F(ToolFiles, RawNameMeansRawBothWays) {
    const std::vector<int16_t> samples = ramp(500);
    ASSERT_TRUE(write_pcm(path("a.raw"), samples, false).ok());
    EXPECT_EQ(1000u, fs::file_size(path("a.raw")));
    const pcm_result r = read_pcm(path("a.raw"), false);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(samples, r.samples);
    EXPECT_TRUE(names_raw_file("X.RAW"));
    EXPECT_FALSE(names_raw_file("raw"));
    EXPECT_FALSE(names_raw_file("a.wav"));
    // A WAV read as raw keeps its header as samples: the flag is obeyed, not second-guessed.
    ASSERT_TRUE(write_pcm(path("b.wav"), samples, false).ok());
    EXPECT_EQ(samples.size() + 22, read_pcm(path("b.wav"), true).samples.size());
}

TEST_F(ToolFiles, RefusesOtherRatesAndChannelsWithAConversionHint) {
    make_audio(path("speech.wav"), 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ramp(2000));
    const pcm_result r = read_pcm(path("speech.wav"), false);
    EXPECT_TRUE(r.samples.empty());
    expect_one_line(r.error);
    EXPECT_EQ(path("speech.wav") +
                  ": 44100 Hz, 2 channels; tarnel needs 8000 Hz mono 16-bit "
                  "(convert with: sox " +
                  path("speech.wav") + " -r 8000 -c 1 -b 16 out.wav)",
              r.error);

    make_audio(path("my speech.wav"), 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ramp(1000));
    EXPECT_TRUE(contains(read_pcm(path("my speech.wav"), false).error,
                         "(convert with: sox '" + path("my speech.wav") + "' -r 8000"));

    make_audio(path("wide.wav"), 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ramp(1000));
    EXPECT_TRUE(contains(read_pcm(path("wide.wav"), false).error, "16000 Hz, 1 channel;"));
    make_audio(path("two.wav"), 8000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ramp(1000));
    EXPECT_TRUE(contains(read_pcm(path("two.wav"), false).error, "8000 Hz, 2 channels;"));
}

TEST_F(ToolFiles, RefusesSampleFormatsOtherThan16Bit) {
    make_audio(path("f.wav"), 8000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, ramp(1000));
    make_audio(path("b.wav"), 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, ramp(1000));
    make_audio(path("w.wav"), 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24, ramp(1000));
    const struct {
        const char* name;
        const char* says;
    } cases[] = {{"f.wav", "32-bit float"}, {"b.wav", "8-bit"}, {"w.wav", "24-bit"}};
    for (const auto& c : cases) {
        const pcm_result r = read_pcm(path(c.name), false);
        EXPECT_TRUE(r.samples.empty()) << c.name;
        expect_one_line(r.error);
        EXPECT_TRUE(contains(r.error, c.says)) << r.error;
        EXPECT_TRUE(contains(r.error, "needs 8000 Hz mono 16-bit")) << r.error;
    }
}

TEST_F(ToolFiles, ReportsMissingDirectoryAndEmptyInputs) {
    const pcm_result missing = read_pcm(path("nope.wav"), false);
    expect_one_line(missing.error);
    EXPECT_EQ(path("nope.wav") + ": no such file", missing.error);

    const pcm_result dir = read_pcm(dir_.string(), false);
    expect_one_line(dir.error);
    EXPECT_TRUE(contains(dir.error, dir_.string()) && contains(dir.error, "directory"))
        << dir.error;

    put(path("empty.wav"), {});
    put(path("empty.raw"), {});
    for (const char* name : {"empty.wav", "empty.raw"}) {
        const pcm_result r = read_pcm(path(name), false);
        expect_one_line(r.error);
        EXPECT_EQ(path(name) + ": empty file", r.error);
    }
    EXPECT_TRUE(contains(read_pcm(path("x/y.wav"), false).error, path("x/y.wav")));
}

TEST_F(ToolFiles, ReportsATruncatedWav) {
    ASSERT_TRUE(write_pcm(path("whole.wav"), ramp(1000), false).ok());
    const std::vector<uint8_t> whole = contents(path("whole.wav"));

    put(path("cut.wav"), std::vector<uint8_t>(whole.begin(), whole.end() - 100));
    const pcm_result cut = read_pcm(path("cut.wav"), false);
    expect_one_line(cut.error);
    EXPECT_TRUE(cut.samples.empty());
    EXPECT_EQ(
        path("cut.wav") + ": truncated (the header announces 1000 samples, the file holds 950)",
        cut.error);

    // Cut inside the header, and mid-sample.
    for (size_t keep : {size_t{30}, size_t{40}, size_t{44 + 201}}) {
        put(path("short.wav"),
            std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(keep)));
        const pcm_result r = read_pcm(path("short.wav"), false);
        expect_one_line(r.error);
        EXPECT_TRUE(contains(r.error, "truncated")) << keep << ": " << r.error;
    }
}

TEST_F(ToolFiles, AcceptsAWavStreamedWithAPlaceholderLength) {
    // A writer that cannot seek back leaves sizes just under 2 GiB; that is not truncation.
    std::vector<uint8_t> bytes = wav_image(ramp(300));
    for (size_t at : {size_t{4}, size_t{40}}) {
        bytes[at] = 0x00;
        bytes[at + 1] = 0xF0;
        bytes[at + 2] = 0xFF;
        bytes[at + 3] = 0x7F;
    }
    put(path("piped.wav"), bytes);
    const pcm_result r = read_pcm(path("piped.wav"), false);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(ramp(300), r.samples);
}

TEST_F(ToolFiles, ReportsOddRawLengthsAndUnknownFormats) {
    put(path("odd.raw"), {1, 2, 3});
    const pcm_result odd = read_pcm(path("odd.raw"), false);
    expect_one_line(odd.error);
    EXPECT_TRUE(odd.samples.empty());
    EXPECT_TRUE(contains(odd.error, path("odd.raw") + ": 3 bytes")) << odd.error;

    put(path("notes.wav"), std::vector<uint8_t>(200, 'x'));
    const pcm_result text = read_pcm(path("notes.wav"), false);
    expect_one_line(text.error);
    EXPECT_TRUE(contains(text.error, path("notes.wav") + ": not an audio file")) << text.error;

    // A valid header with no samples is not something to transcode.
    ASSERT_TRUE(write_pcm(path("none.wav"), {}, false).ok());
    EXPECT_EQ(44u, fs::file_size(path("none.wav")));
    EXPECT_EQ(path("none.wav") + ": holds no audio samples",
              read_pcm(path("none.wav"), false).error);
}

TEST_F(ToolFiles, ReplacesAnExistingFileKeepingItsMode) {
    put(path("out.wav"), std::vector<uint8_t>(5000, 0xAA));
    ASSERT_EQ(0, ::chmod(path("out.wav").c_str(), 0640));
    ASSERT_TRUE(write_pcm(path("out.wav"), ramp(100), false).ok());
    EXPECT_EQ(ramp(100), read_pcm(path("out.wav"), false).samples);
    EXPECT_EQ(fs::perms(0640), fs::status(path("out.wav")).permissions() & fs::perms::mask);
    EXPECT_EQ(std::vector<std::string>{"out.wav"}, entries());
}

TEST_F(ToolFiles, NewFilesGetTheUsualModeNotTheTemporaryOne) {
    const mode_t old = ::umask(022);
    const io_status s = write_pcm(path("new.wav"), ramp(100), false);
    ::umask(old);
    ASSERT_TRUE(s.ok()) << s.error;
    EXPECT_EQ(fs::perms(0644), fs::status(path("new.wav")).permissions() & fs::perms::mask);
}

TEST_F(ToolFiles, WritesThroughASymbolicLink) {
    put(path("target.wav"), {1, 2, 3, 4});
    fs::create_symlink(path("target.wav"), path("link.wav"));
    ASSERT_TRUE(write_pcm(path("link.wav"), ramp(10), false).ok());
    EXPECT_TRUE(fs::is_symlink(path("link.wav")));
    EXPECT_EQ(ramp(10), read_pcm(path("target.wav"), false).samples);
    EXPECT_EQ((std::vector<std::string>{"link.wav", "target.wav"}), entries());
}

TEST_F(ToolFiles, RefusesAnUnwritableDestinationLeavingNothing) {
    const io_status nodir = write_pcm(path("missing/out.wav"), ramp(10), false);
    expect_one_line(nodir.error);
    EXPECT_TRUE(contains(nodir.error, path("missing/out.wav"))) << nodir.error;

    put(path("plain"), {1});
    const io_status notdir = write_pcm(path("plain/out.wav"), ramp(10), false);
    expect_one_line(notdir.error);
    EXPECT_TRUE(contains(notdir.error, path("plain/out.wav"))) << notdir.error;

    fs::create_directory(path("sub"));
    const io_status isdir = write_pcm(path("sub"), ramp(10), false);
    expect_one_line(isdir.error);
    EXPECT_EQ(path("sub") + ": is a directory, not a file", isdir.error);

    EXPECT_FALSE(write_pcm("", ramp(10), false).ok());
    EXPECT_EQ((std::vector<std::string>{"plain", "sub"}), entries());
    EXPECT_TRUE(fs::is_empty(path("sub")));
}

TEST_F(ToolFiles, AFailedWriteKeepsThePreviousFileAndNoTemporary) {
    // A file-size limit makes the write to the temporary file fail part-way, as a full disk would.
    const std::vector<uint8_t> before(300, 0x55);
    put(path("out.wav"), before);
    struct rlimit old;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
    const io_status replace = write_pcm(path("out.wav"), ramp(20000), false);
    const io_status fresh = write_pcm(path("fresh.raw"), ramp(20000), false);
    const io_status bytes = write_output(path("fresh.bit"), std::vector<uint8_t>(10000, 1));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);

    for (const io_status* s : {&replace, &fresh, &bytes}) {
        expect_one_line(s->error);
        EXPECT_TRUE(contains(s->error, "write failed")) << s->error;
    }
    EXPECT_EQ(before, contents(path("out.wav")));
    EXPECT_EQ(std::vector<std::string>{"out.wav"}, entries());
}

TEST_F(ToolFiles, DeviceOutputIsWrittenInPlaceAndAFullDeviceIsAnError) {
    const io_status full = write_pcm("/dev/full", ramp(100), false);
    expect_one_line(full.error);
    EXPECT_TRUE(contains(full.error, "/dev/full")) << full.error;
    EXPECT_FALSE(write_output("/dev/full", {1, 2, 3}).ok());
    struct stat st;
    ASSERT_EQ(0, ::stat("/dev/full", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/full was replaced";
    for (const auto& e : fs::directory_iterator("/dev"))
        EXPECT_FALSE(contains(e.path().filename().string(), ".full.tmp")) << e.path();

    EXPECT_TRUE(write_pcm("/dev/null", ramp(100), false).ok());
    ASSERT_EQ(0, ::stat("/dev/null", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/null was replaced";
}

TEST_F(ToolFiles, StandardInputAndOutputStreams) {
    ASSERT_TRUE(write_pcm(path("in.wav"), ramp(700), false).ok());
    {
        redirect in(STDIN_FILENO, path("in.wav"), O_RDONLY);
        const pcm_result r = read_pcm("-", false);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(ramp(700), r.samples);
    }
    {
        redirect in(STDIN_FILENO, path("in.wav"), O_RDONLY);
        EXPECT_EQ(722u, read_pcm("-", true).samples.size());
    }
    // Results are checked once standard output is back, where test failures are reported.
    io_status wav, raw, full;
    {
        redirect out(STDOUT_FILENO, path("out.wav"), O_WRONLY | O_CREAT | O_TRUNC);
        wav = write_pcm("-", ramp(700), false);
    }
    {
        redirect out(STDOUT_FILENO, path("out.raw"), O_WRONLY | O_CREAT | O_TRUNC);
        raw = write_pcm("-", {0x0102}, true);
    }
    {
        redirect out(STDOUT_FILENO, "/dev/full", O_WRONLY);
        full = write_pcm("-", ramp(100), false);
    }
    EXPECT_TRUE(wav.ok() && raw.ok()) << wav.error << raw.error;
    EXPECT_EQ(contents(path("in.wav")), contents(path("out.wav")));
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x01}), contents(path("out.raw")));
    expect_one_line(full.error);
    EXPECT_TRUE(contains(full.error, "standard output")) << full.error;
    {
        redirect in(STDIN_FILENO, "/dev/null", O_RDONLY);
        EXPECT_EQ("standard input: no data", read_pcm("-", false).error);
    }
}

TEST_F(ToolFiles, BinaryFilesRoundTripWithTheSameErrorDiscipline) {
    std::vector<uint8_t> bits(1000);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<uint8_t>(i * 37);
    ASSERT_TRUE(write_output(path("speech.bit"), bits).ok());
    const bytes_result r = read_bytes(path("speech.bit"));
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(bits, r.bytes);

    EXPECT_EQ(path("gone.bit") + ": no such file", read_bytes(path("gone.bit")).error);
    put(path("empty.bit"), {});
    EXPECT_EQ(path("empty.bit") + ": empty file", read_bytes(path("empty.bit")).error);
    EXPECT_TRUE(contains(read_bytes(dir_.string()).error, "directory"));
    {
        redirect in(STDIN_FILENO, path("speech.bit"), O_RDONLY);
        EXPECT_EQ(bits, read_bytes("-").bytes);
    }
    io_status streamed;
    {
        redirect out(STDOUT_FILENO, path("copy.bit"), O_WRONLY | O_CREAT | O_TRUNC);
        streamed = write_output("-", bits);
    }
    EXPECT_TRUE(streamed.ok()) << streamed.error;
    EXPECT_EQ(bits, contents(path("copy.bit")));
    EXPECT_FALSE(write_output(path("no/such/dir.bit"), bits).ok());
    EXPECT_EQ((std::vector<std::string>{"copy.bit", "empty.bit", "speech.bit"}), entries());
}
