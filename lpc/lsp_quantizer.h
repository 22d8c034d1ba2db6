// 18-bit LSP quantizer: switched 4th-order MA prediction, two-stage split VQ in the LSF domain.
#pragma once

namespace tarnel {

// Rows 0-36 of lspcb1 are the published ones; only they are searched by the encoder. A frame
// naming another row comes from another encoder and is decoded with an approximate envelope.
constexpr int kPublishedFirstStageRows = 37;

// predictor (4 rows of 10): row 0 the newest codebook vector, row 3 the oldest.
void lsp_quantize(double (*predictor)[10], const double* lsp, double* lsp_q, int* indices);
void lsp_decode(double (*predictor)[10], const int* indices, double* lsp_q);

void lsf_weights(const double* lsf, double* w);
void lsf_prediction_target(const double* lsf, double* target, const double (*fg_mode)[10],
                           const double (*predictor)[10], const double* fg_sum_inv_mode);
void lsf_compose(const double* buf, double* lsf_q, const double (*fg_mode)[10],
                 const double (*predictor)[10], const double* fg_sum_mode);
void lsp_predictor_push(const double* buf, double (*predictor)[10]);
void lsf_space_low(double* buf, double gap);   // pairs 1..4
void lsf_space_high(double* buf, double gap);  // pairs 5..9
void lsf_space(double* buf, double gap);       // pairs 1..9
void lsf_stabilize(double* lsf);
void lsf_reconstruct(int l1, int l2, int l3, int mode, double (*predictor)[10], double* lsf_q);
void lsp_predictor_save(const double (*predictor)[10], double (*copy)[10]);
void lsp_predictor_restore(double (*predictor)[10], const double (*copy)[10]);

}  // namespace tarnel
