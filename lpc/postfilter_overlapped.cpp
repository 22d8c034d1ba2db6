#include "lpc/postfilter_overlapped.h"

#include "dsp/filters.h"
#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "dsp/recursion.h"
#include "dsp/samples.h"
#include "dsp/wide_lanes.h"
#include "lpc/postfilter.h"
#include "lpc/postfilter_internal.h"

// Each of the three 40-sample recursion passes of a frame (the LP synthesis of subframe 0;
// the LP synthesis of subframe 1 beside the post-filter's synthesis of subframe 0; the
// post-filter's synthesis of subframe 1 beside the high-pass of subframe 0) is bound by the
// latency of its chain of dependent operations, which leaves the arithmetic units mostly
// idle. So the short stages that read a pass's samples run inside its loop, a block of
// samples behind it: the residual and the pitch post-filter's sums, the tilt responses, the
// gain control's energies and its ramp. Every sum still takes its terms in the order of the
// staged post-filter.
//
// The code is written once over the lane width and built twice: for lane pairs, and for lane
// quads where the processor has AVX (then the LP synthesis of subframe 0 and both tilt
// responses share one quad).

namespace tarnel {

namespace {

constexpr int kHistory = kPitchMax;  // residual samples kept before the current subframe
constexpr int kPitchLags = 7;        // candidate lags of the pitch post-filter

template <typename V>
constexpr int kWidth = sizeof(V) / sizeof(double);

// Lane helpers for either width. They write through references, so that no lane quad is
// ever passed by value outside the functions compiled for AVX.
template <typename V>
__attribute__((always_inline)) inline void load_into(V& v, const double* p) {
    __builtin_memcpy(&v, p, sizeof v);
}
template <typename V>
__attribute__((always_inline)) inline void store_from(double* p, const V& v) {
    __builtin_memcpy(p, &v, sizeof v);
}
__attribute__((always_inline)) inline void splat_into(lane2& v, double x) { v = lane2{x, x}; }
#if TARNEL_HAVE_WIDE_LANES
__attribute__((always_inline)) inline void splat_into(lane4& v, double x) { v = lane4{x, x, x, x}; }
#endif

// The pitch post-filter's sums of one subframe, taken a block of residual samples at a time.
// Lane w of vector v holds lag first[v] + width - 1 - w: neighbouring samples in that order.
template <typename V>
struct pitch_sums {
    static constexpr int kWidthV = kWidth<V>;
    static constexpr int kVectors = (kPitchLags + kWidthV - 1) / kWidthV;

    const double* a;  // A(z/0.55)
    const double* x;  // the subframe's synthesis, x[-10..-1] readable
    double* res;      // its residual, res[-143..-1] readable
    int t0_min;
    int t0_max;
    int first[kVectors];  // the last vector may overlap its neighbour to stay in the range
    V corr[kVectors];
    V energy[kVectors];
    double ener0;

    __attribute__((always_inline)) void start(const double* a_, const double* x_, double* res_,
                                              int lag) {
        a = a_;
        x = x_;
        res = res_;
        pitch_postfilter_range(lag, &t0_min, &t0_max);
        for (int v = 0; v < kVectors; ++v) {
            first[v] = t0_min + kWidthV * v;
            if (first[v] + kWidthV - 1 > t0_max) first[v] = t0_max - (kWidthV - 1);
            splat_into(corr[v], 0.0);
            splat_into(energy[v], 0.5);
        }
        ener0 = 0.5;
    }

