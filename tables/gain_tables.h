// Tables of the conjugate-structure gain quantizer.
#pragma once

#include "dsp/frame.h"

namespace tarnel {

struct gain_row {
    double pitch;  // pitch-gain part
    double code;   // code-gain correction-factor part
};

constexpr int kGainRows1 = 8;   // rows of gbk1
constexpr int kGainRows2 = 16;  // rows of gbk2

// GA, 3 bits, ordered by its code part.
inline constexpr gain_row gbk1[kGainRows1] = {
    {1e-05, 0.185084},    {0.094719, 0.296035}, {0.111779, 0.613122}, {0.003516, 0.65978},
    {0.117258, 1.134277}, {0.197901, 1.214512}, {0.021772, 1.801288}, {0.163457, 3.3157},
};

// GB, 4 bits, ordered by its pitch part.
inline constexpr gain_row gbk2[kGainRows2] = {
    {0.050466, 0.244769}, {0.121711, 1e-05},    {0.313871, 0.072357}, {0.375977, 0.292399},
    {0.49387, 0.59341},   {0.556641, 0.064087}, {0.645363, 0.362118}, {0.706138, 0.14611},
    {0.809357, 0.397579}, {0.866379, 0.199087}, {0.923602, 0.599938}, {0.925376, 1.742757},
    {0.942028, 0.029027}, {0.983459, 0.414166}, {1.055892, 0.227186}, {1.158039, 0.724592},
};

// Codebook row -> transmitted code, and back.
inline constexpr int map1[8] = {5, 1, 4, 7, 3, 0, 6, 2};
inline constexpr int map2[16] = {4, 6, 0, 2, 12, 14, 8, 10, 15, 11, 9, 13, 7, 3, 1, 5};
inline constexpr int imap1[8] = {5, 1, 7, 4, 2, 0, 6, 3};
inline constexpr int imap2[16] = {2, 14, 3, 13, 0, 15, 1, 12, 6, 10, 7, 9, 4, 11, 5, 8};

// Pre-selection thresholds (relative to the predicted gain) and the projection that maps the
// unquantized optimum onto the two codebook axes.
inline constexpr double thr1[4] = {0.659681, 0.755274, 1.207205, 1.98774};
inline constexpr double thr2[8] = {0.429912, 0.494045, 0.618737, 0.650676,
                                   0.717949, 0.77005,  0.850628, 0.932089};
inline constexpr double gain_coef[2][2] = {{31.134575, 1.612322}, {0.481389, 0.053056}};
inline constexpr double gain_inv_coef = -0.032623;

// MA prediction of the code-gain energy (dB), newest subframe first, and its mean.
inline constexpr double gain_pred[kGainPredictorOrder] = {0.68, 0.58, 0.34, 0.19};
inline constexpr double gain_mean_energy = 36.0;

constexpr bool maps_are_inverse() {
    for (int r = 0; r < 8; ++r)
        if (imap1[map1[r]] != r) return false;
    for (int r = 0; r < 16; ++r)
        if (imap2[map2[r]] != r) return false;
    return true;
}
static_assert(maps_are_inverse(), "gain index maps must be mutual inverses");

}  // namespace tarnel
