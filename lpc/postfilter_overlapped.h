// A speech frame from its excitation to the output samples, with the independent recursions
// of the LP synthesis, the post-filter and the output high-pass overlapped.
#pragma once

#include <cstdint>

namespace tarnel {

struct postfilter_state;

// Unrelated work that the first subframe's synthesis can overlap: run(context) is called once,
// as soon as that synthesis has been issued, while its chain of dependent operations still
// drains, and before the second subframe's synthesis starts. It may touch nothing that the
// first subframe's synthesis reads or writes. run may be null.
struct pass_companion {
    void (*run)(void* context);
    void* context;
};

// Exactly, for s = 0 and 1, synthesis_filter(a_sub + 11 s, exc + 40 s, syn + 40 s, 40,
// syn_mem, true); then postfilter(pf, syn, a_sub, lags, true) and
// postprocess(high_pass, syn, 80); and pcm[n] = round_to_sample(syn[n]). syn must not
// overlap exc; the companion may write exc[40..79].
void synthesise_speech_frame(postfilter_state* pf, const double* a_sub, const int* lags,
                             const double* exc, double* syn_mem, double* high_pass, double* syn,
                             int16_t* pcm, pass_companion companion);

}  // namespace tarnel
