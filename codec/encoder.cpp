#include "codec/encoder.h"

#include <cstring>

#include "dsp/filters.h"
#include "excitation/acelp.h"
#include "excitation/excitation_guard.h"
#include "excitation/gain_quantizer.h"
#include "excitation/pitch.h"
#include "lpc/lp_analysis.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "tables/lp_tables.h"
#include "tables/lsp_predictor_tables.h"

namespace tarnel {

namespace {

constexpr int kCurrentWsp = kPitchMax;

// Perceptual weighting: bandwidth expansion of the quantized LP filter, and the tilt of the
// filter that turns the residual into weighted speech.
constexpr lp_weights kGammaWeight = lp_weights_for(0.75);
constexpr double kWeightTilt = 0.7;
constexpr double kTamedPitchGain = 0.95;

}  // namespace

void g729_encoder_init(g729_encoder_state* st) {
    std::memset(st, 0, sizeof *st);
    copy_vector(lsp_reset, st->lsp_old, kOrder);
    copy_vector(lsp_reset, st->lsp_old_q, kOrder);
    st->pitch_sharp = kSharpMin;
    for (auto& row : st->lsp_predictor) copy_vector(lsf_reset, row, kOrder);
    for (double& e : st->taming_memory) e = 1.0;
    for (double& e : st->gain_predictor_memory) e = -14.0;
}

int g729_encode_frame(g729_encoder_state* st, const int16_t* pcm, uint8_t* out, int* out_len) {
    double* new_speech = st->speech + kNewSpeech;
    for (int i = 0; i < kFrame; ++i) new_speech[i] = pcm[i];
    preprocess(st->preprocess_state, new_speech, kFrame);

    g729_params params;
    g729_analyse_frame(st, &params);
    g729_pack_frame(&params, out, out_len);
    return 0;
}

void g729_analyse_frame(g729_encoder_state* st, g729_params* params) {
    std::memset(params, 0, sizeof *params);
    double* speech = st->speech + kCurrentSpeech;
    double* wsp = st->wsp + kCurrentWsp;
    double* exc = st->exc + kExcHistory;

    // Frame part: LP analysis, LSP quantization and the weighted speech of both subframes.
    double r[kAnalysisLags + 1];
    double a[kLpSize];
    autocorrelation(st->speech, kAnalysisLags, r);
    lag_window(kAnalysisLags, r);
    levinson(r, a);

    double lsp_new[kOrder];
    double lsp_new_q[kOrder];
    int lsp_indices[2];
    lp_to_lsp(a, lsp_new, st->lsp_old);
    params->frame_type = kFrameTypeSpeech;
    lsp_quantize(st->lsp_predictor, lsp_new, lsp_new_q, lsp_indices);
    params->slot[kSlotLsp1] = lsp_indices[0];
    params->slot[kSlotLsp2] = lsp_indices[1];

    double aq[kLpPair];
    double ap[kLpPair];
    interpolate_lsp_to_lp(st->lsp_old_q, lsp_new_q, aq);
    weight_lp(aq, ap, kGammaWeight);
    weight_lp(aq + kLpSize, ap + kLpSize, kGammaWeight);
    copy_vector(lsp_new, st->lsp_old, kOrder);
    copy_vector(lsp_new_q, st->lsp_old_q, kOrder);

    residual_filter(aq, speech, exc, kSubframe);
    residual_filter(aq + kLpSize, speech + kSubframe, exc + kSubframe, kSubframe);

    // The weighted speech, the impulse responses and the first subframe's target are all
    // recursions on data known by now; each recursion is bound by its own latency, so the
    // first subframe's weighted speech, both responses and the target run side by side.
    double w[kSubframes][kLpSize];
    for (int s = 0; s < kSubframes; ++s) {
        const double* aps = ap + s * kLpSize;
        w[s][0] = 1.0;
        for (int i = 1; i <= kOrder; ++i) w[s][i] = aps[i] - kWeightTilt * aps[i - 1];
    }
    double h[kSubframes][kSubframe];
    for (double* hs : h) {
        hs[0] = 1.0;
        zero_vector(hs + 1, kSubframe - 1);
    }
    double x[kSubframes][kSubframe];
    const synthesis_job first[4] = {{w[0], exc, wsp, st->weight_mem, true},
                                    {ap, h[0], h[0], h[0] + 1, false},
                                    {ap + kLpSize, h[1], h[1], h[1] + 1, false},
                                    {ap, exc, x[0], st->target_mem, false}};
    synthesis_filter_quad(first, kSubframe);
    synthesis_filter(w[1], exc + kSubframe, wsp + kSubframe, kSubframe, st->weight_mem, true);

    const int t_op = pitch_open_loop(wsp, kFrame);
    int t_min;
    int t_max;
    pitch_search_range(t_op, &t_min, &t_max);

    // Subframe part: closed-loop pitch, algebraic codebook and gains.
    for (int s = 0; s < kSubframes; ++s) {
        const int sub = s * kSubframe;
        const double* aps = ap + s * kLpSize;
        double* exc_sub = exc + sub;
        double* hs = h[s];
        double* xs = x[s];

        // The second subframe's target needs the first one's final filter memory.
        if (s == 1) synthesis_filter(aps, exc_sub, xs, kSubframe, st->target_mem, false);

        int frac;
        const int t0 = pitch_closed_loop(exc_sub, xs, hs, kSubframe, t_min, t_max, sub, &frac);
        const int pitch_index = encode_lag(t0, frac, &t_min, &t_max, kPitchMin, kPitchMax, sub);
        if (s == 0) {
            params->slot[kSlotPitch1] = pitch_index;
            params->slot[kSlotParity] = g729_pitch_parity(pitch_index);
        } else {
            params->slot[kSlotPitch2] = pitch_index;
        }

        // y1: the adaptive vector through the weighted synthesis filter from rest.
        double y1[kSubframe];
        double rest[kOrder] = {};
        synthesis_filter(aps, exc_sub, y1, kSubframe, rest, false);
        double g_coeff[5];
        double gp = pitch_gain(xs, y1, g_coeff, kSubframe);
        const bool tame = taming_test(st->taming_memory, t0, frac);
        if (tame && gp > kTamedPitchGain) gp = kTamedPitchGain;

        double x2[kSubframe];
        for (int n = 0; n < kSubframe; ++n) x2[n] = xs[n] - gp * y1[n];

        double code[kSubframe];
        double y2[kSubframe];
        int sign;
        const int code_index = acelp_search(x2, hs, t0, st->pitch_sharp, code, y2, &sign);
        params->slot[s == 0 ? kSlotCode1 : kSlotCode2] = code_index;
        params->slot[s == 0 ? kSlotSign1 : kSlotSign2] = sign;

        code_gain_correlations(xs, y1, y2, g_coeff);
        double gc;
        const int gain_index =
            gain_quantize(st->gain_predictor_memory, code, g_coeff, kSubframe, &gp, &gc, tame);
        params->slot[s == 0 ? kSlotGain1 : kSlotGain2] = gain_index;

        st->pitch_sharp = clip_pitch_sharp(gp);
        mix_excitation(exc_sub, gp, gc, code);
        taming_update(st->taming_memory, t0, gp);
        const int last = kSubframe - kOrder;
        for (int j = 0; j < kOrder; ++j)
            st->target_mem[j] = xs[last + j] - gp * y1[last + j] - gc * y2[last + j];
    }

    copy_vector(st->speech + kFrame, st->speech, kAnalysisWindow - kFrame);
    copy_vector(st->wsp + kFrame, st->wsp, kCurrentWsp);
    copy_vector(st->exc + kFrame, st->exc, kExcHistory);
}

}  // namespace tarnel
