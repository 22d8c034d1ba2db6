#include "excitation/acelp.h"

#include "dsp/frame.h"
#include "dsp/lanes.h"
#include "dsp/wide_lanes.h"
#include "excitation/acelp_avx.h"
#include "excitation/pitch.h"

namespace tarnel {

namespace {

constexpr int kTracks = 5;
constexpr int kPerTrack = 8;

// The impulse correlations Phi(p, q) = sum over m = 0..39 - max(p, q) of h[m] h[m + |q - p|]
// are the running sums of each lag, walked from the start of the response: row m + 1 of
// `run` (kRunWidth lags to a row, stored flat) holds every lag's sum after term m, row 0 is
// zero.
constexpr int kRunWidth = kSubframe;

// Phi(p, q) sits in row 40 - hi at lag hi - lo, hi the later position and lo the earlier:
// (40 - hi) 40 + hi - lo = 1600 - (p + q) - 38 hi, found without forming lo.
int run_index(int p, int q) {
    const int hi = p > q ? p : q;
    return kSubframe * kRunWidth - (p + q) - (kRunWidth - 2) * hi;
}

struct search_data {
    double run[(kSubframe + 1) * kRunWidth];
    double half[kSubframe];                // 0.5 * Phi(p, p)
    double d[kSubframe];                   // magnitude of the target correlation
    double s[kSubframe];                   // sign of the target correlation (+1 for zero)
    double block01[kPerTrack][kPerTrack];  // sign-adjusted Phi between tracks 0 and 1
    double block12[kPerTrack][kPerTrack];  // and between tracks 1 and 2
};

// Phi(p, q) for positions on different tracks, times the product of their signs. The signs
// are exactly +-1, so the product is exact and a multiplication rather than a
// data-dependent branch.
double cross(const search_data& sd, int p, int q) {
    return sd.run[run_index(p, q)] * (sd.s[p] * sd.s[q]);
}

double half_energy(const search_data& sd, int p) { return sd.half[p]; }

// A candidate (ps2, alp2) beats the best (sq, alp) on a strictly larger ps2^2 / alp2,
// compared by cross-multiplication.
bool beats(double ps2, double alp2, double sq, double alp) {
    return alp * (ps2 * ps2) - sq * alp2 > 0.0;
}

// Every lag's running sum advances one term per row. A row's lags are independent sums, so
// they go two (or four) to an instruction, and each lane group keeps its sums in registers
// from row to row.
void compute_correlations(const double* h, search_data& sd) {
    double hp[2 * kSubframe] = {};
    for (int m = 0; m < kSubframe; ++m) hp[m] = h[m];
    for (int lag = 0; lag < kRunWidth; ++lag) sd.run[lag] = 0.0;
    if (wide_lanes()) {
        correlation_rows_avx(hp, sd.run);
    } else {
        // Lags 0..19 through every row, then lags 20..39 through the 20 rows they reach.
        for (int first = 0; first < kSubframe; first += kSubframe / 2) {
            lane2 acc[10];
            for (lane2& a : acc) a = splat2(0.0);
            for (int m = 0; m + first < kSubframe; ++m) {
                const lane2 hm = splat2(hp[m]);
#pragma GCC unroll 10
                for (int g = 0; g < 10; ++g) {
                    acc[g] += hm * load2(hp + m + first + 2 * g);
                    store2(sd.run + (m + 1) * kRunWidth + first + 2 * g, acc[g]);
                }
            }
        }
    }
    for (int p = 0; p < kSubframe; ++p) sd.half[p] = 0.5 * sd.run[(kSubframe - p) * kRunWidth];
}

// block[ka][kb] = cross(p, q) for p = 5 ka + ta, q = 5 kb + tb. One loop of fixed length:
// two loops split where q becomes the later position would each end in a mispredicted
// branch.
void fill_block(const search_data& sd, int ta, int tb, double (*block)[kPerTrack]) {
    for (int ka = 0; ka < kPerTrack; ++ka) {
        const int p = ka * kTracks + ta;
#pragma GCC unroll 8
        for (int kb = 0; kb < kPerTrack; ++kb) {
            const int q = kb * kTracks + tb;
            block[ka][kb] = sd.run[run_index(p, q)] * (sd.s[p] * sd.s[q]);
        }
    }
}

// Position of the largest d on a track, the lower position on ties, skipping `excluded`.
int track_maximum(const double* d, int track, int excluded) {
    double max = -1.0;
    int best = track;
    for (int p = track; p < kSubframe; p += kTracks)
        if (p != excluded && d[p] > max) {
            max = d[p];
            best = p;
        }
    return best;
}

struct best_set {
    double psk = -1.0;
    double alpk = 1.0;
    int pos[4] = {0, 1, 2, 3};  // pulse n on track n, pulse 3 on track 3 or 4
};

// Pulse slot of a position: its track, with tracks 3 and 4 sharing pulse 3.
int pulse_of(int p) { return p % kTracks < 3 ? p % kTracks : 3; }

// One depth-first search: fix a pair (one of the two best positions of track `ta`, any
// position of track `tb`), then try every position pair of tracks `tc` (outer) and `td`.
// Both searches of a pass are this one on other tracks: they add the same terms in the same
// order, up to operand swaps within one addition and the symmetry of Phi.
void focused_search(const search_data& sd, int ta, int tb, int tc, int td,
                    const double (*block)[kPerTrack], best_set& best) {
    const int first = track_maximum(sd.d, ta, -1);
    const int cand[2] = {first, track_maximum(sd.d, ta, first)};
    // Every pair's sums first, then the comparisons in order.
    double ps2[2][kPerTrack];
    double alp2[2][kPerTrack];
    for (int n = 0; n < 2; ++n) {
        for (int k = 0; k < kPerTrack; ++k) {
            const int c = cand[n];
            const int p = kTracks * k + tb;
            ps2[n][k] = sd.d[p] + sd.d[c];
            alp2[n][k] = (cross(sd, c, p) + half_energy(sd, c)) + half_energy(sd, p);
        }
    }
    double sq = -1.0, alp = 1.0, ps = 0.0;
    int i0 = cand[0], i1 = tb;
    for (int n = 0; n < 2; ++n) {
        for (int k = 0; k < kPerTrack; ++k) {
            if (beats(ps2[n][k], alp2[n][k], sq, alp)) {
                sq = ps2[n][k] * ps2[n][k];
                alp = alp2[n][k];
                ps = ps2[n][k];
                i0 = cand[n];
                i1 = kTracks * k + tb;
            }
        }
    }
    const double ps0 = ps, alp0 = alp;
    sq = -1.0;
    alp = 1.0;

    // Energy of each inner position with the fixed pair, shared by every outer position.
    double v[kPerTrack];
    for (int k = 0; k < kPerTrack; ++k) {
        const int q = kTracks * k + td;
        v[k] = (cross(sd, q, i0) + cross(sd, q, i1)) + half_energy(sd, q);
    }
    double d_inner[kPerTrack];
    for (int k = 0; k < kPerTrack; ++k) d_inner[k] = sd.d[kTracks * k + td];
    int i2 = tc, i3 = td;
    for (int p = tc; p < kSubframe; p += kTracks) {
        const double ps1 = sd.d[p] + ps0;
        const double alp1 = ((cross(sd, p, i0) + alp0) + cross(sd, p, i1)) + half_energy(sd, p);
        const double* row = block[p / kTracks];
        // The row's sums and squares side by side; only the comparisons with the best so far
        // go in order.
        double ps2_squared[kPerTrack];
        double alp2[kPerTrack];
        for (int k = 0; k < kPerTrack; k += 2) {
            const lane2 ps2 = load2(d_inner + k) + splat2(ps1);
            store2(ps2_squared + k, ps2 * ps2);
            store2(alp2 + k, (load2(row + k) + splat2(alp1)) + load2(v + k));
        }
#pragma GCC unroll 8
        for (int k = 0; k < kPerTrack; ++k) {
            if (alp * ps2_squared[k] - sq * alp2[k] > 0.0) {
                sq = ps2_squared[k];
                alp = alp2[k];
                i2 = p;
                i3 = kTracks * k + td;
            }
        }
    }

    if (best.alpk * sq - best.psk * alp > 0.0) {
        best.psk = sq;
        best.alpk = alp;
        const int chosen[4] = {i0, i1, i2, i3};
        for (const int p : chosen) best.pos[pulse_of(p)] = p;
    }
}

}  // namespace

double clip_pitch_sharp(double gp) {
    if (gp > kSharpMax) return kSharpMax;
    if (gp < kSharpMin) return kSharpMin;
    return gp;
}

void acelp_sharpen(double* v, int t0, double sharp) {
    if (t0 >= kSubframe) return;
    for (int i = 0; i <= kSubframe - 1 - t0; ++i) v[i + t0] = v[i] * sharp + v[i + t0];
}

int acelp_search(const double* x, double* h, int t0, double sharp, double* code, double* y,
                 int* sign_out) {
    acelp_sharpen(h, t0, sharp);

    search_data sd;
    compute_correlations(h, sd);
    target_correlation(h, x, sd.d);
    // Selects, not branches: the signs are as good as random. Two at a time.
    const lane2 zero = splat2(0.0), plus = splat2(1.0), minus = splat2(-1.0);
    for (int i = 0; i < kSubframe; i += 2) {
        const lane2 d = load2(sd.d + i);
        const auto positive = d >= zero;
        store2(sd.s + i, positive ? plus : minus);
        store2(sd.d + i, positive ? d : -d);
    }
    fill_block(sd, 0, 1, sd.block01);
    fill_block(sd, 1, 2, sd.block12);

    best_set best;
    for (int t3 = 3; t3 <= 4; ++t3) {
        focused_search(sd, 2, t3, 0, 1, sd.block01, best);
        focused_search(sd, t3, 0, 1, 2, sd.block12, best);
    }

#pragma GCC unroll 20
    for (int i = 0; i < kSubframe; i += 2) store2(code + i, zero);
    for (int n = 0; n < 4; ++n) code[best.pos[n]] = sd.s[best.pos[n]];

    // Filtered code vector: the sum of four shifted copies of the (sharpened) response.
    // Adding s h with s = -1 is exactly subtracting h, so the signs need no branches.
    const int p0 = best.pos[0];
    for (int i = 0; i < p0; ++i) y[i] = 0.0;
    for (int m = 0; m + p0 < kSubframe; ++m) y[p0 + m] = sd.s[p0] * h[m];
    for (int n = 1; n < 4; ++n) {
        const int p = best.pos[n];
        const double sp = sd.s[p];
        for (int m = 0; m + p < kSubframe; ++m) y[p + m] += sp * h[m];
    }

    int sign = 0;
    for (int n = 0; n < 4; ++n)
        if (sd.s[best.pos[n]] > 0.0) sign |= 1 << n;
    *sign_out = sign;

    acelp_sharpen(code, t0, sharp);

    const int p3 = best.pos[3];
    return best.pos[0] / kTracks + 8 * (best.pos[1] / kTracks) + 64 * (best.pos[2] / kTracks) +
           512 * (2 * (p3 / kTracks) + (p3 % kTracks - 3));
}

void acelp_decode(int sign, int index, double* code) {
    const int pos[4] = {
        (index & 7) * 5,
        ((index >> 3) & 7) * 5 + 1,
        ((index >> 6) & 7) * 5 + 2,
        ((index >> 10) & 7) * 5 + 3 + ((index >> 9) & 1),
    };
    // Stores rather than a string instruction, and the signs by table: they are as good as
    // random.
    const lane2 zero = splat2(0.0);
#pragma GCC unroll 20
    for (int i = 0; i < kSubframe; i += 2) store2(code + i, zero);
    constexpr double kSigns[2] = {-1.0, 1.0};
    for (int n = 0; n < 4; ++n) code[pos[n]] = kSigns[(sign >> n) & 1];
}

}  // namespace tarnel
