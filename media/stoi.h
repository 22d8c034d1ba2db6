// Short-time objective intelligibility (STOI) of a degraded signal against the clean signal it
// came from: C. H. Taal, R. C. Hendriks, R. Heusdens and J. Jensen, "An algorithm for
// intelligibility prediction of time-frequency weighted noisy speech", IEEE Trans. Audio, Speech
// and Language Processing 19(7), 2011.
//
// The figure is the mean, over 15 one-third-octave bands and every 384 ms stretch of speech, of
// the correlation between the clean and the degraded signal's temporal envelopes. It is close to
// 1 when the degraded signal keeps the envelopes listeners rely on, and close to 0 when it bears
// no relation to the clean one; in between it rises with the share of words listeners get right.
// Unlike the SNR it does not punish a codec for changing the waveform where the envelopes stay.
//
// Both signals are taken at 8 kHz, as everywhere in this system, and resampled to the measure's
// own 10 kHz before analysis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarnel::media {

constexpr int kStoiRate = 10000;  // Hz: the rate the measure's bands and frames are defined at

// STOI of degraded against clean, where degraded[n + delay] lines up with clean[n] (as in the
// other quality measures, only the overlap is compared). Frames of the clean signal more than
// 40 dB below its loudest are left out of both. A gain on the degraded signal does not change the
// figure. Empty when the overlap holds fewer than 30 analysis frames of sound (about 0.4 s), when
// the clean signal is silent, or when delay is negative.
std::optional<double> stoi(const std::vector<int16_t>& clean, const std::vector<int16_t>& degraded,
                           int delay);

// The band-limited 8 kHz -> 10 kHz conversion stoi applies to both signals: a Kaiser-windowed
// sinc, flat to 3.6 kHz and at least 80 dB down from 4 kHz, the samples outside the input taken as
// zero. out[m] is the signal at time m/10000 s; ceil(n * 5 / 4) samples for n in.
std::vector<double> resample_for_stoi(const int16_t* pcm, size_t n);

}  // namespace tarnel::media
