#include "lpc/postfilter.h"

#include <cmath>
#include <cstring>

#include "dsp/lanes.h"
#include "dsp/recursion.h"
#include "dsp/wide_lanes.h"
#include "lpc/postfilter_internal.h"

namespace tarnel {

namespace {

constexpr int kHistory = kPitchMax;  // residual samples kept before the current subframe
constexpr int kImpulseLength = 22;

constexpr double kGammaNum = 0.55;
constexpr double kGammaDen = 0.7;
constexpr double kTiltFactor = 0.8;
constexpr double kAgcFactor = 0.9;
// Kept as the subtraction: the ramp uses 1 - 0.9 as rounded in double precision
// (0.09999999999999998), not 0.1.
constexpr double kAgcComplement = 1.0 - kAgcFactor;

// The first 22 samples of the impulse response of A(z/0.55)/A(z/0.7) give the tilt; the
// responses are computed over a whole subframe so that they can share a lane quad with a
// 40-sample filter (the later samples are never read).
void start_tilt_responses(const double (*ap3)[kLpSize], double (*h)[kSubframe]) {
    for (int s = 0; s < kSubframes; ++s) {
        copy_vector(ap3[s], h[s], kLpSize);
        zero_vector(h[s] + kLpSize, kSubframe - kLpSize);
    }
}

// The zeroed tail doubles as the filter's initial memory: the filter copies it out before
// the first output lands on it.
synthesis_job tilt_response_job(const double* ap4, double* h) {
    return {ap4, h, h, h + kLpSize, false};
}

// First reflection-like coefficient of each response; only a positive (low-pass) tilt is
// compensated. Both subframes' sums go side by side, one per lane.
void tilt_factors(const double (*h)[kSubframe], double* k) {
    lane2 r0 = splat2(0.0);
    for (int i = 0; i < kImpulseLength; ++i) {
        const lane2 hi{h[0][i], h[1][i]};
        r0 += hi * hi;
    }
    lane2 r1 = splat2(0.0);
    for (int i = 0; i < kImpulseLength - 1; ++i)
        r1 += lane2{h[0][i], h[1][i]} * lane2{h[0][i + 1], h[1][i + 1]};
    for (int s = 0; s < kSubframes; ++s) k[s] = r1[s] <= 0.0 ? 0.0 : (r1[s] * kTiltFactor) / r0[s];
}

void weight_both(const double* a_sub, postfilter_plan* plan) {
    for (int s = 0; s < kSubframes; ++s) {
        weight_lp(a_sub + kLpSize * s, kOrder, plan->ap3[s], kGammaNum);
        weight_lp(a_sub + kLpSize * s, kOrder, plan->ap4[s], kGammaDen);
    }
}

void postfilter_plan_frame(const double* a_sub, postfilter_plan* plan) {
    weight_both(a_sub, plan);
    double h[2][kSubframe];
    start_tilt_responses(plan->ap3, h);
    // The two responses are independent recursions: one per lane of a pair.
    synthesis_filter_pair(tilt_response_job(plan->ap4[0], h[0]),
                          tilt_response_job(plan->ap4[1], h[1]), kImpulseLength);
    tilt_factors(h, plan->tilt);
}

// One step of the output high-pass on its memory x1, x2, y1, y2.
__attribute__((always_inline)) inline double high_pass_step(double x0, double& x1, double& x2,
                                                            double& y1, double& y2) {
    const double y =
        1.9330735 * y1 - 0.93589199 * y2 + 0.93980581 * x0 - 1.8795834 * x1 + 0.93980581 * x2;
    x2 = x1;
    x1 = x0;
    y2 = y1;
    y1 = y;
    return y;
}

}  // namespace

void postfilter_init(postfilter_state* st) {
    zero_vector(st->residual, kHistory + kSubframe);
    zero_vector(st->syn_mem, kOrder);
    zero_vector(st->syn_tail, kOrder);
    st->tilt_mem = 0.0;
    st->past_gain = 1.0;
}

void postfilter_plan_frame_beside(const double* a_sub, postfilter_plan* plan,
                                  const synthesis_job& other) {
    if (!wide_lanes()) {
        postfilter_plan_frame(a_sub, plan);
        synthesis_filter(other.a, other.x, other.y, kSubframe, other.mem, other.update);
        return;
    }
    weight_both(a_sub, plan);
    double h[2][kSubframe];
    start_tilt_responses(plan->ap3, h);
    const synthesis_job jobs[3] = {other, tilt_response_job(plan->ap4[0], h[0]),
                                   tilt_response_job(plan->ap4[1], h[1])};
    synthesis_filters(jobs, 3, kSubframe);
    tilt_factors(h, plan->tilt);
}

void postfilter_shape(postfilter_state* st, const postfilter_plan& plan, const double* syn,
                      int s, int lag, bool pitch_stage, double* p) {
    double* res = st->residual + kHistory;
    int t0_max = lag + 3;
    if (t0_max > kPitchMax) t0_max = kPitchMax;
    const int t0_min = t0_max - 6;

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
        pitch_postfilter(res, t0_min, t0_max, p);
    } else {
        copy_vector(res, p, kSubframe);
    }
    tilt_compensation(p, plan.tilt[s], &st->tilt_mem);
    copy_vector(st->residual + kSubframe, st->residual, kHistory);
}

