#include "lpc/lsp_quantizer.h"

#include "dsp/lanes.h"
#include "dsp/wide_lanes.h"
#include "lpc/lsp_conversion.h"
#include "lpc/lsp_quantizer_avx.h"
#include "lpc/lsp_quantizer_internal.h"
#include "tables/lsp_codebook1.h"
#include "tables/lsp_codebook2.h"
#include "tables/lsp_predictor_tables.h"

namespace tarnel {

namespace {

// A frame naming an unpublished row would be decoded with a different envelope by every other
// decoder, so the search never picks one. The searched rows are rounded up to whole blocks of
// the lane loops below (8 rows, AVX 16).
constexpr int kSearchedRows = (kPublishedFirstStageRows + 7) / 8 * 8;
constexpr int kSearchedRowsAvx = (kPublishedFirstStageRows + 15) / 16 * 16;

constexpr double kFirstGap = 0.0012;
constexpr double kSecondGap = 0.0006;
constexpr double kLowestLsf = 0.005;
constexpr double kMinDistance = 0.0392;
constexpr double kHighestLsf = 3.135;
constexpr double kWeightLow = 0.12566370616;        // 0.04 pi
constexpr double kWeightHigh = 2.8902652416800003;  // 0.92 pi
constexpr double kSearchStart = 1e38;

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
    double col[kOrder][Rows];
};

template <int Rows>
constexpr transposed<Rows> transpose(const double (&cb)[Rows][kOrder]) {
    transposed<Rows> t{};
    for (int r = 0; r < Rows; ++r)
        for (int i = 0; i < kOrder; ++i) t.col[i][r] = cb[r][i];
    return t;
}

constexpr transposed<kLspCb1Rows> lspcb1_t = transpose(lspcb1);
constexpr transposed<kLspCb2Rows> lspcb2_t = transpose(lspcb2);

// First row of the smallest distance; ties keep the earlier row.
int first_minimum(const double* dist, int rows) {
    int best = 0;
    double best_dist = kSearchStart;
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
    double dist[kSearchedRowsAvx];
    if (wide_lanes()) {
        first_stage_distances_avx(target, lspcb1_t.col, dist, kSearchedRowsAvx);
        return first_minimum(dist, kPublishedFirstStageRows);
    }
    for (int r = 0; r < kSearchedRows; r += 8) {
        lane2 d0 = splat2(0.0), d1 = d0, d2 = d0, d3 = d0;
        for (int i = 0; i < kOrder; ++i) {
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
    return first_minimum(dist, kPublishedFirstStageRows);
}

// Searches one half (coefficients begin..begin+4) of the second stage on the first-stage
// residual, weighted by w.
int search_second_stage(const double* target, const double* w, int l1, int begin) {
    double dist[kLspCb2Rows];
    if (wide_lanes()) {
        double first_residual[kLspSplit];
        for (int i = 0; i < kLspSplit; ++i)
            first_residual[i] = target[begin + i] - lspcb1[l1][begin + i];
        second_stage_distances_avx(first_residual, w + begin, lspcb2_t.col + begin, dist);
        return first_minimum(dist, kLspCb2Rows);
    }
    lane2 residual[kLspSplit], weight[kLspSplit];
    for (int i = 0; i < kLspSplit; ++i) {
        residual[i] = splat2(target[begin + i] - lspcb1[l1][begin + i]);
        weight[i] = splat2(w[begin + i]);
    }
    for (int r = 0; r < kLspCb2Rows; r += 8) {
        lane2 d0 = splat2(0.0), d1 = d0, d2 = d0, d3 = d0;
        for (int i = 0; i < kLspSplit; ++i) {
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
    return first_minimum(dist, kLspCb2Rows);
}

}  // namespace

void lsf_weights(const double* lsf, double* w) {
    // Coefficients close to a neighbour (a formant peak) weigh more.
    w[0] = spacing_weight(lsf[1] - kWeightLow - 1.0);
    for (int i = 1; i < kOrder - 1; ++i) w[i] = spacing_weight(lsf[i + 1] - lsf[i - 1] - 1.0);
    w[kOrder - 1] = spacing_weight(kWeightHigh - lsf[8] - 1.0);
    w[4] = 1.2 * w[4];
    w[5] = 1.2 * w[5];
}

void lsf_prediction_target(const double* lsf, double* target, const double (*fg_mode)[kOrder],
                           const double (*predictor)[kOrder], const double* fg_sum_inv_mode) {
    for (int i = 0; i < kOrder; ++i) {
        double t = lsf[i];
        for (int k = 0; k < kLspPredictorOrder; ++k) t -= fg_mode[k][i] * predictor[k][i];
        target[i] = t * fg_sum_inv_mode[i];
    }
}

void lsf_compose(const double* buf, double* lsf_q, const double (*fg_mode)[kOrder],
                 const double (*predictor)[kOrder], const double* fg_sum_mode) {
    for (int i = 0; i < kOrder; ++i) {
        double s = buf[i] * fg_sum_mode[i];
        for (int k = 0; k < kLspPredictorOrder; ++k) s += fg_mode[k][i] * predictor[k][i];
        lsf_q[i] = s;
    }
}

void lsp_predictor_push(const double* buf, double (*predictor)[kOrder]) {
    for (int k = kLspPredictorOrder - 1; k > 0; --k)
        for (int i = 0; i < kOrder; ++i) predictor[k][i] = predictor[k - 1][i];
    for (int i = 0; i < kOrder; ++i) predictor[0][i] = buf[i];
}

void lsf_space_low(double* buf, double gap) { space_pairs(buf, gap, 1, kLspSplit - 1); }
void lsf_space_high(double* buf, double gap) { space_pairs(buf, gap, kLspSplit, kOrder - 1); }
void lsf_space(double* buf, double gap) { space_pairs(buf, gap, 1, kOrder - 1); }

void lsf_stabilize(double* lsf) {
    // A single pass only repairs one local inversion; the minimum-distance step below keeps
    // the result ordered whatever is left.
    for (int j = 0; j < kOrder - 1; ++j) {
        if (lsf[j + 1] - lsf[j] < 0.0) {
            const double t = lsf[j + 1];
            lsf[j + 1] = lsf[j];
            lsf[j] = t;
        }
    }
    if (lsf[0] < kLowestLsf) lsf[0] = kLowestLsf;
    for (int j = 0; j < kOrder - 1; ++j) {
        if (lsf[j + 1] - lsf[j] < kMinDistance) lsf[j + 1] = lsf[j] + kMinDistance;
    }
    // Applied last, so the top pair may end up closer than the minimum distance.
    if (lsf[9] > kHighestLsf) lsf[9] = kHighestLsf;
}

namespace {

void lsf_codebook_vector(int l1, int l2, int l3, double* buf) {
    for (int i = 0; i < kLspSplit; ++i) buf[i] = lspcb1[l1][i] + lspcb2[l2][i];
    for (int i = kLspSplit; i < kOrder; ++i) buf[i] = lspcb1[l1][i] + lspcb2[l3][i];
    lsf_space(buf, kFirstGap);
    lsf_space(buf, kSecondGap);
}

}  // namespace

void lsf_reconstruct(int l1, int l2, int l3, int mode, double (*predictor)[kOrder], double* lsf_q) {
    double buf[kOrder];
    lsf_codebook_vector(l1, l2, l3, buf);
    lsf_compose(buf, lsf_q, fg[mode], predictor, fg_sum[mode]);
    // The memory keeps the codebook vector before prediction and before stabilisation, so
    // that encoder and decoder predict from identical values.
    lsp_predictor_push(buf, predictor);
    lsf_stabilize(lsf_q);
}

void lsp_quantize(double (*predictor)[kOrder], const double* lsp, double* lsp_q, int* indices) {
    double lsf[kOrder], w[kOrder];
    lsp_to_lsf(lsp, lsf, kOrder);
    lsf_weights(lsf, w);

    int l1[2], l2[2], l3[2];
    double err[2];
    for (int mode = 0; mode < 2; ++mode) {
        double t[kOrder];
        lsf_prediction_target(lsf, t, fg[mode], predictor, fg_sum_inv[mode]);
        l1[mode] = search_first_stage(t);

        double buf[kOrder];
        l2[mode] = search_second_stage(t, w, l1[mode], 0);
        for (int i = 0; i < kLspSplit; ++i) buf[i] = lspcb1[l1[mode]][i] + lspcb2[l2[mode]][i];
        lsf_space_low(buf, kFirstGap);

        l3[mode] = search_second_stage(t, w, l1[mode], kLspSplit);
        for (int i = kLspSplit; i < kOrder; ++i) buf[i] = lspcb1[l1[mode]][i] + lspcb2[l3[mode]][i];
        lsf_space_high(buf, kFirstGap);
        lsf_space(buf, kSecondGap);

        // Error measured in the LSF domain, undoing the target's normalisation.
        double d = 0.0;
        for (int i = 0; i < kOrder; ++i) {
            const double e = (buf[i] - t[i]) * fg_sum[mode][i];
            d += w[i] * (e * e);
        }
        err[mode] = d;
    }
    const int mode = err[1] < err[0] ? 1 : 0;
    indices[0] = mode * kLspCb1Rows + l1[mode];
    indices[1] = l2[mode] * kLspCb2Rows + l3[mode];

    double lsf_q[kOrder];
    lsf_reconstruct(l1[mode], l2[mode], l3[mode], mode, predictor, lsf_q);
    lsf_to_lsp(lsf_q, lsp_q, kOrder);
}

void lsp_decode(double (*predictor)[kOrder], const int* indices, double* lsp_q) {
    const int mode = (indices[0] >> 7) & 1;
    const int l1 = indices[0] & 127;
    const int l2 = (indices[1] >> 5) & 31;
    const int l3 = indices[1] & 31;
    lsf_reconstruct(l1, l2, l3, mode, predictor, lsp_q);
    lsf_to_lsp(lsp_q, lsp_q, kOrder);
}

void lsp_codebook_vector(const int* indices, double* buf) {
    lsf_codebook_vector(indices[0] & 127, (indices[1] >> 5) & 31, indices[1] & 31, buf);
}

}  // namespace tarnel
