#include "codec/concealment.h"

#include <cmath>

#include "cng/comfort_noise.h"
#include "codec/decoder.h"
#include "excitation/acelp.h"
#include "excitation/excitation_guard.h"
#include "excitation/gain_quantizer.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "tables/lsp_predictor_tables.h"

namespace tarnel {

namespace {

// Table of the heard gains, so that a frame does not rebuild them.
struct heard_gains {
    double g[kConcealHeardSubframes + 1];
    constexpr heard_gains() : g() {
        for (int n = 0; n <= kConcealHeardSubframes; ++n) g[n] = conceal_heard_gain(n);
    }
};
constexpr heard_gains kHeardGains;

// The envelope stays the last one received. The LSP predictor is pushed the codebook vector
// that, composed with the memory as it now stands, gives the last LSFs back: a frame received
// next is then predicted as if the lost ones had repeated the last envelope, which is what
// the listener heard. (Repeated, this converges to the LSFs themselves: the predictor is a
// decaying moving average.)
void keep_envelope(g729_decoder_state* st, double* a_sub) {
    lsp_to_lp(st->lsp_old, a_sub);
    copy_vector(a_sub, a_sub + kLpSize, kLpSize);
    double lsf[kOrder];
    lsp_to_lsf(st->lsp_old, lsf, kOrder);
    double buf[kOrder];
    lsf_prediction_target(lsf, buf, fg[0], st->lsp_predictor, fg_sum_inv[0]);
    lsp_predictor_push(buf, st->lsp_predictor);
}

// Sum of squares over n (a multiple of 4) samples, in four running sums: concealment only
// compares levels, so its sums need no one order, and four run in the latency of one.
double energy(const double* x, int n) {
    double e[4] = {0.0, 0.0, 0.0, 0.0};
    for (int i = 0; i < n; i += 4)
        for (int k = 0; k < 4; ++k) e[k] += x[i + k] * x[i + k];
    return (e[0] + e[1]) + (e[2] + e[3]);
}

// Voiced: the last pitch cycle again, sample by sample, so that a lag shorter than the
// subframe repeats what was just built. Its level is kept per cycle, not per subframe: a
// subframe may hold a pitch pulse or none. Only a cycle louder than the frame it ends (the
// last few milliseconds of an onset) is held down, to the energy of the 80 samples before the
// subframe, so that repeating it makes no burst above what was heard.
void repeat_pitch(double* exc, int t0) {
    for (int i = 0; i < kSubframe; ++i) exc[i] = kConcealHistoryDecay * exc[i - t0];
    const double heard = energy(exc - kFrame, kFrame);
    const double e = energy(exc, kSubframe);
    if (e > heard) {
        const double g = std::sqrt(heard / e);
        for (int i = 0; i < kSubframe; ++i) exc[i] *= g;
    }
}

// Unvoiced: four random pulses, the shape of the codec's own innovation, at the mean energy
// per subframe of the last 80 samples of excitation. The generator's seed lives in the state,
// so concealment is a function of the state alone.
void random_innovation(double* exc, int16_t* seed) {
    const double target =
        (kConcealHistoryDecay * kConcealHistoryDecay) * (energy(exc - kFrame, kFrame) * 0.5);
    const int index = cng_random(seed) & 8191;
    const int sign = cng_random(seed) & 15;
    double code[kSubframe];
    acelp_decode(sign, index, code);
    const double gc = std::sqrt(target * 0.25);  // the four unit pulses hold energy 4
    for (int i = 0; i < kSubframe; ++i) exc[i] = gc * code[i];
}

// The continuation never sounds louder than the last frame heard. It could: a repeated last
// pitch cycle is louder than the frame it ended when that frame was an onset, and noise meets
// the synthesis filter's formants with more energy than the excitation it replaces did. The
// frame's synthesis may hold the energy of the last frame heard and no more; subframe 0 may
// take all of it (one pitch pulse can carry a frame's energy), subframe 1 what is left. A
// subframe over its share is scaled down together with the filter memory and the history it
// leaves.
void hold_to_heard_level(g729_decoder_state* st, int s, double* syn, double* allowance) {
    double* y = syn + s * kSubframe;
    const double e = energy(y, kSubframe);
    if (e > *allowance) {
        const double g = std::sqrt(*allowance / e);
        for (int i = 0; i < kSubframe; ++i) y[i] *= g;
        for (double& m : st->syn_mem) m *= g;
        double* exc = st->exc + kExcHistory + s * kSubframe;
        for (int i = 0; i < kSubframe; ++i) exc[i] *= g;
    }
    *allowance = e > *allowance ? 0.0 : *allowance - e;
}

// The excitation of concealed subframe s into the history, and what of it is heard into heard,
// with the subframe's synthesis filter.
synthesis_job continue_excitation(g729_decoder_state* st, const double* a_sub, int s, int t0,
                                  double* heard, double* a, double* syn) {
    double* exc = st->exc + kExcHistory + s * kSubframe;
    if (st->conceal_voiced) {
        repeat_pitch(exc, t0);
    } else {
        random_innovation(exc, &st->conceal_seed);
    }
    limit_excitation(exc, kSubframe);
    // The gain predictor memory is left as the last received frame left it. The talker's
    // level has not fallen because packets were lost; a memory lowered with the fading output
    // predicts the next received code gains too low, and the pitch loop then carries that
    // quiet excitation on (measured: lowering it, even by the history's 0.26 dB per subframe,
    // recovers less).

    int n = st->lost_frames * kSubframes + s;
    if (n > kConcealHeardSubframes) n = kConcealHeardSubframes;
    for (int i = 0; i < kSubframe; ++i) heard[i] = kHeardGains.g[n] * exc[i];
    weight_lp(a_sub + s * kLpSize, kOrder, a, conceal_bandwidth(n));
    return {a, heard, syn + s * kSubframe, st->syn_mem, true};
}

// Lost speech: the excitation history is continued at nearly its level and kept as the past
// of the next frame, and what is heard is that continuation faded by conceal_level. The
// synthesis, post-filter and high-pass overlap as in a received frame, so that concealing
// costs no more than decoding.
void conceal_speech(g729_decoder_state* st, double* syn) {
    double a_sub[kLpPair];
    keep_envelope(st, a_sub);

    // Voicing and the level heard are judged once per burst, from the last frame received:
    // the continuation's own gains and level say nothing new.
    if (st->lost_frames == 0) {
        copy_vector(st->exc, st->exc_before_loss, kExcHistory);
        st->conceal_lag = static_cast<int16_t>(st->prev_pitch);
        st->conceal_voiced = st->pitch_sharp >= kConcealVoicedGain;
        st->heard_energy = energy(st->syn, kFrame);
    }
    int t0 = st->prev_pitch;
    if (t0 < kPitchMin) t0 = kPitchMin;
    if (t0 > kPitchMax) t0 = kPitchMax;

    double allowance = st->heard_energy;
    double heard[kSubframes][kSubframe];
    double a[kSubframes][kLpSize];
    postfilter_state* pf = &st->postfilter;
    postfilter_plan plan;
    double shaped[kSubframes][kSubframe];
    double out[kFrame];

    postfilter_plan_frame_beside(a_sub, &plan,
                                 continue_excitation(st, a_sub, 0, t0, heard[0], a[0], syn));
    hold_to_heard_level(st, 0, syn, &allowance);
    postfilter_shape(pf, plan, syn, 0, t0, true, shaped[0]);

    synthesis_filter_pair(continue_excitation(st, a_sub, 1, t0, heard[1], a[1], syn),
                          postfilter_synthesis(pf, plan, 0, shaped[0], out), kSubframe);
    hold_to_heard_level(st, 1, syn, &allowance);
    postfilter_agc(&pf->past_gain, out, syn);

    postfilter_shape(pf, plan, syn, 1, t0, true, shaped[1]);
    synthesis_beside_postprocess(postfilter_synthesis(pf, plan, 1, shaped[1], out + kSubframe),
                                 st->postprocess_state, out, kSubframe);
    postfilter_agc(&pf->past_gain, out + kSubframe, syn + kSubframe);
    postfilter_finish(pf, syn, out);
    postprocess(st->postprocess_state, syn + kSubframe, kSubframe);

    st->pitch_sharp = st->conceal_voiced ? clip_pitch_sharp(kConcealHistoryDecay) : kSharpMin;
    // Pitch drifts while nothing is known: a lag that grows a sample a frame keeps a long
    // repetition from ringing at one fixed pitch. A frame with a damaged first lag starts
    // from it too.
    st->prev_pitch = t0 < kPitchMax ? t0 + 1 : kPitchMax;
}

// A lost frame in a silence period could only have updated the noise, so the noise goes on
// as it does for a frame the sender chose not to send.
void conceal_noise(g729_decoder_state* st, double* syn) {
    double a_sub[kLpPair];
    double* exc = st->exc + kExcHistory;
    cng_continue(&st->cng, exc, st->lsp_old, a_sub, &st->cng_seed);
    for (int s = 0; s < kSubframes; ++s) {
        const int sub = s * kSubframe;
        synthesis_filter(a_sub + s * kLpSize, exc + sub, syn + sub, kSubframe, st->syn_mem,
                         false);
        copy_vector(syn + sub + kSubframe - kOrder, st->syn_mem, kOrder);
    }
    st->pitch_sharp = kSharpMin;
    const int lags[kSubframes] = {st->prev_pitch, st->prev_pitch};
    postfilter(&st->postfilter, syn, a_sub, lags, false);
    postprocess(st->postprocess_state, syn, kFrame);
}

// The history the received frame's adaptive codebook reads is rebuilt from the one the burst
// began with: its last pitch cycle repeated, each sample kConcealHistoryDecay of the one a lag
// before as in the gap, while the lag glides in a straight line from the burst's first lag to
// the received one, each subframe at the lag of its middle. The sender's pulses have moved by
// the lags of the lost subframes; the glide is the guess that follows that drift, where the
// concealment's own lag left them wherever it put them. What was played stays as it was: the
// rebuilt history is only what the next frames build on, whether the gap was filled with the
// pitch or with noise (the sender's excitation was no noise of ours either).
void rebuild_history(g729_decoder_state* st, int t0, int frac) {
    const int frames = st->lost_frames;
    if (frames > kConcealRebuiltFrames) return;
    const int subframes = frames * kSubframes;
    double w[kExcHistory + kConcealRebuiltFrames * kFrame];
    copy_vector(st->exc_before_loss, w, kExcHistory);
    double from = st->conceal_lag;
    if (from < kPitchMin) from = kPitchMin;
    if (from > kPitchMax) from = kPitchMax;
    const double to = t0 + frac * (1.0 / 3.0);
    if (to > kConcealLagJump * from || to * kConcealLagJump < from) from = t0;
    for (int k = 0; k < subframes; ++k) {
        const double lag = from + (to - from) * (k + 0.5) / subframes;
        const int t = static_cast<int>(lag + 0.5);
        double* x = w + kExcHistory + k * kSubframe;
        for (int i = 0; i < kSubframe; ++i) x[i] = kConcealHistoryDecay * x[i - t];
    }
    copy_vector(w + frames * kFrame, st->exc, kExcHistory);
}

// The gain predictor memory after a gap holds the level before it. When the gap hid a voiced
// onset, the sender's memory has risen with it, and the first received code gains, predicted
// from the pause, would come out far too quiet; the pitch loop would then take a tenth of a
// second to build the level up. A received frame with a voiced pitch gain and a memory well
// below that of the last voiced frame is taken for such an onset, and the memory is raised to
// that level (measured on the test speech: the sender's memory after an onset is that level
// plus 2.3 dB at the median, plus 0.2 dB at the lower quartile; raising it further recovered
// no more).
void lift_gain_memory(g729_decoder_state* st, const g729_params* p) {
    if (gain_index_pitch(p->slot[kSlotGain1]) < kConcealVoicedGain &&
        gain_index_pitch(p->slot[kSlotGain2]) < kConcealVoicedGain)
        return;
    double* m = st->gain_predictor_memory;
    double sum = 0.0;
    for (int i = 0; i < kGainPredictorOrder; ++i) sum += m[i];
    if (sum * (1.0 / kGainPredictorOrder) >= st->voiced_level - kOnsetGapDb) return;
    for (int i = 0; i < kGainPredictorOrder; ++i)
        if (m[i] < st->voiced_level) m[i] = st->voiced_level;
}

}  // namespace

void g729_conceal_frame(g729_decoder_state* st, int16_t* pcm) {
    if (st->prev_frame_type == kFrameTypeSid)
        conceal_noise(st, st->syn);
    else
        conceal_speech(st, st->syn);
    copy_vector(st->exc + kFrame, st->exc, kExcHistory);
    // The count goes one past the longest rebuilt stretch, so that a longer one is known.
    if (st->lost_frames <= kConcealRebuiltFrames) ++st->lost_frames;
    for (int i = 0; i < kFrame; ++i) pcm[i] = g729_round_sample(st->syn[i]);
}

void conceal_resume(g729_decoder_state* st, const g729_params* p, int t0, int frac) {
    // Comfort noise was continued, not speech: the memories are those of the noise, as they
    // would be had the sender stopped sending on its own.
    if (st->prev_frame_type != kFrameTypeSpeech) return;
    rebuild_history(st, t0, frac);
    lift_gain_memory(st, p);
}

}  // namespace tarnel
