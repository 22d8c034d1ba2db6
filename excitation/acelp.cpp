#include "excitation/acelp.h"

#include "codec/dimensions.h"
#include "excitation/pitch.h"

namespace tarnel {

namespace {

constexpr int kTracks = 5;
constexpr int kPerTrack = 8;
constexpr int kDiagonals = kTracks * kPerTrack;  // 40 entries: Phi(p, p), track by track
constexpr int kBlock = kPerTrack * kPerTrack;
constexpr int kCorrelations = kDiagonals + 9 * kBlock;  // 616

// Block of the track pair (a, b), a < b; tracks 3 and 4 never hold pulses together.
constexpr int kBlockOf[kTracks][kTracks] = {
    {-1, 0, 1, 2, 3}, {0, -1, 4, 5, 6}, {1, 4, -1, 7, 8}, {2, 5, 7, -1, -1}, {3, 6, 8, -1, -1},
};

int diagonal_slot(int p) { return (p % kTracks) * kPerTrack + p / kTracks; }

// Slot of Phi(p, q) for positions on different tracks; the row belongs to the lower track.
int cross_slot(int p, int q) {
    int tp = p % kTracks, tq = q % kTracks;
    if (tp > tq) {
        const int t = p;
        p = q;
        q = t;
        tp = p % kTracks;
        tq = q % kTracks;
    }
    return kDiagonals + kBlockOf[tp][tq] * kBlock + (p / kTracks) * kPerTrack + q / kTracks;
}

struct search_data {
    double rr[kCorrelations];  // impulse correlations, sign-adjusted off the diagonal
    double d[kSubframe];       // magnitude of the target correlation
    double s[kSubframe];       // sign of the target correlation (+1 for zero)
};

double cross(const search_data& sd, int p, int q) { return sd.rr[cross_slot(p, q)]; }
double half_energy(const search_data& sd, int p) {
    return 0.5 * sd.rr[diagonal_slot(p)];
}

// A candidate (ps2, alp2) beats the best (sq, alp) on a strictly larger ps2^2 / alp2,
// compared by cross-multiplication.
bool beats(double ps2, double alp2, double sq, double alp) {
    return alp * (ps2 * ps2) - sq * alp2 > 0.0;
}

void compute_correlations(const double* h, double* rr) {
    double cor = 0.0;
    for (int k = 0; k < kSubframe; ++k) {
        cor += h[k] * h[k];
        rr[diagonal_slot(kSubframe - 1 - k)] = cor;
    }
    // Each diagonal of the matrix is one running sum, walked from the end of the subframe.
    for (int lag = 1; lag < kSubframe; ++lag) {
        if (lag % kTracks == 0) continue;  // same-track pairs are never two pulses
        cor = 0.0;
        for (int m = 0; m + lag < kSubframe; ++m) {
            cor += h[m] * h[m + lag];
            const int q = kSubframe - 1 - m;
            const int p = q - lag;
            if (p % kTracks + q % kTracks == 7) continue;  // tracks 3 and 4
            rr[cross_slot(p, q)] = cor;
        }
    }
}

void fold_signs(search_data& sd) {
    for (int ta = 0; ta < kTracks; ++ta)
        for (int tb = ta + 1; tb < kTracks; ++tb) {
            if (kBlockOf[ta][tb] < 0) continue;
            for (int ka = 0; ka < kPerTrack; ++ka) {
                const int p = ka * kTracks + ta;
                for (int kb = 0; kb < kPerTrack; ++kb) {
                    const int q = kb * kTracks + tb;
                    double& e = sd.rr[cross_slot(p, q)];
                    e *= sd.s[p] > 0.0 ? sd.s[q] : -sd.s[q];
                }
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
void focused_search(const search_data& sd, int ta, int tb, int tc, int td, best_set& best) {
    const int first = track_maximum(sd.d, ta, -1);
    const int cand[2] = {first, track_maximum(sd.d, ta, first)};
    double sq = -1.0, alp = 1.0, ps = 0.0;
    int i0 = cand[0], i1 = tb;
    for (const int c : cand) {
        for (int p = tb; p < kSubframe; p += kTracks) {
            const double ps2 = sd.d[p] + sd.d[c];
            const double alp2 = (cross(sd, c, p) + half_energy(sd, c)) + half_energy(sd, p);
            if (beats(ps2, alp2, sq, alp)) {
                sq = ps2 * ps2;
                alp = alp2;
                ps = ps2;
                i0 = c;
                i1 = p;
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
    int i2 = tc, i3 = td;
    for (int p = tc; p < kSubframe; p += kTracks) {
        const double ps1 = sd.d[p] + ps0;
        const double alp1 =
            ((cross(sd, p, i0) + alp0) + cross(sd, p, i1)) + half_energy(sd, p);
        for (int k = 0; k < kPerTrack; ++k) {
            const int q = kTracks * k + td;
            const double ps2 = sd.d[q] + ps1;
            const double alp2 = (cross(sd, p, q) + alp1) + v[k];
            if (beats(ps2, alp2, sq, alp)) {
                sq = ps2 * ps2;
                alp = alp2;
                i2 = p;
                i3 = q;
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

// Repeats the vector at the pitch lag so that the code contributes periodicity.
void sharpen(double* v, int t0, double sharp) {
    if (t0 >= kSubframe) return;
    for (int i = 0; i <= kSubframe - 1 - t0; ++i) v[i + t0] = v[i] * sharp + v[i + t0];
}

}  // namespace

int acelp_search(const double* x, double* h, int t0, double sharp, double* code, double* y,
                 int* sign_out) {
    sharpen(h, t0, sharp);

    search_data sd;
    compute_correlations(h, sd.rr);
    target_correlation(h, x, sd.d);
    for (int i = 0; i < kSubframe; ++i) {
        if (sd.d[i] >= 0.0) {
            sd.s[i] = 1.0;
        } else {
            sd.s[i] = -1.0;
            sd.d[i] = -sd.d[i];
        }
    }
    fold_signs(sd);

    best_set best;
    for (int t3 = 3; t3 <= 4; ++t3) {
        focused_search(sd, 2, t3, 0, 1, best);
        focused_search(sd, t3, 0, 1, 2, best);
    }

    for (int i = 0; i < kSubframe; ++i) code[i] = 0.0;
    for (int n = 0; n < 4; ++n) code[best.pos[n]] = sd.s[best.pos[n]];

    // Filtered code vector: the sum of four shifted copies of the (sharpened) response.
    const int p0 = best.pos[0];
    for (int i = 0; i < p0; ++i) y[i] = 0.0;
    for (int m = 0; m + p0 < kSubframe; ++m) y[p0 + m] = sd.s[p0] > 0.0 ? h[m] : -h[m];
    for (int n = 1; n < 4; ++n) {
        const int p = best.pos[n];
        if (sd.s[p] > 0.0) {
            for (int m = 0; m + p < kSubframe; ++m) y[p + m] += h[m];
        } else {
            for (int m = 0; m + p < kSubframe; ++m) y[p + m] -= h[m];
        }
    }

    int sign = 0;
    for (int n = 0; n < 4; ++n)
        if (sd.s[best.pos[n]] > 0.0) sign |= 1 << n;
    *sign_out = sign;

    sharpen(code, t0, sharp);

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
    for (int i = 0; i < kSubframe; ++i) code[i] = 0.0;
    for (int n = 0; n < 4; ++n) code[pos[n]] = (sign >> n) & 1 ? 1.0 : -1.0;
}

}  // namespace tarnel
