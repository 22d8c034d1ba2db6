#include "lpc/postfilter.h"

#include <cmath>

#include "lpc/filters.h"
#include "lpc/lanes.h"
#include "lpc/recursion.h"
#include "lpc/wide_lanes.h"

namespace tarnel {

namespace {

constexpr int kSubframe = 40;
constexpr int kPitchMax = 143;
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
void start_tilt_responses(const double (*ap3)[11], double (*h)[kSubframe]) {
    for (int s = 0; s < 2; ++s) {
        copy_vector(ap3[s], h[s], 11);
        zero_vector(h[s] + 11, kSubframe - 11);
    }
}

// The zeroed tail doubles as the filter's initial memory: the filter copies it out before
// the first output lands on it.
synthesis_job tilt_response_job(const double* ap4, double* h) { return {ap4, h, h, h + 11, 0}; }

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
    for (int s = 0; s < 2; ++s) k[s] = r1[s] <= 0.0 ? 0.0 : (r1[s] * kTiltFactor) / r0[s];
}

void weight_both(const double* a_sub, postfilter_plan* plan) {
    for (int s = 0; s < 2; ++s) {
        weight_lp(a_sub + 11 * s, 10, plan->ap3[s], kGammaNum);
        weight_lp(a_sub + 11 * s, 10, plan->ap4[s], kGammaDen);
    }
}

}  // namespace

void postfilter_init(postfilter_state* st) {
    zero_vector(st->residual, kHistory + kSubframe);
    zero_vector(st->syn_mem, 10);
    st->tilt_mem = 0.0;
    st->past_gain = 1.0;
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
                      int s, int lag, int active, double* p) {
    double* res = st->residual + kHistory;
    int t0_max = lag + 3;
    if (t0_max > kPitchMax) t0_max = kPitchMax;
    const int t0_min = t0_max - 6;

    // For the first subframe this reaches into syn[-10..-1], the previous frame's
    // unfiltered tail.
    residual_filter(plan.ap3[s], syn + kSubframe * s, res, kSubframe);
    if (active == 1) {
        pitch_postfilter(res, t0_min, t0_max, p);
    } else {
        copy_vector(res, p, kSubframe);
    }
    tilt_compensation(p, plan.tilt[s], &st->tilt_mem);
    copy_vector(st->residual + kSubframe, st->residual, kHistory);
}

synthesis_job postfilter_synthesis(postfilter_state* st, const postfilter_plan& plan, int s,
                                   const double* p, double* out) {
    return {plan.ap4[s], p, out, st->syn_mem, 1};
}

void postfilter_finish(double* syn, const double* out) {
    // The next frame's residual must be taken from unfiltered speech, so the tail is saved
    // before the frame is overwritten with its filtered version.
    copy_vector(syn + 70, syn - 10, 10);
    copy_vector(out, syn, 2 * kSubframe);
}

void postfilter(postfilter_state* st, double* syn, const double* a_sub, const int* lags,
                int active) {
    postfilter_plan plan;
    postfilter_plan_frame(a_sub, &plan);
    double p[2][kSubframe];
    for (int s = 0; s < 2; ++s) postfilter_shape(st, plan, syn, s, lags[s], active, p[s]);
    double out[2 * kSubframe];
    for (int s = 0; s < 2; ++s) {
        const synthesis_job job = postfilter_synthesis(st, plan, s, p[s], out + kSubframe * s);
        synthesis_filter(job.a, job.x, job.y, kSubframe, job.mem, job.update);
        postfilter_agc(&st->past_gain, out + kSubframe * s, syn + kSubframe * s);
    }
    postfilter_finish(syn, out);
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
    double past[10];
    for (int j = 0; j < 10; ++j) past[j] = job.mem[9 - j];
    double x1 = state[0];
    double x2 = state[1];
    double y1 = state[2];
    double y2 = state[3];
    for (int i = 0; i < n; ++i) {
        job.y[i] = synthesis_step(job.x[i], job.a, past);

        const double x0 = signal[i];
        const double y =
            1.9330735 * y1 - 0.93589199 * y2 + 0.93980581 * x0 - 1.8795834 * x1 + 0.93980581 * x2;
        x2 = x1;
        x1 = x0;
        y2 = y1;
        y1 = y;
        signal[i] = y;
    }
    if (job.update) {
        double tail[10];
        for (int j = 0; j < 10; ++j) tail[j] = past[9 - j];
        update_synthesis_memory(tail, job.mem);
    }
    state[0] = x1;
    state[1] = x2;
    state[2] = y1;
    state[3] = y2;
}

void postprocess(double* state, double* signal, int n) {
    double x1 = state[0];
    double x2 = state[1];
    double y1 = state[2];
    double y2 = state[3];
    for (int i = 0; i < n; ++i) {
        const double x0 = signal[i];
        const double y =
            1.9330735 * y1 - 0.93589199 * y2 + 0.93980581 * x0 - 1.8795834 * x1 + 0.93980581 * x2;
        x2 = x1;
        x1 = x0;
        y2 = y1;
        y1 = y;
        signal[i] = y;
    }
    state[0] = x1;
    state[1] = x2;
    state[2] = y1;
    state[3] = y2;
}

}  // namespace tarnel
