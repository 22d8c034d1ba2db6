#include "bench_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/decoder_internal.h"
#include "excitation/acelp.h"
#include "excitation/excitation_guard.h"
#include "excitation/gain_quantizer.h"
#include "excitation/pitch.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "support/test_support.h"

namespace tarnel::bench {

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
    double* speech = st.speech + kCurrentSpeech;
    double* wsp = st.wsp + kPitchMax;
    double* exc = st.exc + kExcHistory;

    autocorrelation(st.speech, kAnalysisLags, t->r);
    lag_window(kAnalysisLags, t->r);
    levinson(t->r, t->a);
    lp_to_lsp(t->a, t->lsp_new, st.lsp_old);
    double lsp_q[kOrder];
    int idx[2];
    lsp_quantize(st.lsp_predictor, t->lsp_new, lsp_q, idx);
    double aq[kLpPair], ap[kLpPair];
    interpolate_lsp_to_lp(st.lsp_old_q, lsp_q, aq);
    for (int s = 0; s < kSubframes; ++s) {
        weight_lp(aq + s * kLpSize, ap + s * kLpSize, lp_weights_for(0.75));
        residual_filter(aq + s * kLpSize, speech + s * kSubframe, exc + s * kSubframe, kSubframe);
    }
    for (int s = 0; s < kSubframes; ++s) {
        const double* aps = ap + s * kLpSize;
        double w[kLpSize];
        w[0] = 1.0;
        for (int i = 1; i <= kOrder; ++i) w[i] = aps[i] - 0.7 * aps[i - 1];
        synthesis_filter(w, exc + s * kSubframe, wsp + s * kSubframe, kSubframe, st.weight_mem,
                         true);
    }
    std::memcpy(t->wsp, st.wsp, sizeof t->wsp);
    const int t_op = pitch_open_loop(wsp, kFrame);
    int t_min, t_max;
    pitch_search_range(t_op, &t_min, &t_max);
    for (int s = 0; s < kSubframes; ++s) {
        subframe_trace& sf = t->sf[s];
        const int sub = s * kSubframe;
        const double* aps = ap + s * kLpSize;
        double* exc_sub = exc + sub;
        double h[kSubframe] = {1.0}, x[kSubframe], rest[kOrder] = {};
        synthesis_filter(aps, h, h, kSubframe, h + 1, false);
        synthesis_filter(aps, exc_sub, x, kSubframe, st.target_mem, false);
        std::memcpy(sf.exc, st.exc, sizeof sf.exc);
        std::memcpy(sf.x, x, sizeof x);
        std::memcpy(sf.h, h, sizeof h);
        sf.t_min = t_min;
        sf.t_max = t_max;
        sf.sub = sub;
        int frac;
        const int t0 = pitch_closed_loop(exc_sub, x, h, kSubframe, t_min, t_max, sub, &frac);
        encode_lag(t0, frac, &t_min, &t_max, kPitchMin, kPitchMax, sub);
        double y1[kSubframe];
        synthesis_filter(aps, exc_sub, y1, kSubframe, rest, false);
        double g[5];
        double gp = pitch_gain(x, y1, g, kSubframe);
        const bool tame = taming_test(st.taming_memory, t0, frac);
        if (tame && gp > 0.95) gp = 0.95;
        for (int n = 0; n < kSubframe; ++n) sf.x2[n] = x[n] - gp * y1[n];
        sf.t0 = t0;
        sf.sharp = st.pitch_sharp;
        double code[kSubframe], y2[kSubframe];
        int sign;
        acelp_search(sf.x2, h, t0, st.pitch_sharp, code, y2, &sign);
        code_gain_correlations(x, y1, y2, g);
        double gc;
        gain_quantize(st.gain_predictor_memory, code, g, kSubframe, &gp, &gc, tame);
        st.pitch_sharp = clip_pitch_sharp(gp);
        mix_excitation(exc_sub, gp, gc, code);
        taming_update(st.taming_memory, t0, gp);
        for (int j = 0; j < kOrder; ++j) {
            const int n = kSubframe - kOrder + j;
            st.target_mem[j] = x[n] - gp * y1[n] - gc * y2[n];
        }
    }
    // The replay must have followed the encoder exactly, or the traces mean nothing.
    g729_encoder_state real = t->enc;
    g729_params p;
    g729_analyse_frame(&real, &p);
    if (std::memcmp(real.exc, st.exc + kFrame, kExcHistory * sizeof(double)) != 0) {
        std::fprintf(stderr, "bench trace: replay diverged from the encoder\n");
        std::abort();
    }
}

}  // namespace

const std::vector<int16_t>& speech() {
    static const std::vector<int16_t> s = tarnel::test::load_speech_sample();
    return s;
}

const std::vector<uint8_t>& bitstream() {
    static const std::vector<uint8_t> bits = [] {
        std::vector<uint8_t> out;
        g729_encoder_state st;
        g729_encoder_init(&st);
        const auto& pcm = speech();
        for (size_t i = 0; i + kFrame <= pcm.size(); i += kFrame) {
            uint8_t frame[kSpeechFrameBytes];
            int len;
            g729_encode_frame(&st, &pcm[i], frame, &len);
            out.insert(out.end(), frame, frame + kSpeechFrameBytes);
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
            double* new_speech = st.speech + kNewSpeech;
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

const std::vector<subframe_trace>& subframe_traces() {
    static const std::vector<subframe_trace> traces = [] {
        std::vector<subframe_trace> out;
        for (const frame_trace& t : encoder_traces())
            out.insert(out.end(), t.sf, t.sf + kSubframes);
        return out;
    }();
    return traces;
}

const std::vector<decoder_trace>& decoder_traces() {
    static const std::vector<decoder_trace> traces = [] {
        const auto& bits = bitstream();
        const int total = static_cast<int>(bits.size() / kSpeechFrameBytes);
        const std::vector<int> wanted = traced_frames(total);
        std::vector<decoder_trace> out(wanted.size());
        g729_decoder_state st;
        g729_decoder_init(&st);
        size_t next = 0;
        for (int f = 0; f < total && next < wanted.size(); ++f) {
            const uint8_t* frame = &bits[f * kSpeechFrameBytes];
            if (f == wanted[next]) {
                decoder_trace& t = out[next++];
                g729_decoder_state copy = st;
                g729_params p;
                g729_unpack_frame(&p, frame, kFrameTypeSpeech);
                int type;
                g729_synthesise_frame(&copy, &p, t.syn, t.a_sub, t.lags, &type);
                t.pf = copy.postfilter;
            }
            int16_t pcm[kFrame];
            g729_decode_frame(&st, pcm, frame, kSpeechFrameBytes);
        }
        return out;
    }();
    return traces;
}

}  // namespace tarnel::bench
