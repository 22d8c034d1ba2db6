// Concealment of frames known to be missing: what the decoder plays in their place, and how it
// leaves its memories for the frames that come after. g729_conceal_frame (codec/decoder.h) is
// the entry point; these are the figures that shape it.
#pragma once

#include "dsp/frame.h"

namespace tarnel {

// A lost stretch of speech continues as the voiced sound it was when the last pitch gain (as
// the sharpening factor keeps it, 0.2..0.7945) reached this: the periodic part then carried
// at least a quarter of the excitation's energy. Below it the lost sound continues as noise.
constexpr double kConcealVoicedGain = 0.5;

// The excitation history loses this much amplitude per concealed subframe (0.26 dB): the
// talker has not stopped because packets were lost, so the memories the next received frame
// builds on keep close to the level last heard, while what is played fades far faster.
constexpr double kConcealHistoryDecay = 0.97;

// Subframes of lost speech that are heard at all: the output holds its level for 15 ms, then
// falls in even steps to nothing at 50 ms, and what still rings in the filters has died away
// by 60 ms. Inventing sound for longer would put words in the talker's mouth.
constexpr int kConcealHeardSubframes = 10;
constexpr int kConcealFadeFrames = 6;  // frames after which a lost stretch of speech is silent

// Level of concealed subframe n (0 = the first after the last received one) relative to the
// last received speech.
constexpr double conceal_level(int n) {
    return n >= kConcealHeardSubframes ? 0.0
           : n < 3                     ? 1.0
                                       : (kConcealHeardSubframes - n) * 0.125;
}

// Bandwidth expansion of the kept envelope in concealed subframe n: the formants widen as the
// sound fades, so that the synthesis filter's ringing dies with it instead of outlasting it.
constexpr double conceal_bandwidth(int n) { return n < 3 ? 1.0 : 1.0 - 0.01 * (n - 2); }

// The same level relative to the concealed excitation history, which has decayed by
// kConcealHistoryDecay per subframe up to and including subframe n.
constexpr double conceal_heard_gain(int n) {
    double history = 1.0;
    for (int i = 0; i <= n; ++i) history *= kConcealHistoryDecay;
    return conceal_level(n) / history;
}

static_assert(conceal_level(0) == 1.0 && conceal_level(kConcealHeardSubframes - 1) > 0.0,
              "the first concealed subframe is heard at the last level, the last one at all");
static_assert(conceal_heard_gain(kConcealHeardSubframes) == 0.0 &&
                  kConcealHeardSubframes < kConcealFadeFrames * kSubframes,
              "the excitation of lost speech stops before 60 ms");

}  // namespace tarnel
