// Sizes shared by every layer: the codec's stages, the module, the host stand-in and the tool.
#pragma once

namespace tarnel {

constexpr int kSampleRate = 8000;  // Hz, linear PCM in and out
constexpr int kFrame = 80;         // samples per 10 ms frame at 8 kHz
constexpr int kSubframe = 40;      // samples per subframe
constexpr int kSubframes = kFrame / kSubframe;
constexpr int kOrder = 10;              // LP order
constexpr int kLpSize = 11;             // LP vector a[0..10], a[0] = 1
constexpr int kLpPair = 22;             // the two subframes' LP vectors, subframe 1 first
constexpr int kAnalysisWindow = 240;    // LP analysis buffer: 120 past, this frame, 40 ahead
constexpr int kPitchMin = 20;           // shortest integer pitch lag
constexpr int kPitchMax = 143;          // longest integer pitch lag
constexpr int kExcHistory = 154;        // past excitation kept: 143 + 11 interpolation taps
constexpr int kLspPredictorOrder = 4;   // past codebook vectors in the LSP MA prediction
constexpr int kLspPredictorModes = 2;   // switched predictors of the LSP quantizer
constexpr int kGainPredictorOrder = 4;  // past code-gain energies in the gain MA prediction
constexpr int kCodecDelay = 40;  // samples by which decoded speech lags its input (look-ahead)
constexpr int kSpeechFrameBytes = 10;
constexpr int kSidFrameBytes = 2;

}  // namespace tarnel