    // Residual samples j0 .. j0 + width - 1 (each its own sum, one per lane), and their terms
    // of every sum in increasing j.
    __attribute__((always_inline)) void add_block(int j0) {
        V ak, xk, r;
        splat_into(ak, a[1]);
        load_into(xk, x + j0 - 1);
        load_into(r, x + j0);
        r = ak * xk + r;
#pragma GCC unroll 9
        for (int k = 2; k <= kOrder; ++k) {
            splat_into(ak, a[k]);
            load_into(xk, x + j0 - k);
            r += ak * xk;
        }
        store_from(res + j0, r);
#pragma GCC unroll 4
        for (int w = 0; w < kWidthV; ++w) {
            const int j = j0 + w;
            V rj;
            splat_into(rj, r[w]);
#pragma GCC unroll 4
            for (int v = 0; v < kVectors; ++v) {
                V past;
                load_into(past, res + j - first[v] - (kWidthV - 1));
                corr[v] += rj * past;
                energy[v] += past * past;
            }
            ener0 += r[w] * r[w];
        }
    }

    // The long-term filter of the subframe into p, once every sample has been added.
    void apply(double* p) const {
        double c[kPitchLags];
        double e[kPitchLags];
        for (int v = 0; v < kVectors; ++v) {
            for (int w = 0; w < kWidthV; ++w) {
                const int k = first[v] - t0_min + kWidthV - 1 - w;
                c[k] = corr[v][w];
                e[k] = energy[v][w];
            }
        }
        pitch_postfilter_apply(res, t0_min, t0_max, c, e, ener0, p);
    }
};

// The gain control's ramp on the samples of a subframe.
struct agc_ramp {
    double g;    // level
    double g0;   // target step
    bool scale;  // false for a silent subframe, which stays as it is

