// The codec's output is bit-for-bit reproducible only as far as the C library's cos, acos,
// log10 and pow are, since no standard binds their last bit. This executable is linked with
// -Wl,--wrap for each of them, so every call the codec's objects make lands in a __wrap_
// function here, which calls the library and compares its result with the correctly rounded
// value from MPFR (53 bits, round to nearest). The wrappers can also hand the codec the
// correctly rounded value, or one a few units in the last place away, to show whether the
// output depends on those last bits at all.
//
// sqrt is wrapped too, although the compiler emits the sqrtsd instruction for it (correctly
// rounded by IEEE 754) and calls the library only to set errno for a negative argument: the
// count shows how often that path is taken.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "support/test_support.h"

#if TARNEL_HAVE_MPFR
#include <mpfr.h>

using namespace tarnel;

namespace {

enum math_function { kCos, kAcos, kLog10, kPow, kSqrt, kFunctionCount };
constexpr const char* kFunctionNames[kFunctionCount] = {"cos", "acos", "log10", "pow", "sqrt"};

enum coding_phase { kEncode, kDecodeSpeech, kDecodeSid, kPhaseCount };

struct math_call_log {
    long calls[kPhaseCount][kFunctionCount];
    long misrounded[kFunctionCount];
    std::string first_misrounded;  // the first call whose result is not correctly rounded
};

// What the wrappers hand back to the codec: the library's result, or the correctly rounded
// value moved by `ulps` units in the last place (each call a random amount in -ulps..ulps
// when `random`).
struct result_choice {
    const char* name;
    bool library;
    int ulps;
    bool random;
};
constexpr result_choice kLibraryResults = {"the library's results", true, 0, false};

// Calls are logged only while a phase is active: the test framework's own calls pass through.
math_call_log g_log;
int g_phase = -1;
result_choice g_choice = kLibraryResults;
uint32_t g_seed = 0;

uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

bool same_double(double a, double b) { return (a != a && b != b) || bits_of(a) == bits_of(b); }

double rounded_unary(int (*f)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t), double x) {
    mpfr_t m;
    mpfr_init2(m, 53);
    mpfr_set_d(m, x, MPFR_RNDN);  // exact
    const int inexact = f(m, m, MPFR_RNDN);
    mpfr_subnormalize(m, inexact, MPFR_RNDN);
    const double r = mpfr_get_d(m, MPFR_RNDN);
    mpfr_clear(m);
    return r;
}

double rounded_pow(double x, double y) {
    mpfr_t mx, my;
    mpfr_init2(mx, 53);
    mpfr_init2(my, 53);
    mpfr_set_d(mx, x, MPFR_RNDN);
    mpfr_set_d(my, y, MPFR_RNDN);
    const int inexact = mpfr_pow(mx, mx, my, MPFR_RNDN);
    mpfr_subnormalize(mx, inexact, MPFR_RNDN);
    const double r = mpfr_get_d(mx, MPFR_RNDN);
    mpfr_clear(mx);
    mpfr_clear(my);
    return r;
}

double delivered(double got, double want) {
    if (g_choice.library) return got;
    int ulps = g_choice.ulps;
    if (g_choice.random) {
        g_seed = g_seed * 1103515245u + 12345u;
        ulps = static_cast<int>((g_seed >> 16) % (2 * ulps + 1)) - ulps;
    }
    for (; ulps > 0; --ulps) want = std::nextafter(want, INFINITY);
    for (; ulps < 0; ++ulps) want = std::nextafter(want, -INFINITY);
    return want;
}

// Counts the call and keeps the first result that differs from the correctly rounded one;
// pow is the only two-argument function.
double checked(math_function f, double got, double want, double x, double y = 0.0) {
    ++g_log.calls[g_phase][f];
    if (!same_double(got, want) && g_log.misrounded[f]++ == 0 && g_log.first_misrounded.empty()) {
        char text[256];
        if (f == kPow)
            std::snprintf(text, sizeof text, "pow(%a, %a) returned %a, correctly rounded %a", x, y,
                          got, want);
        else
            std::snprintf(text, sizeof text, "%s(%a) returned %a, correctly rounded %a",
                          kFunctionNames[f], x, got, want);
        g_log.first_misrounded = text;
    }
    return delivered(got, want);
}

}  // namespace

extern "C" {
double __real_cos(double);
double __real_acos(double);
double __real_log10(double);
double __real_pow(double, double);
double __real_sqrt(double);

double __wrap_cos(double x) {
    if (g_phase < 0) return __real_cos(x);
    return checked(kCos, __real_cos(x), rounded_unary(mpfr_cos, x), x);
}
double __wrap_acos(double x) {
    if (g_phase < 0) return __real_acos(x);
    return checked(kAcos, __real_acos(x), rounded_unary(mpfr_acos, x), x);
}
double __wrap_log10(double x) {
    if (g_phase < 0) return __real_log10(x);
    return checked(kLog10, __real_log10(x), rounded_unary(mpfr_log10, x), x);
}
double __wrap_pow(double x, double y) {
    if (g_phase < 0) return __real_pow(x, y);
    return checked(kPow, __real_pow(x, y), rounded_pow(x, y), x, y);
}
double __wrap_sqrt(double x) {
    if (g_phase < 0) return __real_sqrt(x);
    return checked(kSqrt, __real_sqrt(x), rounded_unary(mpfr_sqrt, x), x);
}
}  // extern "C"

