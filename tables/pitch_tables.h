// Tables of the pitch analysis and the adaptive codebook.
#pragma once

namespace tarnel {

// Interpolation filter of the adaptive codebook at 1/3-sample resolution: entry k weighs an
// excitation sample lying k/3 of a sample from the interpolation point.
inline constexpr double inter_3l[31] = {
    0.898517,  0.769271,  0.448635,  0.095915,  -0.134333, -0.178528, -0.084919, 0.036952,
    0.095533,  0.068936,  0.0,       -0.050404, -0.050835, -0.014169, 0.023083,  0.033543,
    0.016774,  -0.007466, -0.01934,  -0.013755, 0.0,       0.0094,    0.009029,  0.002381,
    -0.003658, -0.005027, -0.002405, 0.00105,   0.00278,   0.002145,  0.0,
};

}  // namespace tarnel
