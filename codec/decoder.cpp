#include "codec/decoder.h"

#include <cmath>
#include <cstring>

#include "codec/excitation_guard.h"
#include "excitation/acelp.h"
#include "excitation/gain_quantizer.h"
#include "excitation/pitch.h"
#include "lpc/filters.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "tables/lp_tables.h"
#include "tables/lsp_predictor_tables.h"

namespace tarnel {

namespace {

constexpr int kCurrentSyn = 10;
constexpr double kSharpMin = 0.2;
constexpr double kSharpMax = 0.7945;
constexpr int kInitialPitch = 60;
constexpr int16_t kCngSeedStart = 11111;

double clip_sharp(double gp) {
    if (gp > kSharpMax) return kSharpMax;
    if (gp < kSharpMin) return kSharpMin;
    return gp;
}

void synthesise_speech(g729_decoder_state* st, const g729_params* p, double* syn,
                       double* a_sub, int* lags) {
    st->cng_seed = kCngSeedStart;
    const int lsp_indices[2] = {p->slot[kSlotLsp1], p->slot[kSlotLsp2]};
    double lsp_new[kOrder];
    lsp_decode(st->lsp_predictor, lsp_indices, lsp_new);
    interpolate_lsp_to_lp(st->lsp_old, lsp_new, a_sub);
    copy_vector(lsp_new, st->lsp_old, kOrder);

    double* exc = st->exc + kExcHistory;
    int t0 = 0;
    for (int s = 0; s < 2; ++s) {
        const int sub = s * kSubframe;
        int frac;
        if (s == 0) {
            if (p->slot[kSlotParity] == 1) {
                // The protected bits of the first lag arrived damaged: repeat the last lag.
                t0 = st->prev_pitch;
                frac = 0;
            } else {
                decode_lag(p->slot[kSlotPitch1], kPitchMin, kPitchMax, 0, &t0, &frac);
            }
        } else {
            decode_lag(p->slot[kSlotPitch2], kPitchMin, kPitchMax, kSubframe, &t0, &frac);
        }
        lags[s] = t0;

        adaptive_codebook_vector(exc + sub, t0, frac, kSubframe);
        double code[kSubframe];
        acelp_decode(p->slot[s == 0 ? kSlotSign1 : kSlotSign2],
                     p->slot[s == 0 ? kSlotCode1 : kSlotCode2], code);
        if (t0 < kSubframe)
            for (int n = t0; n < kSubframe; ++n) code[n] = code[n] + st->pitch_sharp * code[n - t0];

        double gp;
        double gc;
        gain_decode(st->gain_predictor_memory, p->slot[s == 0 ? kSlotGain1 : kSlotGain2], code,
                    kSubframe, &gp, &gc);
        st->pitch_sharp = clip_sharp(gp);
        for (int n = 0; n < kSubframe; ++n) exc[sub + n] = gp * exc[sub + n] + gc * code[n];
        limit_excitation(exc + sub, kSubframe);
        synthesis_filter(a_sub + s * kLpSize, exc + sub, syn + sub, kSubframe, st->syn_mem, 1);
    }
    st->prev_pitch = t0;
}

void synthesise_sid(g729_decoder_state* st, const g729_params* p, double* syn, double* a_sub,
                    int* lags) {
    double predictor[4][10];
    lsp_predictor_save(st->lsp_predictor, predictor);
    cng_decode_sid(&st->cng, st->prev_frame_type, p->slot[kSlotLsp1], p->slot[kSlotLsp2],
                   p->slot[kSlotPitch1], p->slot[kSlotParity], st->exc + kExcHistory,
                   st->lsp_old, a_sub, &st->cng_seed, predictor);
    lsp_predictor_restore(st->lsp_predictor, predictor);

    // The synthesis memory takes the unflushed last outputs of each subframe.
    const double* exc = st->exc + kExcHistory;
    for (int s = 0; s < 2; ++s) {
        const int sub = s * kSubframe;
        synthesis_filter(a_sub + s * kLpSize, exc + sub, syn + sub, kSubframe, st->syn_mem, 0);
        copy_vector(syn + sub + kSubframe - kOrder, st->syn_mem, kOrder);
        lags[s] = st->prev_pitch;
    }
    st->pitch_sharp = kSharpMin;
}

}  // namespace

// A non-finite value can only come from a hostile stream; it becomes silence rather than an
// undefined conversion.
int16_t g729_round_sample(double v) {
    if (!std::isfinite(v)) return 0;
    const double t = v >= 0.0 ? v + 0.5 : v - 0.5;
    if (t > 32767.0) return 32767;
    if (t < -32768.0) return -32768;
    return static_cast<int16_t>(t);
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
    for (double& e : st->gain_predictor_memory) e = -14.0;
    postfilter_init(&st->postfilter);
}

void g729_synthesise_frame(g729_decoder_state* st, const g729_params* params, double* syn,
                           double* a_sub, int* lags, int* frame_type) {
    *frame_type = params->frame_type;
    if (params->frame_type == kFrameTypeSid)
        synthesise_sid(st, params, syn, a_sub, lags);
    else
        synthesise_speech(st, params, syn, a_sub, lags);

    st->prev_frame_type = params->frame_type;
    copy_vector(st->exc + kFrame, st->exc, kExcHistory);
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

    double* syn = st->syn + kCurrentSyn;
    double a_sub[kLpPair];
    int lags[2];
    int frame_type;
    g729_synthesise_frame(st, &params, syn, a_sub, lags, &frame_type);
    postfilter(&st->postfilter, syn, a_sub, lags, frame_type);
    postprocess(st->postprocess_state, syn, kFrame);

    for (int i = 0; i < kFrame; ++i) pcm[i] = g729_round_sample(syn[i]);
    return 0;
}

}  // namespace tarnel
