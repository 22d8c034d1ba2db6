#include "codec/decoder.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "codec/concealment.h"
#include "codec/decoder_internal.h"
#include "dsp/lanes.h"
#include "dsp/samples.h"
#include "excitation/acelp.h"
#include "excitation/excitation_guard.h"
#include "excitation/gain_quantizer.h"
#include "excitation/pitch.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "lpc/postfilter_overlapped.h"
#include "tables/lp_tables.h"
#include "tables/lsp_predictor_tables.h"

namespace tarnel {

namespace {

constexpr int kInitialPitch = 60;
constexpr int16_t kCngSeedStart = 11111;

// A speech frame's LP filters, from its LSP indices.
void speech_filters(g729_decoder_state* st, const g729_params* p, double* a_sub) {
    st->cng_seed = kCngSeedStart;
    const int lsp_indices[2] = {p->slot[kSlotLsp1], p->slot[kSlotLsp2]};
    double lsp_new[kOrder];
    // After concealed frames the envelope memories are guesses too; the received indices
    // refine them before they are used.
    if (st->lost_frames != 0)
        conceal_resume_envelope(st, lsp_indices, lsp_new);
    else
        lsp_decode(st->lsp_predictor, lsp_indices, lsp_new);
    interpolate_lsp_to_lp(st->lsp_old, lsp_new, a_sub);
    copy_vector(lsp_new, st->lsp_old, kOrder);
}

// A subframe's excitation is built in two parts: what depends only on the frame's indices
// (lag, code vector, gains: long chains of dependent operations with library calls), then
// the adaptive-codebook vector and the mix, which read the excitation built before. The
// first parts of both subframes come first, so that their chains overlap.
struct subframe_excitation {
    int t0;
    int frac;
    double gp;
    double gc;
    double code[kSubframe];
};

// The first part of subframe s. The lag of subframe 1 is coded relative to t0 of subframe 0.
void excitation_parameters(g729_decoder_state* st, const g729_params* p, int s, int t0,
                           subframe_excitation* e) {
    if (s == 1) {
        decode_lag(p->slot[kSlotPitch2], kPitchMin, kPitchMax, kSubframe, &t0, &e->frac);
    } else if (p->slot[kSlotParity] == 1) {
        // The protected bits of the first lag arrived damaged: repeat the last lag.
        t0 = st->prev_pitch;
        e->frac = 0;
    } else {
        decode_lag(p->slot[kSlotPitch1], kPitchMin, kPitchMax, 0, &t0, &e->frac);
    }
    // After concealed frames the memories are guesses; the first lag received refines them,
    // before the gains are predicted from them and the history is read.
    if (s == 0 && st->lost_frames != 0) conceal_resume(st, p, t0, e->frac);
    e->t0 = t0;
    acelp_decode(p->slot[s == 0 ? kSlotSign1 : kSlotSign2],
                 p->slot[s == 0 ? kSlotCode1 : kSlotCode2], e->code);
    acelp_sharpen(e->code, t0, st->pitch_sharp);
    gain_decode(st->gain_predictor_memory, p->slot[s == 0 ? kSlotGain1 : kSlotGain2], e->code,
                kSubframe, &e->gp, &e->gc);
    st->pitch_sharp = clip_pitch_sharp(e->gp);
}

// The second part: the excitation of subframe s into st->exc.
void build_excitation(g729_decoder_state* st, int s, const subframe_excitation& e) {
    double* exc = st->exc + kExcHistory + s * kSubframe;
    adaptive_codebook_vector(exc, e.t0, e.frac, kSubframe);
    mix_excitation(exc, e.gp, e.gc, e.code);
}

// Both subframes' excitation parameters; writes their integer lags.
void speech_parameters(g729_decoder_state* st, const g729_params* p, subframe_excitation* e,
                       int* lags) {
    excitation_parameters(st, p, 0, 0, &e[0]);
    excitation_parameters(st, p, 1, e[0].t0, &e[1]);
    for (int s = 0; s < kSubframes; ++s) lags[s] = e[s].t0;
}

// The frame's excitation becomes the past of the next one.
void end_frame(g729_decoder_state* st, int frame_type) {
    conceal_note_frame(st);
    st->prev_frame_type = frame_type;
    st->lost_frames = 0;
    copy_vector(st->exc + kFrame, st->exc, kExcHistory);
}

// A speech frame through synthesis, post-filter and output high-pass into syn and, rounded,
// pcm. Neither subframe's excitation depends on the synthesis, so both are built first and
// the filters then run overlapped (the stages of g729_synthesise_frame, postfilter() and
// postprocess()).
void decode_speech(g729_decoder_state* st, const g729_params* p, double* syn, int16_t* pcm) {
    double a_sub[kLpPair];
    speech_filters(st, p, a_sub);
    int lags[kSubframes];
    subframe_excitation e[kSubframes];
    speech_parameters(st, p, e, lags);
    st->prev_pitch = lags[1];
    for (int s = 0; s < kSubframes; ++s) build_excitation(st, s, e[s]);
    synthesise_speech_frame(&st->postfilter, a_sub, lags, st->exc + kExcHistory, st->syn_mem,
                            st->postprocess_state, syn, pcm);
    end_frame(st, kFrameTypeSpeech);
}

void synthesise_sid(g729_decoder_state* st, const g729_params* p, double* syn, double* a_sub,
                    int* lags) {
    cng_decode_sid(&st->cng, st->prev_frame_type == kFrameTypeSpeech, p->slot[kSlotLsp1],
                   p->slot[kSlotLsp2], p->slot[kSlotPitch1], p->slot[kSlotParity],
                   st->exc + kExcHistory, st->lsp_old, a_sub, &st->cng_seed, st->lsp_predictor);

    // The synthesis memory takes the unflushed last outputs of each subframe.
    const double* exc = st->exc + kExcHistory;
    for (int s = 0; s < kSubframes; ++s) {
        const int sub = s * kSubframe;
        synthesis_filter(a_sub + s * kLpSize, exc + sub, syn + sub, kSubframe, st->syn_mem, false);
        copy_vector(syn + sub + kSubframe - kOrder, st->syn_mem, kOrder);
        lags[s] = st->prev_pitch;
    }
    st->pitch_sharp = kSharpMin;
}

// Comfort noise through the whole post-filter but its pitch stage, and the high-pass.
void decode_sid(g729_decoder_state* st, const g729_params* p, double* syn) {
    double a_sub[kLpPair];
    int lags[kSubframes];
    synthesise_sid(st, p, syn, a_sub, lags);
    end_frame(st, kFrameTypeSid);
    postfilter(&st->postfilter, syn, a_sub, lags, false);
    postprocess(st->postprocess_state, syn, kFrame);
}

}  // namespace

int16_t g729_round_sample(double v) { return round_to_sample(v); }

void g729_round_samples(const double* v, int16_t* pcm, int n) {
    // g729_round_sample on a lane pair: the same additions, comparisons and truncation, with
    // selects where the scalar code has them; n is even.
    typedef int64_t mask2 __attribute__((vector_size(16)));
    typedef int32_t int2 __attribute__((vector_size(8)));
    const mask2 sign_bit = {INT64_MIN, INT64_MIN};
    const lane2 half = splat2(0.5), top = splat2(32767.0), bottom = splat2(-32768.0);
    const lane2 largest = splat2(std::numeric_limits<double>::max()), zero = splat2(0.0);
    for (int i = 0; i + 2 <= n; i += 2) {
        const lane2 x = load2(v + i);
        const lane2 t = x + (lane2)(((mask2)x & sign_bit) | (mask2)half);
        const lane2 below_max = top < t ? top : t;
        const lane2 clamped = bottom > below_max ? bottom : below_max;
        const lane2 magnitude = (lane2)((mask2)x & ~sign_bit);
        const int2 r = __builtin_convertvector(magnitude <= largest ? clamped : zero, int2);
        pcm[i] = static_cast<int16_t>(r[0]);
        pcm[i + 1] = static_cast<int16_t>(r[1]);
    }
}

void g729_decoder_init(g729_decoder_state* st) {
    std::memset(st, 0, sizeof *st);
    copy_vector(lsp_reset, st->lsp_old, kOrder);
    st->pitch_sharp = kSharpMin;
    st->prev_pitch = kInitialPitch;
    st->prev_frame_type = kFrameTypeSpeech;
    st->cng_seed = kCngSeedStart;
    for (auto& row : st->lsp_predictor) copy_vector(lsf_reset, row, kOrder);
    cng_init(&st->cng);
    for (double& e : st->gain_predictor_memory) e = kGainPredictorFloor;
    st->voiced_level = kGainPredictorFloor;
    postfilter_init(&st->postfilter);
}

int g729_decode_frame(g729_decoder_state* st, int16_t* pcm, const uint8_t* in, int unit_size) {
    int type;
    if (unit_size == kSpeechFrameBytes)
        type = kFrameTypeSpeech;
    else if (unit_size == kSidFrameBytes)
        type = kFrameTypeSid;
    else
        return -1;

    g729_params params;
    g729_unpack_frame(&params, in, type);
    if (type == kFrameTypeSpeech) {
        decode_speech(st, &params, st->syn, pcm);
    } else {
        decode_sid(st, &params, st->syn);
        g729_round_samples(st->syn, pcm, kFrame);
    }
    return 0;
}

// ---- Reference path (tests and benchmarks) -----------------------------------------------

void g729_synthesise_frame(g729_decoder_state* st, const g729_params* params, double* syn,
                           double* a_sub, int* lags, int* frame_type) {
    *frame_type = params->frame_type;
    if (params->frame_type == kFrameTypeSid) {
        synthesise_sid(st, params, syn, a_sub, lags);
    } else {
        speech_filters(st, params, a_sub);
        subframe_excitation e[kSubframes];
        speech_parameters(st, params, e, lags);
        for (int s = 0; s < kSubframes; ++s) {
            build_excitation(st, s, e[s]);
            const int sub = s * kSubframe;
            synthesis_filter(a_sub + s * kLpSize, st->exc + kExcHistory + sub, syn + sub, kSubframe,
                             st->syn_mem, true);
        }
        st->prev_pitch = lags[1];
    }
    end_frame(st, params->frame_type);
}

}  // namespace tarnel
