#include "bench_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "excitation/acelp.h"
#include "excitation/gain_quantizer.h"
#include "excitation/pitch.h"
#include "dsp/filters.h"
#include "lpc/lp_analysis.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "support/test_support.h"

using namespace tarnel;

namespace tarnel_bench {

namespace {

// Frames spread over the whole sample, past the start-up; few enough that the traces of one
// stage stay in the cache, as the real state does.
constexpr int kTracedFrames = 32;
constexpr int kFirstTraced = 50;

std::vector<int> traced_frames(int total) {
    std::vector<int> f;
    const int step = (total - kFirstTraced) / kTracedFrames;
    for (int i = 0; i < kTracedFrames; ++i) f.push_back(kFirstTraced + i * step);
    return f;
}

// The encoder's analysis replayed step by step on a copy of its state, keeping what each
// benchmarked stage reads. Checked against the real encoder below.
void replay(g729_encoder_state st, frame_trace* t) {
    t->enc = st;
    double* speech = st.speech + 120;
    double* wsp = st.wsp + 143;
    double* exc = st.exc + kExcHistory;

    autocorrelation(st.speech, 12, t->r);
    lag_window(12, t->r);
    levinson(t->r, t->a);
    lp_to_lsp(t->a, t->lsp_new, st.lsp_old);
    double lsp_q[10];
    int idx[2];
    lsp_quantize(st.lsp_predictor, t->lsp_new, lsp_q, idx);
    double aq[22], ap[22];
    interpolate_lsp_to_lp(st.lsp_old_q, lsp_q, aq);
    weight_lp(aq, 10, ap, 0.75);
    weight_lp(aq + 11, 10, ap + 11, 0.75);
    residual_filter(aq, speech, exc, 40);
    residual_filter(aq + 11, speech + 40, exc + 40, 40);
    for (int s = 0; s < 2; ++s) {
        const double* aps = ap + s * 11;
        double w[11];
        w[0] = 1.0;
        for (int i = 1; i <= 10; ++i) w[i] = aps[i] - 0.7 * aps[i - 1];
        synthesis_filter(w, exc + s * 40, wsp + s * 40, 40, st.weight_mem, 1);
    }
    std::memcpy(t->wsp, st.wsp, sizeof t->wsp);
    const int t_op = pitch_open_loop(wsp, 80);
    int t_min, t_max;
    pitch_search_range(t_op, &t_min, &t_max);
    for (int s = 0; s < 2; ++s) {
        subframe_trace& sf = t->sf[s];
        const int sub = s * 40;
        const double* aps = ap + s * 11;
        double* exc_sub = exc + sub;
        double h[40] = {1.0};
        synthesis_filter(aps, h, h, 40, h + 1, 0);
        double x[40];
        synthesis_filter(aps, exc_sub, x, 40, st.target_mem, 0);
        std::memcpy(sf.exc, st.exc, sizeof sf.exc);
        std::memcpy(sf.x, x, sizeof x);
        std::memcpy(sf.h, h, sizeof h);
        sf.t_min = t_min;
        sf.t_max = t_max;
        sf.sub = sub;
        int frac;
        const int t0 = pitch_closed_loop(exc_sub, x, h, 40, t_min, t_max, sub, &frac);
        encode_lag(t0, frac, &t_min, &t_max, kPitchMin, kPitchMax, sub);
        double y1[40];
        synthesis_filter(aps, exc_sub, y1, 40, st.zero_mem, 0);
        double g[5];
        double gp = pitch_gain(x, y1, g, 40);
        const int tame = taming_test(st.taming_memory, t0, frac);
        if (tame == 1 && gp > 0.95) gp = 0.95;
        for (int n = 0; n < 40; ++n) sf.x2[n] = x[n] - gp * y1[n];
        sf.t0 = t0;
        sf.sharp = st.pitch_sharp;
        double code[40], y2[40];
        int sign;
        acelp_search(sf.x2, h, t0, st.pitch_sharp, code, y2, &sign);
        code_gain_correlations(x, y1, y2, g);
        double gc;
        gain_quantize(st.gain_predictor_memory, code, g, 40, &gp, &gc, tame);
        st.pitch_sharp = gp > 0.7945 ? 0.7945 : gp < 0.2 ? 0.2 : gp;
        for (int n = 0; n < 40; ++n) exc_sub[n] = gp * exc_sub[n] + gc * code[n];
        taming_update(st.taming_memory, t0, gp);
        for (int j = 0; j < 10; ++j) st.target_mem[j] = x[30 + j] - gp * y1[30 + j] - gc * y2[30 + j];
    }
    // The replay must have followed the encoder exactly, or the traces mean nothing.
    g729_encoder_state real = t->enc;
    g729_params p;
    g729_analyse_frame(&real, &p);
    if (std::memcmp(real.exc, st.exc + 80, 154 * sizeof(double)) != 0) {
        std::fprintf(stderr, "bench trace: replay diverged from the encoder\n");
        std::abort();
    }
}

}  // namespace

const std::vector<int16_t>& speech() {
    static const std::vector<int16_t> s = tarnel_test::load_speech_sample();
    return s;
}

const std::vector<uint8_t>& bitstream() {
    static const std::vector<uint8_t> bits = [] {
        std::vector<uint8_t> out;
        g729_encoder_state st;
        g729_encoder_init(&st);
        const auto& pcm = speech();
        for (size_t i = 0; i + kFrame <= pcm.size(); i += kFrame) {
            uint8_t frame[10];
            int len;
            g729_encode_frame(&st, &pcm[i], frame, &len);
            out.insert(out.end(), frame, frame + 10);
        }
        return out;
    }();
    return bits;
}

const std::vector<frame_trace>& encoder_traces() {
    static const std::vector<frame_trace> traces = [] {
        const auto& pcm = speech();
        const int total = static_cast<int>(pcm.size() / kFrame);
        const std::vector<int> wanted = traced_frames(total);
        std::vector<frame_trace> out(wanted.size());
        g729_encoder_state st;
        g729_encoder_init(&st);
        size_t next = 0;
        for (int f = 0; f < total && next < wanted.size(); ++f) {
            double* new_speech = st.speech + 160;
            for (int i = 0; i < kFrame; ++i) new_speech[i] = pcm[f * kFrame + i];
            preprocess(st.preprocess_state, new_speech, kFrame);
            if (f == wanted[next]) replay(st, &out[next++]);
            g729_params p;
            g729_analyse_frame(&st, &p);
        }
        return out;
    }();
    return traces;
}

const std::vector<decoder_trace>& decoder_traces() {
    static const std::vector<decoder_trace> traces = [] {
        const auto& bits = bitstream();
        const int total = static_cast<int>(bits.size() / 10);
        const std::vector<int> wanted = traced_frames(total);
        std::vector<decoder_trace> out(wanted.size());
        g729_decoder_state st;
        g729_decoder_init(&st);
        size_t next = 0;
        for (int f = 0; f < total && next < wanted.size(); ++f) {
            if (f == wanted[next]) {
                decoder_trace& t = out[next++];
                t.dec = st;
                std::memcpy(t.bits, &bits[f * 10], 10);
                g729_decoder_state copy = st;
                g729_params p;
                g729_unpack_frame(&p, t.bits, kFrameTypeSpeech);
                int type;
                g729_synthesise_frame(&copy, &p, copy.syn + 10, t.a_sub, t.lags, &type);
                std::memcpy(t.syn, copy.syn, sizeof t.syn);
                t.pf = copy.postfilter;
            }
            int16_t pcm[kFrame];
            g729_decode_frame(&st, pcm, &bits[f * 10], 10);
        }
        return out;
    }();
    return traces;
}

}  // namespace tarnel_bench