synthesis_job postfilter_synthesis(postfilter_state* st, const postfilter_plan& plan, int s,
                                   const double* p, double* out) {
    return {plan.ap4[s], p, out, st->syn_mem, true};
}

void postfilter_finish(postfilter_state* st, double* syn, const double* out) {
    // The next frame's residual must be taken from unfiltered speech, so the tail is kept
    // before the frame is overwritten with its filtered version.
    copy_vector(syn + kFrame - kOrder, st->syn_tail, kOrder);
    copy_vector(out, syn, kFrame);
}

void postfilter(postfilter_state* st, double* syn, const double* a_sub, const int* lags,
                bool pitch_stage) {
    postfilter_plan plan;
    postfilter_plan_frame(a_sub, &plan);
    double p[kSubframes][kSubframe];
    for (int s = 0; s < kSubframes; ++s)
        postfilter_shape(st, plan, syn, s, lags[s], pitch_stage, p[s]);
    double out[kFrame];
    for (int s = 0; s < kSubframes; ++s) {
        const synthesis_job job = postfilter_synthesis(st, plan, s, p[s], out + kSubframe * s);
        synthesis_filter(job.a, job.x, job.y, kSubframe, job.mem, job.update);
        postfilter_agc(&st->past_gain, out + kSubframe * s, syn + kSubframe * s);
    }
    postfilter_finish(st, syn, out);
}

void pitch_postfilter(const double* res, int t0_min, int t0_max, double* p) {
    // Correlation and energy of every candidate lag are independent sums, summed side by side
    // (lane pairs {t + 1, t}: neighbouring samples in that order), so that the energy of the
    // chosen lag is ready when the scan ends; the scan keeps the lag order.
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
    for (int j = 0; j < kSubframe; ++j) p[j] = g0 * res[j] + g * res[j - t0];
}

void tilt_compensation(double* p, double k, double* mem) {
    const double last = p[kSubframe - 1];
    // Descending, so each step still sees the unmodified previous sample.
    for (int i = kSubframe - 1; i >= 1; --i) p[i] = p[i] - k * p[i - 1];
    p[0] = p[0] - k * (*mem);
    *mem = last;
}

void postfilter_agc(double* past_gain, double* out, const double* x) {
    // Both energies side by side, one per lane.
    lane2 e = splat2(0.0);
    for (int i = 0; i < kSubframe; ++i) {
        const lane2 v{out[i], x[i]};
        e += v * v;
    }
    const double e_out = e[0];
    const double e_in = e[1];
    if (e_out == 0.0) {
        // Silence: restart the ramp from nothing rather than divide by zero.
        *past_gain = 0.0;
        return;
    }

    const double g0 = e_in == 0.0 ? 0.0 : kAgcComplement * std::sqrt(e_in / e_out);

    double g = *past_gain;
    for (int i = 0; i < kSubframe; ++i) {
        g = kAgcFactor * g + g0;
        out[i] = out[i] * g;
    }
    *past_gain = g;
}

void synthesis_beside_postprocess(const synthesis_job& job, double* state, double* signal,
                                  int n) {
    // The two loops of synthesis_filter and postprocess, step for step in one: their
    // recursions are independent, so the second runs in the first one's latency.
    if (n > kSubframe) n = kSubframe;
    double past[kOrder];
    for (int j = 0; j < kOrder; ++j) past[j] = job.mem[kOrder - 1 - j];
    double x1 = state[0], x2 = state[1], y1 = state[2], y2 = state[3];
    for (int i = 0; i < n; ++i) {
        double s = job.x[i];
        synthesis_step(s, job.a, past);
        job.y[i] = s;
        signal[i] = high_pass_step(signal[i], x1, x2, y1, y2);
    }
    if (job.update) {
        double tail[kOrder];
        for (int j = 0; j < kOrder; ++j) tail[j] = past[kOrder - 1 - j];
        update_synthesis_memory(tail, job.mem);
    }
    state[0] = x1;
    state[1] = x2;
    state[2] = y1;
    state[3] = y2;
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
