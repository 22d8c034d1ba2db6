// A speech frame from its excitation to the output samples, with the independent recursions
// of the LP synthesis, the post-filter and the output high-pass overlapped.
#pragma once

#include <cstdint>

namespace tarnel {

struct postfilter_state;

// Exactly, for s = 0 and 1, synthesis_filter(a_sub + 11 s, exc + 40 s, syn + 40 s, 40,
// syn_mem, true); then postfilter(pf, syn, a_sub, lags, true) and
// postprocess(high_pass, syn, 80); and pcm[n] = round_to_sample(syn[n]). syn must not
// overlap exc.
void synthesise_speech_frame(postfilter_state* pf, const double* a_sub, const int* lags,
                             const double* exc, double* syn_mem, double* high_pass, double* syn,
                             int16_t* pcm);

}  // namespace tarnel
