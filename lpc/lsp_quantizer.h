// 18-bit LSP quantizer: switched 4th-order MA prediction, two-stage split VQ in the LSF domain.
#pragma once

#include "dsp/frame.h"

namespace tarnel {

// Rows 0-36 of lspcb1 are the published ones; only they are searched by the encoder. A frame
// naming another row comes from another encoder and is decoded with an approximate envelope.
constexpr int kPublishedFirstStageRows = 37;

// The second stage codes the halves 0..4 and 5..9 of the vector separately.
constexpr int kLspSplit = kOrder / 2;

// predictor (4 rows of 10): row 0 the newest codebook vector, row 3 the oldest.
void lsp_quantize(double (*predictor)[kOrder], const double* lsp, double* lsp_q, int* indices);
void lsp_decode(double (*predictor)[kOrder], const int* indices, double* lsp_q);

// The codebook vector a frame's two indices name, as lsp_decode pushes it into the predictor
// memory: before prediction, so it does not depend on the memory.
void lsp_codebook_vector(const int* indices, double* buf);

// The steps the comfort-noise spectrum and the concealment share with the speech quantizer.
void lsf_compose(const double* buf, double* lsf_q, const double (*fg_mode)[kOrder],
                 const double (*predictor)[kOrder], const double* fg_sum_mode);
void lsp_predictor_push(const double* buf, double (*predictor)[kOrder]);
void lsf_space(double* buf, double gap);  // pairs 1..9
void lsf_stabilize(double* lsf);

// target = (lsf - the prediction from predictor) / fg_sum of one mode: the codebook vector that
// lsf_compose turns back into lsf.
void lsf_prediction_target(const double* lsf, double* target, const double (*fg_mode)[kOrder],
                           const double (*predictor)[kOrder], const double* fg_sum_inv_mode);

}  // namespace tarnel
