#include "codec/concealment.h"

#include <cmath>

#include "cng/comfort_noise.h"
#include "codec/decoder.h"
#include "excitation/acelp.h"
#include "excitation/excitation_guard.h"
#include "excitation/gain_quantizer.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "lpc/postfilter.h"
#include "lpc/postfilter_overlapped.h"
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
// The envelope's two forms are found once per burst: the previous LSPs do not change while
// frames are missing.
void keep_envelope(g729_decoder_state* st, double* a_sub) {
    if (st->lost_frames == 0) {
        lsp_to_lp(st->lsp_old, st->burst_lp);
        lsp_to_lsf(st->lsp_old, st->burst_lsf, kOrder);
    }
    copy_vector(st->burst_lp, a_sub, kLpSize);
    copy_vector(st->burst_lp, a_sub + kLpSize, kLpSize);
    double buf[kOrder];
    lsf_prediction_target(st->burst_lsf, buf, fg[0], st->lsp_predictor, fg_sum_inv[0]);
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
// the synthesis filter's formants with more energy than the excitation it replaces did. A frame
// over the energy last heard is scaled down, and with it every memory its samples went into:
// from the excitation to the output every stage is linear in its input, or (the pitch
// post-filter's and the gain control's gains) depends only on ratios of its energies, so the
// next frame goes on from the held level as if the excitation had been that quiet.
void hold_to_heard_level(g729_decoder_state* st, double* syn, int16_t* pcm) {
    const double e = energy(syn, kFrame);
    if (!(e > st->heard_energy)) return;
    const double g = std::sqrt(st->heard_energy / e);
    for (int i = 0; i < kFrame; ++i) syn[i] *= g;
    g729_round_samples(syn, pcm, kFrame);
    for (double& v : st->syn_mem) v *= g;
    for (int i = kExcHistory; i < kExcHistory + kFrame; ++i) st->exc[i] *= g;
    postfilter_state* pf = &st->postfilter;
    for (double& v : pf->residual) v *= g;
    for (double& v : pf->syn_mem) v *= g;
    for (double& v : pf->syn_tail) v *= g;
    pf->tilt_mem *= g;
    for (double& v : st->postprocess_state) v *= g;
}

// The excitation of concealed subframe s into the history, what of it is heard into heard,
// and the subframe's synthesis filter into a.
void continue_excitation(g729_decoder_state* st, const double* a_sub, int s, int t0, double* heard,
                         double* a) {
    double* exc = st->exc + kExcHistory + s * kSubframe;
    if (st->conceal_voiced) {
        repeat_pitch(exc, t0);
    } else {
        random_innovation(exc, &st->conceal_seed);
    }
    // The bound every excitation keeps: a repeated cycle of a hostile stream's history stays
    // finite.
    mix_excitation(exc, 1.0, 0.0, exc);
    // The gain predictor memory is left as the last received frame left it. The talker's
    // level has not fallen because packets were lost; a memory lowered with the fading output
    // predicts the next received code gains too low, and the pitch loop then carries that
    // quiet excitation on (measured: lowering it, even by the history's 0.26 dB per subframe,
    // recovers less).

    int n = st->lost_frames * kSubframes + s;
    if (n > kConcealHeardSubframes) n = kConcealHeardSubframes;
    for (int i = 0; i < kSubframe; ++i) heard[i] = kHeardGains.g[n] * exc[i];
    weight_lp(a_sub + s * kLpSize, a, lp_weights_for(conceal_bandwidth(n)));
}

// Lost speech: the excitation history is continued at nearly its level and kept as the past
// of the next frame, and what is heard is that continuation faded by conceal_level, through
// the subframes' widened filters, then post-filtered and high-passed as a received frame is,
// with the same overlapped passes, so that concealing costs no more than decoding.
void conceal_speech(g729_decoder_state* st, double* syn, int16_t* pcm) {
    double a_sub[kLpPair];
    keep_envelope(st, a_sub);

    // Voicing and the level heard are judged once per burst, from the last frame received:
    // the continuation's own gains and level say nothing new.
    if (st->lost_frames == 0) {
        copy_vector(st->exc, st->exc_before_loss, kExcHistory);
        st->conceal_lag = static_cast<int16_t>(st->prev_pitch);
        st->conceal_voiced = st->pitch_sharp >= kConcealPitchGain;
        st->heard_energy = energy(st->syn, kFrame);
    }
    int t0 = st->prev_pitch;
    if (t0 < kPitchMin) t0 = kPitchMin;
    if (t0 > kPitchMax) t0 = kPitchMax;

    double heard[kFrame];
    double a[kLpPair];
    for (int s = 0; s < kSubframes; ++s)
        continue_excitation(st, a_sub, s, t0, heard + s * kSubframe, a + s * kLpSize);
    const int lags[kSubframes] = {t0, t0};
    synthesise_speech_frame(&st->postfilter, a, lags, heard, st->syn_mem, st->postprocess_state,
                            syn, pcm);
    hold_to_heard_level(st, syn, pcm);

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
        synthesis_filter(a_sub + s * kLpSize, exc + sub, syn + sub, kSubframe, st->syn_mem, false);
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
// no more). Returns whether it did.
bool lift_gain_memory(g729_decoder_state* st, const g729_params* p) {
    if (gain_index_pitch(p->slot[kSlotGain1]) < kConcealVoicedGain &&
        gain_index_pitch(p->slot[kSlotGain2]) < kConcealVoicedGain)
        return false;
    double* m = st->gain_predictor_memory;
    double sum = 0.0;
    for (int i = 0; i < kGainPredictorOrder; ++i) sum += m[i];
    if (sum * (1.0 / kGainPredictorOrder) >= st->voiced_level - kOnsetGapDb) return false;
    for (int i = 0; i < kGainPredictorOrder; ++i)
        if (m[i] < st->voiced_level) m[i] = st->voiced_level;
    return true;
}

// Both memories the gap left still say the level before it; the received frame's correction
// factors say the level after it. The gain predictor memory moves toward that level as a whole,
// keeping the shape of its entries (measured: flattening them recovers less), and the rebuilt
// history's level (its last 80 samples) toward the level of excitation those factors go with.
// After a lifted onset the factors, high while the prediction catches up, would raise the
// memory a second time (measured: up to 8 dB above the lossless level), so it is one or the
// other.
void follow_received_level(g729_decoder_state* st, const g729_params* p) {
    const double u = (1.0 - kResumeLaterFactor) * gain_index_correction_db(p->slot[kSlotGain1]) +
                     kResumeLaterFactor * gain_index_correction_db(p->slot[kSlotGain2]);
    double* m = st->gain_predictor_memory;
    double sum = 0.0;
    for (int i = 0; i < kGainPredictorOrder; ++i) sum += m[i];
    const double shift = kResumeLevelShare * (u - sum * (1.0 / kGainPredictorOrder));
    for (int i = 0; i < kGainPredictorOrder; ++i) m[i] += shift;

    // The floor keeps a silent history finite in dB; scaling it changes nothing.
    const double held_db =
        10.0 * std::log10(energy(st->exc + kExcHistory - kFrame, kFrame) * (1.0 / kFrame) + 1e-3);
    double db = kResumeLevelShare * (kResumeExcitationDb + kResumeExcitationSlope * u - held_db);
    if (db > kResumeLevelMaxDb) db = kResumeLevelMaxDb;
    if (db < -kResumeLevelMaxDb) db = -kResumeLevelMaxDb;
    const double g = std::pow(10.0, db * (1.0 / 20.0));
    // Raised, a history a hostile stream drove to the bound every excitation keeps stays in it.
    for (int i = 0; i < kExcHistory; ++i) {
        const double v = g * st->exc[i];
        st->exc[i] = v > kExcitationLimit    ? kExcitationLimit
                     : v < -kExcitationLimit ? -kExcitationLimit
                                             : v;
    }
}

}  // namespace

void g729_conceal_frame(g729_decoder_state* st, int16_t* pcm) {
    if (st->prev_frame_type == kFrameTypeSid) {
        conceal_noise(st, st->syn);
        g729_round_samples(st->syn, pcm, kFrame);
    } else {
        conceal_speech(st, st->syn, pcm);
    }
    copy_vector(st->exc + kFrame, st->exc, kExcHistory);
    // The count goes one past the longest rebuilt stretch, so that a longer one is known.
    if (st->lost_frames <= kConcealRebuiltFrames) ++st->lost_frames;
}

void conceal_resume(g729_decoder_state* st, const g729_params* p, int t0, int frac) {
    // Comfort noise was continued, not speech: the memories are those of the noise, as they
    // would be had the sender stopped sending on its own.
    if (st->prev_frame_type != kFrameTypeSpeech) return;
    rebuild_history(st, t0, frac);
    if (!lift_gain_memory(st, p) && st->lost_frames <= kConcealRebuiltFrames)
        follow_received_level(st, p);
}

void conceal_resume_envelope(g729_decoder_state* st, const int* lsp_indices, double* lsp_new) {
    // As for the pitch history: only after speech, and only a gap short enough to guess across.
    const bool guessed =
        st->prev_frame_type == kFrameTypeSpeech && st->lost_frames <= kConcealRebuiltFrames;
    if (guessed) {
        double received[kOrder];
        lsp_codebook_vector(lsp_indices, received);
        const int rows =
            st->lost_frames < kLspPredictorOrder ? st->lost_frames : kLspPredictorOrder;
        for (int k = 0; k < rows; ++k)
            for (int i = 0; i < kOrder; ++i)
                st->lsp_predictor[k][i] +=
                    kResumeEnvelopeShare * (received[i] - st->lsp_predictor[k][i]);
    }
    lsp_decode(st->lsp_predictor, lsp_indices, lsp_new);
    if (guessed)
        for (int i = 0; i < kOrder; ++i)
            st->lsp_old[i] += kResumeInterpolationShare * (lsp_new[i] - st->lsp_old[i]);
}

}  // namespace tarnel
