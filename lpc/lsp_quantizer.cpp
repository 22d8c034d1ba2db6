#include "lpc/lsp_quantizer.h"

#include "lpc/lanes.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer_avx.h"
#include "lpc/wide_lanes.h"
#include "tables/lsp_codebook1.h"
#include "tables/lsp_codebook2.h"
#include "tables/lsp_predictor_tables.h"

namespace tarnel {

namespace {

constexpr int lp_order = 10;
constexpr int split = 5;  // second-stage halves: coefficients 0..4 and 5..9
constexpr int predictor_rows = 4;
constexpr int cb1_rows = 128;
// A frame naming an unpublished row would be decoded with a different envelope by every other
// decoder, so the search never picks one.
constexpr int cb1_published_rows = kPublishedFirstStageRows;
// The searched rows rounded up to whole blocks of the lane loops below (8 rows, AVX 16).
constexpr int cb1_searched_rows = (cb1_published_rows + 7) / 8 * 8;
constexpr int cb1_searched_rows_avx = (cb1_published_rows + 15) / 16 * 16;
constexpr int cb2_rows = 32;

constexpr double first_gap = 0.0012;
constexpr double second_gap = 0.0006;
constexpr double lowest_lsf = 0.005;
constexpr double min_distance = 0.0392;
constexpr double highest_lsf = 3.135;
constexpr double weight_low = 0.12566370616;         // 0.04 pi
constexpr double weight_high = 2.8902652416800003;  // 0.92 pi
constexpr double search_start = 1e38;

double spacing_weight(double d) { return d > 0.0 ? 1.0 : 10.0 * (d * d) + 1.0; }

void space_pairs(double* buf, double gap, int first, int last) {
    for (int j = first; j <= last; ++j) {
        const double t = (buf[j - 1] - buf[j] + gap) * 0.5;
        if (t > 0.0) {
            buf[j - 1] = buf[j - 1] - t;
            buf[j] = buf[j] + t;
        }
    }
}

// The codebooks column by column, so that neighbouring rows sit side by side in a lane pair.
template <int Rows>
struct transposed {
    double col[lp_order][Rows];
};

template <int Rows>
constexpr transposed<Rows> transpose(const double (&cb)[Rows][lp_order]) {
    transposed<Rows> t{};
    for (int r = 0; r < Rows; ++r)
        for (int i = 0; i < lp_order; ++i) t.col[i][r] = cb[r][i];
    return t;
}

constexpr transposed<cb1_rows> lspcb1_t = transpose(lspcb1);
constexpr transposed<cb2_rows> lspcb2_t = transpose(lspcb2);

// First row of the smallest distance; ties keep the earlier row.
int first_minimum(const double* dist, int rows) {
    int best = 0;
    double best_dist = search_start;
    for (int r = 0; r < rows; ++r) {
        if (dist[r] < best_dist) {
            best_dist = dist[r];
            best = r;
        }
    }
    return best;
}

int search_first_stage(const double* target) {
    // Each row's distance is its own sum over i in order; eight rows go side by side.
    double dist[cb1_searched_rows_avx];
    if (wide_lanes()) {
        first_stage_distances_avx(target, lspcb1_t.col, dist, cb1_searched_rows_avx);
        return first_minimum(dist, cb1_published_rows);
    }
    for (int r = 0; r < cb1_searched_rows; r += 8) {
        lane2 d0 = splat2(0.0), d1 = d0, d2 = d0, d3 = d0;
        for (int i = 0; i < lp_order; ++i) {
            const lane2 t = splat2(target[i]);
            const double* c = lspcb1_t.col[i] + r;
            const lane2 e0 = t - load2(c), e1 = t - load2(c + 2);
            const lane2 e2 = t - load2(c + 4), e3 = t - load2(c + 6);
            d0 += e0 * e0;
            d1 += e1 * e1;
            d2 += e2 * e2;
            d3 += e3 * e3;
        }
        store2(dist + r, d0);
        store2(dist + r + 2, d1);
        store2(dist + r + 4, d2);
        store2(dist + r + 6, d3);
    }
    return first_minimum(dist, cb1_published_rows);
}

// Searches one half (coefficients begin..begin+4) of the second stage on the first-stage
// residual, weighted by w.
int search_second_stage(const double* target, const double* w, int l1, int begin) {
    lane2 residual[split], weight[split];
    for (int i = 0; i < split; ++i) {
        residual[i] = splat2(target[begin + i] - lspcb1[l1][begin + i]);
        weight[i] = splat2(w[begin + i]);
    }
    double dist[cb2_rows];
    for (int r = 0; r < cb2_rows; r += 8) {
        lane2 d0 = splat2(0.0), d1 = d0, d2 = d0, d3 = d0;
        for (int i = 0; i < split; ++i) {
            const double* c = lspcb2_t.col[begin + i] + r;
            const lane2 e0 = residual[i] - load2(c), e1 = residual[i] - load2(c + 2);
            const lane2 e2 = residual[i] - load2(c + 4), e3 = residual[i] - load2(c + 6);
            d0 += weight[i] * (e0 * e0);
            d1 += weight[i] * (e1 * e1);
            d2 += weight[i] * (e2 * e2);
            d3 += weight[i] * (e3 * e3);
        }
        store2(dist + r, d0);
        store2(dist + r + 2, d1);
        store2(dist + r + 4, d2);
        store2(dist + r + 6, d3);
    }
    return first_minimum(dist, cb2_rows);
}

}  // namespace

void lsf_weights(const double* lsf, double* w) {
    // Coefficients close to a neighbour (a formant peak) weigh more.
    w[0] = spacing_weight(lsf[1] - weight_low - 1.0);
    for (int i = 1; i < lp_order - 1; ++i) w[i] = spacing_weight(lsf[i + 1] - lsf[i - 1] - 1.0);
    w[9] = spacing_weight(weight_high - lsf[8] - 1.0);
    w[4] = 1.2 * w[4];
    w[5] = 1.2 * w[5];
}

void lsf_prediction_target(const double* lsf, double* target, const double (*fg_mode)[10],
                           const double (*predictor)[10], const double* fg_sum_inv_mode) {
    for (int i = 0; i < lp_order; ++i) {
        double t = lsf[i];
        for (int k = 0; k < predictor_rows; ++k) t -= fg_mode[k][i] * predictor[k][i];
        target[i] = t * fg_sum_inv_mode[i];
    }
}

void lsf_compose(const double* buf, double* lsf_q, const double (*fg_mode)[10],
                 const double (*predictor)[10], const double* fg_sum_mode) {
    for (int i = 0; i < lp_order; ++i) {
        double s = buf[i] * fg_sum_mode[i];
        for (int k = 0; k < predictor_rows; ++k) s += fg_mode[k][i] * predictor[k][i];
        lsf_q[i] = s;
    }
}

void lsp_predictor_push(const double* buf, double (*predictor)[10]) {
    for (int k = predictor_rows - 1; k > 0; --k)
        for (int i = 0; i < lp_order; ++i) predictor[k][i] = predictor[k - 1][i];
    for (int i = 0; i < lp_order; ++i) predictor[0][i] = buf[i];
}

void lsf_space_low(double* buf, double gap) { space_pairs(buf, gap, 1, split - 1); }
void lsf_space_high(double* buf, double gap) { space_pairs(buf, gap, split, lp_order - 1); }
void lsf_space(double* buf, double gap) { space_pairs(buf, gap, 1, lp_order - 1); }

void lsf_stabilize(double* lsf) {
    // A single pass only repairs one local inversion; the minimum-distance step below keeps
    // the result ordered whatever is left.
    for (int j = 0; j < lp_order - 1; ++j) {
        if (lsf[j + 1] - lsf[j] < 0.0) {
            const double t = lsf[j + 1];
            lsf[j + 1] = lsf[j];
            lsf[j] = t;
        }
    }
    if (lsf[0] < lowest_lsf) lsf[0] = lowest_lsf;
    for (int j = 0; j < lp_order - 1; ++j) {
        if (lsf[j + 1] - lsf[j] < min_distance) lsf[j + 1] = lsf[j] + min_distance;
    }
    // Applied last, so the top pair may end up closer than the minimum distance.
    if (lsf[9] > highest_lsf) lsf[9] = highest_lsf;
}

void lsf_reconstruct(int l1, int l2, int l3, int mode, double (*predictor)[10], double* lsf_q) {
    double buf[lp_order];
    for (int i = 0; i < split; ++i) buf[i] = lspcb1[l1][i] + lspcb2[l2][i];
    for (int i = split; i < lp_order; ++i) buf[i] = lspcb1[l1][i] + lspcb2[l3][i];
    lsf_space(buf, first_gap);
    lsf_space(buf, second_gap);
    lsf_compose(buf, lsf_q, fg[mode], predictor, fg_sum[mode]);
    // The memory keeps the codebook vector before prediction and before stabilisation, so
    // that encoder and decoder predict from identical values.
    lsp_predictor_push(buf, predictor);
    lsf_stabilize(lsf_q);
}

void lsp_quantize(double (*predictor)[10], const double* lsp, double* lsp_q, int* indices) {
    double lsf[lp_order], w[lp_order];
    lsp_to_lsf(lsp, lsf, lp_order);
    lsf_weights(lsf, w);

    int l1[2], l2[2], l3[2];
    double err[2];
    for (int mode = 0; mode < 2; ++mode) {
        double t[lp_order];
        lsf_prediction_target(lsf, t, fg[mode], predictor, fg_sum_inv[mode]);
        l1[mode] = search_first_stage(t);

        double buf[lp_order];
        l2[mode] = search_second_stage(t, w, l1[mode], 0);
        for (int i = 0; i < split; ++i) buf[i] = lspcb1[l1[mode]][i] + lspcb2[l2[mode]][i];
        lsf_space_low(buf, first_gap);

        l3[mode] = search_second_stage(t, w, l1[mode], split);
        for (int i = split; i < lp_order; ++i) buf[i] = lspcb1[l1[mode]][i] + lspcb2[l3[mode]][i];
        lsf_space_high(buf, first_gap);
        lsf_space(buf, second_gap);

        // Error measured in the LSF domain, undoing the target's normalisation.
        double d = 0.0;
        for (int i = 0; i < lp_order; ++i) {
            const double e = (buf[i] - t[i]) * fg_sum[mode][i];
            d += w[i] * (e * e);
        }
        err[mode] = d;
    }
    const int mode = err[1] < err[0] ? 1 : 0;
    indices[0] = mode * cb1_rows + l1[mode];
    indices[1] = l2[mode] * cb2_rows + l3[mode];

    double lsf_q[lp_order];
    lsf_reconstruct(l1[mode], l2[mode], l3[mode], mode, predictor, lsf_q);
    lsf_to_lsp(lsf_q, lsp_q, lp_order);
}

void lsp_decode(double (*predictor)[10], const int* indices, double* lsp_q) {
    const int mode = (indices[0] >> 7) & 1;
    const int l1 = indices[0] & 127;
    const int l2 = (indices[1] >> 5) & 31;
    const int l3 = indices[1] & 31;
    lsf_reconstruct(l1, l2, l3, mode, predictor, lsp_q);
    lsf_to_lsp(lsp_q, lsp_q, lp_order);
}

void lsp_predictor_save(const double (*predictor)[10], double (*copy)[10]) {
    for (int k = 0; k < predictor_rows; ++k)
        for (int i = 0; i < lp_order; ++i) copy[k][i] = predictor[k][i];
}

void lsp_predictor_restore(double (*predictor)[10], const double (*copy)[10]) {
    for (int k = 0; k < predictor_rows; ++k)
        for (int i = 0; i < lp_order; ++i) predictor[k][i] = copy[k][i];
}

}  // namespace tarnel
