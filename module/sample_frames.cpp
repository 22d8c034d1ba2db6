// The sample frames: 30 ms of voiced speech as linear PCM, and 50 ms of the same speech coded.
#include "module/sample_frames.h"

#include <cstdint>

#include "dsp/frame.h"

namespace tarnel::module {
namespace {

constexpr int kSlinSampleCount = 3 * kFrame;
constexpr int kG729SampleFrames = 5;

// clang-format off: the sample frames keep their rows.
// A voiced stretch of the bundled speech recording (samples/speech.wav, from sample 93440).
constexpr int16_t kSlinSpeech[kSlinSampleCount] = {
    992,   1048,  1091,  1039,  888,   698,   568,   244,   -26,   -319,  -598, -741,  -952, -1035,
    -1139, -1083, -996,  -906,  -775,  -657,  -542,  -459,  -402,  -313,  -295, -281,  -240, -261,
    -254,  -320,  -241,  -204,  -182,  -138,  -89,   -11,   20,    109,   24,   73,    76,   75,
    127,   237,   -9,    -599,  -19,   415,   17,    -369,  -405,  86,    208,  145,   55,   -55,
    206,   353,   351,   239,   257,   317,   201,   356,   367,   395,   429,  521,   728,  751,
    979,   1083,  1165,  1248,  1259,  1187,  1017,  860,   544,   222,   -90,  -374,  -700, -929,
    -1166, -1281, -1254, -1220, -1169, -1093, -914,  -750,  -640,  -493,  -454, -428,  -335, -304,
    -297,  -327,  -295,  -353,  -257,  -254,  -192,  -162,  -101,  7,     41,   92,    39,   112,
    117,   167,   60,    8,     -33,   -90,   -57,   -82,   -98,   -129,  -100, -60,   -7,   75,
    136,   203,   270,   296,   310,   296,   306,   361,   426,   410,   430,  365,   440,  730,
    894,   980,   1101,  1250,  1273,  1421,  1560,  1452,  1097,  827,   614,  256,   -31,  -492,
    -896,  -1177, -1332, -1380, -1477, -1383, -1397, -1262, -1040, -848,  -698, -628,  -495, -469,
    -401,  -385,  -349,  -372,  -340,  -371,  -320,  -265,  -232,  -138,  -104, -6,    18,   87,
    125,   152,   149,   65,    59,    55,    -19,   -21,   -123,  -109,  -170, -97,   -71,  -114,
    -3,    66,    170,   146,   248,   295,   362,   333,   350,   360,   393,  400,   400,  503,
    489,   673,   814,   990,   1179,  1216,  1365,  1498,  1538,  1425,  1258, 1014,  736,  333,
    -93,   -433,  -830,  -993,  -1236, -1295, -1713, -1734, -1207, -1088, -928, -1024, -850, -753,
    -493,  -237,
};

// The voiced stretch above and the 160 samples after it, coded by the module's encoder:
// samples 93440 to 93839, after ten frames of lead-in from sample 92640 so that the coder's
// history is speech too.
constexpr uint8_t kG729Speech[kG729SampleFrames * kSpeechFrameBytes] = {
    0x84, 0x92, 0x2a, 0x0c, 0xc3, 0xee, 0x07, 0xeb, 0x9b, 0x58, 0x09, 0x20, 0xe5,
    0xdd, 0x89, 0x6d, 0xf9, 0xef, 0x97, 0x5b, 0x02, 0x12, 0xe7, 0xef, 0x68, 0xaf,
    0x2b, 0x61, 0xd7, 0xd8, 0x04, 0x01, 0x27, 0xbb, 0xaa, 0x49, 0x74, 0x7e, 0xc8,
    0xc7, 0x02, 0x58, 0x27, 0xb4, 0x0f, 0x63, 0x75, 0x24, 0x0f, 0x7b,
};
// clang-format on

// The host receives a pointer to the frame, not to const: it never writes sample payloads,
// and a write would land in read-only memory rather than corrupt later samples.
constexpr hvn_frame make_frame(const void* data, int datalen, int samples, const char* src) {
    hvn_frame f{};
    f.frametype = HVN_FRAME_VOICE;
    f.datalen = datalen;
    f.samples = samples;
    f.src = src;
    f.data = const_cast<void*>(data);
    return f;
}

hvn_frame g_slin_frame =
    make_frame(kSlinSpeech, sizeof kSlinSpeech, kSlinSampleCount, "lintog729_sample");
hvn_frame g_g729_frame =
    make_frame(kG729Speech, sizeof kG729Speech, kG729SampleFrames* kFrame, "g729tolin_sample");

static_assert(sizeof kSlinSpeech == 480, "the linear sample carries 480 bytes");
static_assert(sizeof kG729Speech == 50, "the coded sample carries 50 bytes");

// The host may ask for a sample from any channel thread, and reads the format it finds there.
// The pointer is written only when the host's format object has changed (set at load, then
// again after a renewal), and atomically, so that callers at once never write it together.
hvn_frame* stamped(hvn_frame* f, hvn_format* current) {
    if (__atomic_load_n(&f->format, __ATOMIC_ACQUIRE) != current)
        __atomic_store_n(&f->format, current, __ATOMIC_RELEASE);
    return f;
}

}  // namespace

hvn_frame* lintog729_sample() noexcept { return stamped(&g_slin_frame, hvn_format_slin); }

hvn_frame* g729tolin_sample() noexcept { return stamped(&g_g729_frame, hvn_format_g729); }

void stamp_sample_frames() noexcept {
    lintog729_sample();
    g729tolin_sample();
}

}  // namespace tarnel::module