namespace {

struct coded_output {
    std::vector<uint8_t> bits;
    std::vector<int16_t> speech;  // the bitstream decoded
    std::vector<int16_t> noise;   // comfort noise from SID frames after that speech, then speech
};

// Encodes the bundled speech and decodes it, then decodes SID frames (a fixed one, then a
// pseudo-random sequence) and a few speech frames, so that the comfort-noise path and the
// return from it make their calls too. The log starts afresh.
coded_output code_bundled_speech(const result_choice& choice) {
    // The exponent range of a double, so that mpfr_subnormalize rounds a subnormal result as
    // the hardware format would.
    mpfr_set_emin(-1073);
    mpfr_set_emax(1024);
    g_log = math_call_log{};
    g_choice = choice;
    g_seed = 2024;

    const std::vector<int16_t> pcm = tarnel::test::load_speech_sample();
    coded_output out;
    g_phase = kEncode;
    g729_encoder_state enc;
    g729_encoder_init(&enc);
    uint8_t frame[kSpeechFrameBytes];
    for (size_t i = 0; i + kFrame <= pcm.size(); i += kFrame) {
        int len = 0;
        g729_encode_frame(&enc, &pcm[i], frame, &len);
        out.bits.insert(out.bits.end(), frame, frame + len);
    }

    g_phase = kDecodeSpeech;
    g729_decoder_state dec;
    g729_decoder_init(&dec);
    const size_t frames = out.bits.size() / kSpeechFrameBytes;
    out.speech.resize(frames * kFrame);
    for (size_t f = 0; f < frames; ++f)
        g729_decode_frame(&dec, &out.speech[f * kFrame], &out.bits[f * kSpeechFrameBytes],
                          kSpeechFrameBytes);

    g_phase = kDecodeSid;
    int16_t block[kFrame];
    uint32_t seed = 12345;
    for (int f = 0; f < 200; ++f) {
        uint8_t sid[kSidFrameBytes] = {0x12, 0x0c};
        if (f >= 20 && f % 10 == 0) {
            seed = seed * 1103515245u + 12345u;
            sid[0] = static_cast<uint8_t>(seed >> 16);
            sid[1] = static_cast<uint8_t>(seed >> 24);
        }
        g729_decode_frame(&dec, block, sid, kSidFrameBytes);
        out.noise.insert(out.noise.end(), block, block + kFrame);
    }
    for (size_t f = 0; f < 20; ++f) {
        g729_decode_frame(&dec, block, &out.bits[f * kSpeechFrameBytes], kSpeechFrameBytes);
        out.noise.insert(out.noise.end(), block, block + kFrame);
    }
    g_phase = -1;
    g_choice = kLibraryResults;
    return out;
}

std::string call_table() {
    std::string t = "         encode  decode speech  decode SID  not correctly rounded\n";
    for (int f = 0; f < kFunctionCount; ++f) {
        char row[128];
        std::snprintf(row, sizeof row, "%-6s %8ld %14ld %11ld %22ld\n", kFunctionNames[f],
                      g_log.calls[kEncode][f], g_log.calls[kDecodeSpeech][f],
                      g_log.calls[kDecodeSid][f], g_log.misrounded[f]);
        t += row;
    }
    return t + "first: " + (g_log.first_misrounded.empty() ? "none" : g_log.first_misrounded);
}

}  // namespace

TEST(MathCalls, EveryCallIsInterceptedComfortNoiseIncluded) {
    code_bundled_speech(kLibraryResults);
    std::printf("%s\n", call_table().c_str());
    // A function the codec uses but that was never intercepted would make the checks hollow.
    for (int f : {kCos, kAcos, kLog10, kPow})
        EXPECT_GT(g_log.calls[kEncode][f], 0) << kFunctionNames[f] << " in encoding";
    for (int f : {kCos, kLog10, kPow})
        EXPECT_GT(g_log.calls[kDecodeSpeech][f], 0) << kFunctionNames[f] << " in decoding";
    EXPECT_GT(g_log.calls[kDecodeSid][kCos], 0) << "the SID frames made no calls";
}

// Holds only with a correctly rounding library; the C library this was written on misses in
// a few calls per thousand (log10 in nearly one in ten), so this runs on request:
// --gtest_also_run_disabled_tests.
TEST(MathCalls, DISABLED_EveryResultIsCorrectlyRounded) {
    code_bundled_speech(kLibraryResults);
    EXPECT_TRUE(g_log.first_misrounded.empty()) << call_table();
}

// What the output does rest on: it is the same with correctly rounded results, and with
// results a few units in the last place off either way, as any other library may give.
TEST(MathCalls, OutputDoesNotDependOnTheLastBitsOfTheResults) {
    const coded_output library = code_bundled_speech(kLibraryResults);
    const result_choice choices[] = {
        {"correctly rounded results", false, 0, false},
        {"results 4 ulps above", false, 4, false},
        {"results 4 ulps below", false, -4, false},
        {"results up to 4 ulps off either way (seed 2024)", false, 4, true},
    };
    for (const result_choice& choice : choices) {
        const coded_output other = code_bundled_speech(choice);
        EXPECT_EQ(library.bits, other.bits) << choice.name;
        EXPECT_EQ(library.speech, other.speech) << choice.name;
        EXPECT_EQ(library.noise, other.noise) << choice.name;
    }
}

#else

TEST(MathCalls, EveryCallIsInterceptedComfortNoiseIncluded) {
    GTEST_SKIP() << "libmpfr was not found at configure time (install libmpfr-dev and "
                    "reconfigure): the codec's cos, acos, log10 and pow results are not checked";
}

#endif
