// Concealment of frames known to be missing: what the decoder plays in their place, and how it
// leaves its memories for the frames that come after. g729_conceal_frame (codec/decoder.h) is
// the entry point; these are the figures that shape it, and the two calls the decoder makes on
// received frames so that the frames after a gap start from the best guess of the sender's
// memories.
//
// Most of what a gap costs is heard after it, not in it: the sender's next frames refer to an
// excitation history the receiver never had, and the pitch loop carries the difference for
// hundreds of milliseconds. Two of the sender's memories can be guessed better once its next
// frame is in hand: the pitch history (its lag is then known at both ends of the gap) and, at
// a voiced onset, the level the code gains refer to.
#pragma once

#include "codec/decoder.h"
#include "dsp/frame.h"

namespace tarnel {

// A frame whose pitch gain (as the sharpening factor keeps it, 0.2..0.7945) reached this was
// voiced: the periodic part carried at least a quarter of the excitation's energy.
constexpr double kConcealVoicedGain = 0.5;

// A lost stretch of speech continues as the pitch it had unless the last pitch gain sat near
// the floor of the sharpening factor; only then does it continue as noise. A weak periodic part
// repeated still keeps the spectrum the sender's frames had (measured: continuing as noise from
// kConcealVoicedGain down recovered less).
constexpr double kConcealPitchGain = 0.3;

// The excitation history loses this much amplitude per concealed subframe (0.26 dB): the
// talker has not stopped because packets were lost, so the memories the next received frame
// builds on keep close to the level last heard, while what is played fades far faster.
constexpr double kConcealHistoryDecay = 0.97;

// Subframes of lost speech that are heard at all: the output holds its level for 35 ms (one
// lost packet, and most of a second, is bridged at full level), then falls in even steps to
// nothing at 50 ms, and what still rings in the filters has died away by 60 ms. Inventing sound for
// longer would put words in the talker's mouth.
constexpr int kConcealHeardSubframes = 10;
constexpr int kConcealHeldSubframes = 7;
constexpr int kConcealFadeFrames = 6;  // frames after which a lost stretch of speech is silent

// Level of concealed subframe n (0 = the first after the last received one) relative to the
// last received speech.
constexpr double conceal_level(int n) {
    return n >= kConcealHeardSubframes ? 0.0
           : n < kConcealHeldSubframes ? 1.0
                                       : static_cast<double>(kConcealHeardSubframes - n) /
                                             (kConcealHeardSubframes - kConcealHeldSubframes + 1);
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

// ---- The frames after a gap ------------------------------------------------------------

// Longest lost stretch whose pitch history is rebuilt when frames return (60 ms); after a
// longer one the history has little left to say.
constexpr int kConcealRebuiltFrames = 6;

// A received lag this many times longer or shorter than the one the gap began with is a new
// voiced sound or a halved or doubled period, not a drift: the rebuilt history then repeats at
// the received lag throughout instead of gliding to it (measured: gliding across larger
// changes recovered less).
constexpr double kConcealLagJump = 1.15;

// A gap that ends in voiced speech while the gain predictor memory it leaves sits this far (dB)
// below the memory of the last voiced frame hid an onset: the sender's memory has risen with
// the onset, the receiver's still holds the pause before it.
constexpr double kOnsetGapDb = 6.0;

// The received frame's own code-gain correction factors say where the sender's level was: in
// steady speech they settle where the predicted energy plus the factor is the level, so they
// rise and fall with it. Unless the frame is taken for a hidden onset, the guessed memories are
// moved this share of the way from the level before the gap toward the level the factors say;
// the second subframe's factor counts for kResumeLaterFactor of it, being the one nearer where
// the prediction has caught up.
constexpr double kResumeLevelShare = 0.5;
constexpr double kResumeLaterFactor = 0.6;

// The level (dB per sample) of an excitation history whose frame has correction factors of
// mean u dB: kResumeExcitationDb + kResumeExcitationSlope * u, fitted on the test speech (the
// steady-state code level, 36 + 2.79 u, raised by the pitch loop that builds the excitation on
// it). The rebuilt history moves toward it by at most kResumeLevelMaxDb: beyond that the
// factors more often mark a passing change than the sender's level (measured: without the
// bound it recovered less).
constexpr double kResumeExcitationDb = 45.0;
constexpr double kResumeExcitationSlope = 2.4;
constexpr double kResumeLevelMaxDb = 4.0;

// The lost frames' codebook vectors are guessed as the last envelope's moved this share of the
// way to the vector the received frame names, and the envelope the received frame's first
// subframe starts from moves this share of the way to the received one: over a gap the
// envelope has moved toward where it is now. (The received vector is amplified by the
// prediction it corrects, so going all the way recovered far less.)
constexpr double kResumeEnvelopeShare = 0.3;
constexpr double kResumeInterpolationShare = 0.5;

// The first frame received after concealed frames, in place of lsp_decode: guesses the lost
// frames' codebook vectors in the LSP predictor from the received indices, decodes the LSPs
// into lsp_new and moves the previous LSPs toward them.
void conceal_resume_envelope(g729_decoder_state* st, const int* lsp_indices, double* lsp_new);

// The same frame, called before its first adaptive-codebook vector is built, with that
// subframe's lag t0 and fraction frac: guesses the sender's pitch history and code-gain level
// from what the frame says.
void conceal_resume(g729_decoder_state* st, const g729_params* p, int t0, int frac);

// Every decoded frame, once its memories are final: a voiced one leaves the level of voiced
// speech, the mean of its gain predictor memory. One frame's, not a running average: the
// decoder keeps nothing of a past it has fully left behind.
inline void conceal_note_frame(g729_decoder_state* st) {
    if (st->pitch_sharp < kConcealVoicedGain) return;
    double sum = 0.0;
    for (double m : st->gain_predictor_memory) sum += m;
    st->voiced_level = sum * (1.0 / kGainPredictorOrder);
}

}  // namespace tarnel
