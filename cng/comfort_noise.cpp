#include "cng/comfort_noise.h"

#include <cmath>

#include "cng/comfort_noise_internal.h"
#include "dsp/filters.h"
#include "excitation/pitch.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer.h"
#include "tables/cng_tables.h"
#include "tables/lsp_codebook1.h"
#include "tables/lsp_codebook2.h"
#include "tables/lsp_predictor_tables.h"

namespace tarnel {

namespace {

constexpr double kPulseGainLimit = 5000.0;
// sqrt(10) to nine digits: the scaled Gaussian part then carries a quarter of the target
// subframe energy 40 g^2, leaving the rest to the adaptive part and the pulses.
constexpr double kGaussianScale = 3.16227766;

// Bits lo..lo+width-1 of a draw, read as its 16-bit two's-complement pattern.
int bits(int16_t r, int lo, int width) {
    const unsigned u = static_cast<uint16_t>(r);
    return static_cast<int>((u >> lo) & ((1u << width) - 1u));
}

double sign_of_bit(int16_t r, int bit) { return bits(r, bit, 1) ? 1.0 : -1.0; }

// floor(s / 128), independent of how the compiler shifts negative values.
int32_t floor_div128(int32_t s) { return s >= 0 ? s / 128 : -((-s + 127) / 128); }

double signed_pulse_sum(const double* x, const cng_subframe_draw& d) {
    return d.sign[0] * x[d.pos[0]] + d.sign[1] * x[d.pos[1]] + d.sign[2] * x[d.pos[2]] +
           d.sign[3] * x[d.pos[3]];
}

void cng_subframe(double* x, double g, int16_t* seed) {
    cng_subframe_draw d;
    cng_draw_subframe(seed, &d);

    double e[kSubframe];
    const double eg = cng_gaussian(seed, e);
    // Eg = 0 needs all 480 draws of the subframe to sum to almost nothing; should it ever
    // happen the Gaussian part is simply left out instead of dividing by zero.
    const double scale = eg > 0.0 ? (kGaussianScale * g) / std::sqrt(eg) : 0.0;
    for (int n = 0; n < kSubframe; ++n) e[n] = e[n] * scale;

    adaptive_codebook_vector(x, d.t0, d.frac, kSubframe);

    double energy = 0.0;
    for (int n = 0; n < kSubframe; ++n) {
        x[n] = x[n] * d.gp + e[n];
        energy += x[n] * x[n];
    }

    double b = signed_pulse_sum(x, d);
    const double k = 40.0 * (g * g);
    double delta = b * b - 4.0 * (energy - k);
    if (delta < 0.0) {
        // The mix is already louder than the target: no pulse gain can bring it down, so the
        // adaptive part goes and the Gaussian quarter of the energy is topped up by pulses.
        copy_vector(e, x, kSubframe);
        b = signed_pulse_sum(x, d);
        delta = b * b + 3.0 * k;
    }

    const double gain = cng_pulse_gain(b, delta);
    for (int j = 0; j < 4; ++j) x[d.pos[j]] = x[d.pos[j]] + d.sign[j] * gain;
}

void glide_level(cng_state* st) { st->cur_gain = 0.875 * st->cur_gain + 0.125 * st->sid_gain; }

// The frame's noise at the current level, and its filters from the previous spectrum to the
// last SID frame's.
void generate_noise(cng_state* st, double* exc, double* lsp_prev, double* a_sub, int16_t* seed) {
    cng_excitation(exc, st->cur_gain, seed);
    interpolate_lsp_to_lp(lsp_prev, st->sid_lsp, a_sub);
    copy_vector(st->sid_lsp, lsp_prev, kOrder);
}

}  // namespace

void cng_init(cng_state* st) {
    st->cur_gain = 0.0;
    lsf_to_lsp(lsf_reset, st->sid_lsp, kOrder);
    st->sid_gain = tab_Sidgain[0];
}

void cng_decode_sid(cng_state* st, bool new_burst, int sid_switch, int sid_index1, int sid_index2,
                    int energy_index, double* exc, double* lsp_prev, double* a_sub, int16_t* seed,
                    double (*predictor)[kOrder]) {
    // The fields arrive masked to their widths; masking again keeps any caller in the tables.
    st->sid_gain = tab_Sidgain[energy_index & 31];
    sid_lsf_decode(sid_switch & 1, sid_index1 & 31, sid_index2 & 15, predictor, st->sid_lsp);

    // A new burst of noise starts at the transmitted level; within a burst the level glides,
    // so that successive SID frames do not step audibly.
    if (new_burst) {
        st->cur_gain = st->sid_gain;
    } else {
        glide_level(st);
    }
    generate_noise(st, exc, lsp_prev, a_sub, seed);
}

void cng_continue(cng_state* st, double* exc, double* lsp_prev, double* a_sub, int16_t* seed) {
    glide_level(st);
    generate_noise(st, exc, lsp_prev, a_sub, seed);
}

void sid_lsf_decode(int sid_switch, int sid_index1, int sid_index2, double (*predictor)[kOrder],
                    double* lsp) {
    const double* cb1 = lspcb1[PtrTab_1[sid_index1]];
    const double* cb2_low = lspcb2[PtrTab_2[0][sid_index2]];
    const double* cb2_high = lspcb2[PtrTab_2[1][sid_index2]];

    double u[kOrder];
    for (int j = 0; j < kOrder; ++j) u[j] = cb1[j];
    for (int j = 0; j < kLspSplit; ++j) u[j] += cb2_low[j];
    for (int j = kLspSplit; j < kOrder; ++j) u[j] += cb2_high[j];
    lsf_space(u, 0.0012);

    double q[kOrder];
    lsf_compose(u, q, noise_fg.fg[sid_switch], predictor, noise_fg_sum[sid_switch]);
    lsp_predictor_push(u, predictor);
    lsf_stabilize(q);
    lsf_to_lsp(q, lsp, kOrder);
}

void cng_excitation(double* exc, double gain, int16_t* seed) {
    // Subframe 1 runs after subframe 0 is finished: its adaptive part may read it.
    for (int s = 0; s < kSubframes; ++s) cng_subframe(exc + kSubframe * s, gain, seed);
}

void cng_draw_subframe(int16_t* seed, cng_subframe_draw* d) {
    const int16_t r1 = cng_random(seed);
    const int f = bits(r1, 0, 2);
    d->frac = f == 3 ? 0 : f - 1;
    d->t0 = 40 + bits(r1, 2, 6);
    d->pos[0] = 5 * bits(r1, 8, 3);
    d->sign[0] = sign_of_bit(r1, 11);
    d->pos[1] = 5 * bits(r1, 12, 3) + 1;
    d->sign[1] = sign_of_bit(r1, 15);

    const int16_t r2 = cng_random(seed);
    d->pos[2] = 5 * bits(r2, 0, 3) + 2;
    d->sign[2] = sign_of_bit(r2, 3);
    d->pos[3] = 5 * bits(r2, 5, 3) + 3 + bits(r2, 4, 1);
    d->sign[3] = sign_of_bit(r2, 8);

    const int16_t r3 = cng_random(seed);
    d->gp = bits(r3, 0, 13) * (1.0 / 16384.0);
}

double cng_gaussian(int16_t* seed, double* e) {
    double eg = 0.0;
    for (int n = 0; n < kSubframe; ++n) {
        int32_t sum = 0;
        for (int i = 0; i < 12; ++i) sum += cng_random(seed);
        e[n] = floor_div128(sum) * (1.0 / 512.0);
        eg += e[n] * e[n];
    }
    return eg;
}

double cng_pulse_gain(double b, double delta) {
    const double w = std::sqrt(delta);
    const double x1 = (w - b) * 0.25;
    const double x2 = -(w + b) * 0.25;
    double g = std::fabs(x1) < std::fabs(x2) ? x1 : x2;
    if (g > kPulseGainLimit) g = kPulseGainLimit;
    if (g < -kPulseGainLimit) g = -kPulseGainLimit;
    return g;
}

int16_t cng_random(int16_t* seed) {
    // Unsigned arithmetic wraps by definition; the 16-bit result is then read back as signed.
    const uint32_t next =
        (static_cast<uint32_t>(static_cast<uint16_t>(*seed)) * 31821u + 13849u) & 0xFFFFu;
    const int32_t value =
        next >= 0x8000u ? static_cast<int32_t>(next) - 0x10000 : static_cast<int32_t>(next);
    *seed = static_cast<int16_t>(value);
    return *seed;
}

}  // namespace tarnel
