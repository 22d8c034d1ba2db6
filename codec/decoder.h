// Decoder frame pipeline: a 10-byte speech frame or a 2-byte SID frame in, 80 samples out.
#pragma once

#include <cstdint>

#include "cng/comfort_noise.h"
#include "codec/bitstream.h"
#include "dsp/filters.h"
#include "dsp/frame.h"
#include "lpc/postfilter.h"

namespace tarnel {

struct g729_decoder_state {
    double exc[kExcHistory + kFrame];  // excitation: 154 past, then the current frame
    double lsp_old[kOrder];            // previous LSPs: interpolation start, also for comfort noise
    double syn_mem[kOrder];            // LP synthesis filter memory
    double pitch_sharp;                // last decoded pitch gain, clipped to 0.2..0.7945
    double heard_energy;               // energy of the last frame heard before frames went missing
    double voiced_level;               // mean gain memory (dB) after the last voiced frame
    int32_t prev_pitch;                // T0 used on a parity error, reported for SID frames
    int32_t prev_frame_type;           // kFrameTypeSpeech or kFrameTypeSid
    int16_t cng_seed;                  // comfort-noise generator state
    int16_t conceal_seed;              // generator of concealed innovation; carries on for ever
    int16_t lost_frames;               // frames concealed since the last one received, up to 7
    int16_t conceal_voiced;            // 1 while a burst repeats the pitch, 0 when it is noise
    int16_t conceal_lag;               // integer lag of the last frame before the burst
    double lsp_predictor[kLspPredictorOrder][kOrder];   // MA memory of the LSP decoder
    cng_state cng;                                      // comfort-noise memory
    double gain_predictor_memory[kGainPredictorOrder];  // past decoded code-gain energies (dB)
    double postprocess_state[kBiquadMemory];            // x1, x2, y1, y2 of the output high-pass
    postfilter_state postfilter;
    double syn[kFrame];                   // the frame's output before rounding
    double exc_before_loss[kExcHistory];  // the excitation history when the burst began
    double burst_lsf[kOrder];             // the envelope a burst keeps, as LSFs
    double burst_lp[kLpSize];             // and as the LP filter of both subframes
};
constexpr int kDecoderStateDoubles = (kExcHistory + kFrame) + 2 * kOrder + 3 +
                                     kLspPredictorOrder * kOrder + kCngStateDoubles +
                                     kGainPredictorOrder + kBiquadMemory + kPostfilterStateDoubles +
                                     kFrame + kExcHistory + kOrder + kLpSize;
// The seven integers take the room of three doubles.
static_assert(sizeof(g729_decoder_state) == (kDecoderStateDoubles + 3) * sizeof(double),
              "g729_decoder_state is the listed doubles and seven integers");

void g729_decoder_init(g729_decoder_state* st);

// unit_size 10 decodes a speech frame, 2 a SID frame; anything else returns -1 untouched.
int g729_decode_frame(g729_decoder_state* st, int16_t* pcm, const uint8_t* in, int unit_size);

// 80 samples in place of a frame known to be missing, made from what the state holds; the
// state is then ready for the next frame, received or missing. In speech the lost sound is
// carried on and faded to silence within 60 ms; in a silence period the comfort noise goes on.
void g729_conceal_frame(g729_decoder_state* st, int16_t* pcm);

// A decoded value as a 16-bit sample: rounded half away from zero and saturated; a
// non-finite value becomes 0.
int16_t g729_round_sample(double v);

// g729_round_sample on v[0..n-1], two samples at a time; n is even.
void g729_round_samples(const double* v, int16_t* pcm, int n);

}  // namespace tarnel