    __attribute__((always_inline)) double operator()(double v) {
        if (!scale) return v;
        g = kAgcFactor * g + g0;
        return v * g;
    }
};

agc_ramp start_ramp(double past_gain, double e_out, double e_in) {
    agc_ramp r{past_gain, 0.0, false};
    r.scale = agc_target(e_out, e_in, &r.g0);
    return r;
}

double end_ramp(const agc_ramp& r) { return r.scale ? r.g : 0.0; }

// Registers of a synthesis memory, newest first, in one lane.
template <typename V>
__attribute__((always_inline)) inline void load_past(const double* mem, V* past, int lane) {
    for (int j = 0; j < kOrder; ++j) past[j][lane] = mem[kOrder - 1 - j];
}
__attribute__((always_inline)) inline void load_past(const double* mem, double* past, int) {
    for (int j = 0; j < kOrder; ++j) past[j] = mem[kOrder - 1 - j];
}

// Lanes 0, 1 and 2 of a quad (one V of four lanes or two of two) from registers: values
// gathered through memory would wait for their stores to complete.
__attribute__((always_inline)) inline void set_quad(lane2 (*v)[kLpSize], int k, double l0,
                                                    double l1, double l2) {
    v[0][k] = lane2{l0, l1};
    v[1][k] = lane2{l2, 0.0};
}
#if TARNEL_HAVE_WIDE_LANES
__attribute__((always_inline)) inline void set_quad(lane4 (*v)[kLpSize], int k, double l0,
                                                    double l1, double l2) {
    v[0][k] = lane4{l0, l1, l2, 0.0};
}
#endif

// Pass 1: the LP synthesis of subframe 0 (lane 0) beside the two tilt responses, the impulse
// responses of A(z/0.55)/A(z/0.7) (lanes 1 and 2), in four lanes: one quad or two pairs.
// Writes x0[0..39], the tilt factors and returns the energy of x0.
template <typename V>
__attribute__((always_inline)) inline double first_pass(const double* a, const double* exc,
                                                        double* syn_mem, postfilter_plan* plan,
                                                        pitch_sums<V>& sums, double* x0) {
    constexpr int W = kWidth<V>;
    constexpr int G = 4 / W;
    // Coefficients and the tilt responses' inputs (the numerators, then zeros), lane by lane.
    V coef[G][kLpSize];
    V tilt_in[G][kLpSize];
    V past[G][kOrder];
    for (int k = 0; k <= kOrder; ++k) {
        set_quad(coef, k, a[k], plan->ap4[0][k], plan->ap4[1][k]);
        set_quad(tilt_in, k, 0.0, plan->ap3[0][k], plan->ap3[1][k]);
    }
    for (int g = 0; g < G; ++g)
        for (int j = 0; j < kOrder; ++j) splat_into(past[g][j], 0.0);
    load_past(syn_mem, past[0], 0);
    V sq[G], r1[G], previous[G], tilt_r0[G], tilt_r1[G];
    for (int g = 0; g < G; ++g) {
        splat_into(sq[g], 0.0);
        r1[g] = previous[g] = tilt_r0[g] = tilt_r1[g] = sq[g];
    }
    for (int b = 0; b < kSubframe; b += W) {
#pragma GCC unroll 4
        for (int u = 0; u < W; ++u) {
            const int i = b + u;
            for (int g = 0; g < G; ++g) {
                V s;
                if (i < kLpSize)
                    s = tilt_in[g][i];
                else
                    splat_into(s, 0.0);
                if (g == 0) s[0] = exc[i];
                synthesis_step(s, coef[g], past[g]);
                if (g == 0) x0[i] = s[0];
                sq[g] += s * s;
                if (i > 0) r1[g] += previous[g] * s;
                previous[g] = s;
            }
            if (i == kImpulseLength - 1) {
                for (int g = 0; g < G; ++g) {
                    tilt_r0[g] = sq[g];
                    tilt_r1[g] = r1[g];
                }
            }
        }
        if (b > 0) sums.add_block(b - W);
    }
    sums.add_block(kSubframe - W);
    update_synthesis_memory(x0 + kSubframe - kOrder, syn_mem);
    for (int s = 0; s < kSubframes; ++s)
        plan->tilt[s] =
            tilt_factor(tilt_r0[(s + 1) / W][(s + 1) % W], tilt_r1[(s + 1) / W][(s + 1) % W]);
    return sq[0][0];
}

template <typename V>
__attribute__((always_inline)) inline void synthesise_frame(postfilter_state* pf,
                                                            const double* a_sub, const int* lags,
                                                            const double* exc, double* syn_mem,
                                                            double* high_pass, double* syn,
                                                            int16_t* pcm) {
    constexpr int W = kWidth<V>;
    postfilter_plan plan;
    postfilter_weights(a_sub, &plan);

    // The LP synthesis after the previous frame's last ten samples, the residual after its
    // history: both as one frame, so that either subframe reads back into what precedes it.
    double x[kOrder + kFrame];
    copy_vector(pf->syn_tail, x, kOrder);
    double res[kHistory + kFrame];
    copy_vector(pf->residual, res, kHistory);
    pitch_sums<V> sums[kSubframes];
    for (int s = 0; s < kSubframes; ++s)
        sums[s].start(plan.ap3[s], x + kOrder + kSubframe * s, res + kHistory + kSubframe * s,
                      lags[s]);
    double* x0 = x + kOrder;
    double* x1 = x0 + kSubframe;

    const double e_in0 = first_pass(a_sub, exc, syn_mem, &plan, sums[0], x0);
    double p[kSubframes][kSubframe];
    sums[0].apply(p[0]);
    tilt_compensation(p[0], plan.tilt[0], &pf->tilt_mem);

    // Pass 2: the LP synthesis of subframe 1 beside the post-filter's synthesis of subframe 0.
    double out[kFrame];
    lane2 e = splat2(0.0);
    {
        lane2 c[kLpSize];
        for (int k = 1; k <= kOrder; ++k) c[k] = lane2{a_sub[kLpSize + k], plan.ap4[0][k]};
        lane2 past[kOrder];
        load_past(syn_mem, past, 0);
        load_past(pf->syn_mem, past, 1);
        const double* exc1 = exc + kSubframe;
        for (int b = 0; b < kSubframe; b += W) {
#pragma GCC unroll 4
            for (int i = b; i < b + W; ++i) {
                lane2 s{exc1[i], p[0][i]};
                synthesis_step(s, c, past);
                x1[i] = s[0];
                out[i] = s[1];
                e += s * s;
            }
            if (b > 0) sums[1].add_block(b - W);
        }
        sums[1].add_block(kSubframe - W);
        update_synthesis_memory(x1 + kSubframe - kOrder, syn_mem);
        update_synthesis_memory(out + kSubframe - kOrder, pf->syn_mem);
    }
    const double e_in1 = e[0];
    const double e_out0 = e[1];
    sums[1].apply(p[1]);
    tilt_compensation(p[1], plan.tilt[1], &pf->tilt_mem);
    // The residual and the unfiltered tail are complete: they go back to the state here, in
    // the shadow of the last passes rather than after them. As the staged post-filter leaves
    // the residual: the history, then the last subframe's.
    copy_vector(x + kFrame, pf->syn_tail, kOrder);
    copy_vector(res + kFrame, pf->residual, kHistory);
    copy_vector(res + kHistory + kSubframe, pf->residual + kHistory, kSubframe);

    // Pass 3: the post-filter's synthesis of subframe 1 beside the gain control and high-pass
    // of subframe 0.
    double x1h = high_pass[0], x2h = high_pass[1], y1h = high_pass[2], y2h = high_pass[3];
    agc_ramp ramp = start_ramp(pf->past_gain, e_out0, e_in0);
    double e_out1 = 0.0;
    {
        double past[kOrder];
        load_past(pf->syn_mem, past, 0);
        double* out1 = out + kSubframe;
        // Unrolled, so that fewer of the memory's register moves fall on the chain.
#pragma GCC unroll 10
        for (int i = 0; i < kSubframe; ++i) {
            double s = p[1][i];
            synthesis_step(s, plan.ap4[1], past);
            out1[i] = s;
            e_out1 += s * s;
            syn[i] = high_pass_step(ramp(out[i]), x1h, x2h, y1h, y2h);
            pcm[i] = round_to_sample(syn[i]);
        }
        update_synthesis_memory(out1 + kSubframe - kOrder, pf->syn_mem);
    }

    // The gain control and high-pass of subframe 1.
    ramp = start_ramp(end_ramp(ramp), e_out1, e_in1);
#pragma GCC unroll 4
    for (int i = kSubframe; i < kFrame; ++i) {
        syn[i] = high_pass_step(ramp(out[i]), x1h, x2h, y1h, y2h);
        pcm[i] = round_to_sample(syn[i]);
    }
    pf->past_gain = end_ramp(ramp);
    high_pass[0] = x1h;
    high_pass[1] = x2h;
    high_pass[2] = y1h;
    high_pass[3] = y2h;
}

void synthesise_pairs(postfilter_state* pf, const double* a_sub, const int* lags, const double* exc,
                      double* syn_mem, double* high_pass, double* syn, int16_t* pcm) {
    synthesise_frame<lane2>(pf, a_sub, lags, exc, syn_mem, high_pass, syn, pcm);
}

#if TARNEL_HAVE_WIDE_LANES
TARNEL_WIDE void synthesise_quads(postfilter_state* pf, const double* a_sub, const int* lags,
                                  const double* exc, double* syn_mem, double* high_pass,
                                  double* syn, int16_t* pcm) {
    synthesise_frame<lane4>(pf, a_sub, lags, exc, syn_mem, high_pass, syn, pcm);
}
#endif

}  // namespace

void synthesise_speech_frame(postfilter_state* pf, const double* a_sub, const int* lags,
                             const double* exc, double* syn_mem, double* high_pass, double* syn,
                             int16_t* pcm) {
#if TARNEL_HAVE_WIDE_LANES
    if (wide_lanes()) {
        synthesise_quads(pf, a_sub, lags, exc, syn_mem, high_pass, syn, pcm);
        return;
    }
#endif
    synthesise_pairs(pf, a_sub, lags, exc, syn_mem, high_pass, syn, pcm);
}

}  // namespace tarnel
