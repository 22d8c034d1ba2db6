#include "lpc/postfilter.h"

#include <cmath>
#include <cstring>

#include "dsp/lanes.h"
#include "lpc/postfilter_internal.h"

namespace tarnel {

namespace {

constexpr int kHistory = kPitchMax;  // residual samples kept before the current subframe

constexpr lp_weights kGammaNum = lp_weights_for(0.55);
constexpr lp_weights kGammaDen = lp_weights_for(0.7);

// The first 22 samples of the impulse response of A(z/0.55)/A(z/0.7) give the tilt. The two
// responses are independent recursions: one per lane of a pair. Each starts from the
// numerator's coefficients, zero beyond them, and its zeroed tail doubles as the filter's
// initial memory: the filter copies it out before the first output lands on it.
void tilt_factors(postfilter_plan* plan) {
    double h[kSubframes][kSubframe];
    for (int s = 0; s < kSubframes; ++s) {
        copy_vector(plan->ap3[s], h[s], kLpSize);
        zero_vector(h[s] + kLpSize, kSubframe - kLpSize);
    }
    synthesis_filter_pair({plan->ap4[0], h[0], h[0], h[0] + kLpSize, false},
                          {plan->ap4[1], h[1], h[1], h[1] + kLpSize, false}, kImpulseLength);
    // Both subframes' sums side by side, one per lane.
    lane2 r0 = splat2(0.0);
    for (int i = 0; i < kImpulseLength; ++i) {
        const lane2 hi{h[0][i], h[1][i]};
        r0 += hi * hi;
    }
    lane2 r1 = splat2(0.0);
    for (int i = 0; i < kImpulseLength - 1; ++i)
        r1 += lane2{h[0][i], h[1][i]} * lane2{h[0][i + 1], h[1][i + 1]};
    for (int s = 0; s < kSubframes; ++s) plan->tilt[s] = tilt_factor(r0[s], r1[s]);
}

// Residual, long-term filter and tilt compensation of subframe s of the frame at syn:
// writes p, the input of the subframe's short-term synthesis.
void shape(postfilter_state* st, const postfilter_plan& plan, const double* syn, int s, int lag,
           bool pitch_stage, double* p) {
    double* res = st->residual + kHistory;
    // The residual of the first subframe reaches back into the previous frame's unfiltered
    // tail.
    double first[kOrder + kSubframe];
    const double* x = syn + kSubframe * s;
    if (s == 0) {
        std::memcpy(first, st->syn_tail, sizeof st->syn_tail);
        std::memcpy(first + kOrder, syn, kSubframe * sizeof(double));
        x = first + kOrder;
    }
    residual_filter(plan.ap3[s], x, res, kSubframe);
    if (pitch_stage) {
        int t0_min;
        int t0_max;
        pitch_postfilter_range(lag, &t0_min, &t0_max);
        pitch_postfilter(res, t0_min, t0_max, p);
    } else {
        copy_vector(res, p, kSubframe);
    }
    tilt_compensation(p, plan.tilt[s], &st->tilt_mem);
    copy_vector(st->residual + kSubframe, st->residual, kHistory);
}

}  // namespace

void postfilter_init(postfilter_state* st) {
    zero_vector(st->residual, kHistory + kSubframe);
    zero_vector(st->syn_mem, kOrder);
    zero_vector(st->syn_tail, kOrder);
    st->tilt_mem = 0.0;
    st->past_gain = 1.0;
}

void postfilter_weights(const double* a_sub, postfilter_plan* plan) {
    for (int s = 0; s < kSubframes; ++s) {
        weight_lp(a_sub + kLpSize * s, plan->ap3[s], kGammaNum);
        weight_lp(a_sub + kLpSize * s, plan->ap4[s], kGammaDen);
    }
}

void pitch_postfilter_range(int lag, int* t0_min, int* t0_max) {
    *t0_max = lag + 3 > kPitchMax ? kPitchMax : lag + 3;
    *t0_min = *t0_max - 6;
}

void postfilter(postfilter_state* st, double* syn, const double* a_sub, const int* lags,
                bool pitch_stage) {
    postfilter_plan plan;
    postfilter_weights(a_sub, &plan);
    tilt_factors(&plan);
    double p[kSubframes][kSubframe];
    for (int s = 0; s < kSubframes; ++s) shape(st, plan, syn, s, lags[s], pitch_stage, p[s]);
    double out[kFrame];
    for (int s = 0; s < kSubframes; ++s) {
        synthesis_filter(plan.ap4[s], p[s], out + kSubframe * s, kSubframe, st->syn_mem, true);
        postfilter_agc(&st->past_gain, out + kSubframe * s, syn + kSubframe * s);
    }
    // The next frame's residual must be taken from unfiltered speech, so the tail is kept
    // before the frame is overwritten with its filtered version.
    copy_vector(syn + kFrame - kOrder, st->syn_tail, kOrder);
    copy_vector(out, syn, kFrame);
}

void pitch_postfilter(const double* res, int t0_min, int t0_max, double* p) {
    // Correlation and energy of every candidate lag are independent sums, summed side by side
    // (lane pairs {t + 1, t}: neighbouring samples in that order).
    double corr[kPitchMax + 1];
    double energy[kPitchMax + 1];
    const int count = t0_max - t0_min + 1;
    int k = 0;
    for (; k + 2 <= count; k += 2) {
        const double* lagged = res - (t0_min + k) - 1;
        lane2 c = splat2(0.0);
        lane2 e = splat2(0.5);
        for (int j = 0; j < kSubframe; ++j) {
            const lane2 past = load2(lagged + j);
            c += splat2(res[j]) * past;
            e += past * past;
        }
        corr[k] = c[1];
        corr[k + 1] = c[0];
        energy[k] = e[1];
        energy[k + 1] = e[0];
    }
    for (; k < count; ++k) {
        const double* lagged = res - (t0_min + k);
        double c = 0.0;
        double e = 0.5;
        for (int j = 0; j < kSubframe; ++j) {
            c += res[j] * lagged[j];
            e += lagged[j] * lagged[j];
        }
        corr[k] = c;
        energy[k] = e;
    }
    double ener0 = 0.5;
    for (int j = 0; j < kSubframe; ++j) ener0 += res[j] * res[j];
    pitch_postfilter_apply(res, t0_min, t0_max, corr, energy, ener0, p);
}

void pitch_postfilter_apply(const double* res, int t0_min, int t0_max, const double* corr,
                            const double* energy, double ener0, double* p) {
    // The scan keeps the lag order: the shortest of equally good lags wins.
    double cmax = -1e38;
    int t0 = t0_min;
    for (int t = t0_min; t <= t0_max; ++t) {
        const double c = corr[t - t0_min];
        if (c > cmax) {
            cmax = c;
            t0 = t;
        }
    }
    const double ener = energy[t0 - t0_min];

    if (cmax < 0.0) cmax = 0.0;

    // Too weakly periodic: a comb filter would only add noise.
    if (cmax * cmax < 0.5 * ener0 * ener) {
        copy_vector(res, p, kSubframe);
        return;
    }

    double g0;
    double g;
    if (cmax > ener) {
        // A pitch gain above 1 is limited to the fixed unity-gain pair.
        g0 = 0.6666666666666666;
        g = 0.3333333333333333;
    } else {
        const double c = 0.5 * cmax;
        g = (1.0 / (ener + c)) * c;
        g0 = 1.0 - g;
    }
    const lane2 g0s = splat2(g0), gs = splat2(g);
    for (int j = 0; j < kSubframe; j += 2)
        store2(p + j, g0s * load2(res + j) + gs * load2(res + j - t0));
}

void tilt_compensation(double* p, double k, double* mem) {
    const double last = p[kSubframe - 1];
    // Descending, so each step still sees the unmodified previous samples; two at a time.
    const lane2 ks = splat2(k);
    for (int i = kSubframe - 2; i >= 2; i -= 2) store2(p + i, load2(p + i) - ks * load2(p + i - 1));
    p[1] = p[1] - k * p[0];
    p[0] = p[0] - k * (*mem);
    *mem = last;
}

bool agc_target(double e_out, double e_in, double* g0) {
    // Silence: restart the ramp from nothing rather than divide by zero.
    if (e_out == 0.0) return false;
    *g0 = e_in == 0.0 ? 0.0 : kAgcComplement * std::sqrt(e_in / e_out);
    return true;
}

void postfilter_agc(double* past_gain, double* out, const double* x) {
    // Both energies side by side, one per lane.
    lane2 e = splat2(0.0);
    for (int i = 0; i < kSubframe; ++i) {
        const lane2 v{out[i], x[i]};
        e += v * v;
    }
    double g0;
    if (!agc_target(e[0], e[1], &g0)) {
        *past_gain = 0.0;
        return;
    }
    double g = *past_gain;
    for (int i = 0; i < kSubframe; ++i) {
        g = kAgcFactor * g + g0;
        out[i] = out[i] * g;
    }
    *past_gain = g;
}

void postprocess(double* state, double* signal, int n) {
    double x1 = state[0], x2 = state[1], y1 = state[2], y2 = state[3];
    for (int i = 0; i < n; ++i) signal[i] = high_pass_step(signal[i], x1, x2, y1, y2);
    state[0] = x1;
    state[1] = x2;
    state[2] = y1;
    state[3] = y2;
}

}  // namespace tarnel
