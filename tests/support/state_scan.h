// Walks every double a codec state holds, so that hostile-input tests and fuzz targets can
// prove that no NaN or infinity ever settles in a memory, where it would poison every frame
// that follows for the rest of the call.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>

#include "codec/decoder.h"
#include "codec/encoder.h"

namespace tarnel::test {

// Calls f(name, index, value) for every double of the encoder state, which is nothing but
// doubles (its header proves it).
template <class F>
void for_each_double(const g729_encoder_state& st, F&& f) {
    double values[kEncoderStateDoubles];
    std::memcpy(values, &st, sizeof values);
    for (int i = 0; i < kEncoderStateDoubles; ++i) f("encoder state", i, values[i]);
}

namespace detail {
template <class F, size_t N>
void visit(const char* name, const double (&a)[N], F& f) {
    for (size_t i = 0; i < N; ++i) f(name, i, a[i]);
}
template <class F, size_t N, size_t M>
void visit(const char* name, const double (&a)[N][M], F& f) {
    for (size_t i = 0; i < N; ++i)
        for (size_t j = 0; j < M; ++j) f(name, i * M + j, a[i][j]);
}
template <class F>
void visit(const char* name, const double& v, F& f) {
    f(name, 0, v);
}
}  // namespace detail

// Calls f(name, index, value) for every double of the decoder state, field by field; the
// pipeline tests check that the walk covers the record's kDecoderStateDoubles.
template <class F>
void for_each_double(const g729_decoder_state& st, F&& f) {
    using detail::visit;
    visit("exc", st.exc, f);
    visit("lsp_old", st.lsp_old, f);
    visit("syn_mem", st.syn_mem, f);
    visit("pitch_sharp", st.pitch_sharp, f);
    visit("heard_energy", st.heard_energy, f);
    visit("voiced_level", st.voiced_level, f);
    visit("lsp_predictor", st.lsp_predictor, f);
    visit("cng.cur_gain", st.cng.cur_gain, f);
    visit("cng.sid_lsp", st.cng.sid_lsp, f);
    visit("cng.sid_gain", st.cng.sid_gain, f);
    visit("gain_predictor_memory", st.gain_predictor_memory, f);
    visit("postprocess_state", st.postprocess_state, f);
    visit("postfilter.residual", st.postfilter.residual, f);
    visit("postfilter.syn_mem", st.postfilter.syn_mem, f);
    visit("postfilter.syn_tail", st.postfilter.syn_tail, f);
    visit("postfilter.tilt_mem", st.postfilter.tilt_mem, f);
    visit("postfilter.past_gain", st.postfilter.past_gain, f);
    visit("syn", st.syn, f);
    visit("exc_before_loss", st.exc_before_loss, f);
    visit("burst_lsf", st.burst_lsf, f);
    visit("burst_lp", st.burst_lp, f);
}

// First non-finite double of a state, as "field[index]"; empty when all are finite.
template <class State>
std::string first_non_finite(const State& st) {
    std::string where;
    for_each_double(st, [&](const char* name, size_t i, double v) {
        if (where.empty() && !std::isfinite(v))
            where = std::string(name) + "[" + std::to_string(i) + "]";
    });
    return where;
}

// Largest magnitude of any double in a state.
template <class State>
double largest_magnitude(const State& st) {
    double m = 0.0;
    for_each_double(st, [&](const char*, size_t, double v) {
        if (std::fabs(v) > m) m = std::fabs(v);
    });
    return m;
}

}  // namespace tarnel::test
