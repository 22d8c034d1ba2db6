#include "lpc/postfilter.h"

#include <cmath>

#include "lpc/filters.h"

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

// First reflection-like coefficient of A(z/0.55)/A(z/0.7), from its first 22 impulse samples;
// only a positive (low-pass) tilt is compensated.
double tilt_factor(const double* ap3, const double* ap4) {
    double h[kImpulseLength];
    copy_vector(ap3, h, 11);
    zero_vector(h + 11, kImpulseLength - 11);
    // The zeroed tail doubles as the filter's initial memory: the filter copies it out before
    // the first output lands on it.
    synthesis_filter(ap4, h, h, kImpulseLength, h + 11, 0);

    double r0 = 0.0;
    for (int i = 0; i < kImpulseLength; ++i) r0 += h[i] * h[i];
    double r1 = 0.0;
    for (int i = 0; i < kImpulseLength - 1; ++i) r1 += h[i] * h[i + 1];
    if (r1 <= 0.0) return 0.0;
    return (r1 * kTiltFactor) / r0;
}

}  // namespace

void postfilter_init(postfilter_state* st) {
    zero_vector(st->residual, kHistory + kSubframe);
    zero_vector(st->syn_mem, 10);
    st->tilt_mem = 0.0;
    st->past_gain = 1.0;
}

void postfilter(postfilter_state* st, double* syn, const double* a_sub, const int* lags,
                int active) {
    double out[2 * kSubframe];
    double* res = st->residual + kHistory;

    for (int s = 0; s < 2; ++s) {
        const int o = kSubframe * s;
        const double* a = a_sub + 11 * s;

        int t0_max = lags[s] + 3;
        if (t0_max > kPitchMax) t0_max = kPitchMax;
        const int t0_min = t0_max - 6;

        double ap3[11];
        double ap4[11];
        weight_lp(a, 10, ap3, kGammaNum);
        weight_lp(a, 10, ap4, kGammaDen);

        // For the first subframe this reaches into syn[-10..-1], the previous frame's
        // unfiltered tail.
        residual_filter(ap3, syn + o, res, kSubframe);

        double p[kSubframe];
        if (active == 1) {
            pitch_postfilter(res, t0_min, t0_max, p);
        } else {
            copy_vector(res, p, kSubframe);
        }

        tilt_compensation(p, tilt_factor(ap3, ap4), &st->tilt_mem);
        synthesis_filter(ap4, p, out + o, kSubframe, st->syn_mem, 1);
        postfilter_agc(&st->past_gain, out + o, syn + o);

        copy_vector(st->residual + kSubframe, st->residual, kHistory);
    }

    // The next frame's residual must be taken from unfiltered speech, so the tail is saved
    // before the frame is overwritten with its filtered version.
    copy_vector(syn + 70, syn - 10, 10);
    copy_vector(out, syn, 2 * kSubframe);
}

void pitch_postfilter(const double* res, int t0_min, int t0_max, double* p) {
    double cmax = -1e38;
    int t0 = t0_min;
    for (int t = t0_min; t <= t0_max; ++t) {
        double c = 0.0;
        for (int j = 0; j < kSubframe; ++j) c += res[j] * res[j - t];
        if (c > cmax) {
            cmax = c;
            t0 = t;
        }
    }

    double ener = 0.5;
    for (int j = 0; j < kSubframe; ++j) ener += res[j - t0] * res[j - t0];
    double ener0 = 0.5;
    for (int j = 0; j < kSubframe; ++j) ener0 += res[j] * res[j];

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
    double e_out = 0.0;
    for (int i = 0; i < kSubframe; ++i) e_out += out[i] * out[i];
    if (e_out == 0.0) {
        // Silence: restart the ramp from nothing rather than divide by zero.
        *past_gain = 0.0;
        return;
    }

    double e_in = 0.0;
    for (int i = 0; i < kSubframe; ++i) e_in += x[i] * x[i];
    const double g0 = e_in == 0.0 ? 0.0 : kAgcComplement * std::sqrt(e_in / e_out);

    double g = *past_gain;
    for (int i = 0; i < kSubframe; ++i) {
        g = kAgcFactor * g + g0;
        out[i] = out[i] * g;
    }
    *past_gain = g;
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
