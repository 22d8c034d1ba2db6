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

namespace tarnel_test {

// The encoder state is nothing but doubles; if a field of another type ever joins it, this
// fails to compile instead of silently scanning garbage.
constexpr size_t kEncoderStateDoubles = sizeof(tarnel::g729_encoder_state) / sizeof(double);
static_assert(sizeof(tarnel::g729_encoder_state) == kEncoderStateDoubles * sizeof(double),
              "g729_encoder_state holds only doubles");

// Calls f(name, index, value) for every double of the encoder state.
template <class F>
void for_each_double(const tarnel::g729_encoder_state& st, F&& f) {
    double values[kEncoderStateDoubles];
    std::memcpy(values, &st, sizeof values);
    for (size_t i = 0; i < kEncoderStateDoubles; ++i) f("encoder state", i, values[i]);
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
template <class F, size_t N, size_t M, size_t K>
void visit(const char* name, const double (&a)[N][M][K], F& f) {
    for (size_t i = 0; i < N; ++i)
        for (size_t j = 0; j < M; ++j)
            for (size_t k = 0; k < K; ++k) f(name, (i * M + j) * K + k, a[i][j][k]);
}
template <class F>
void visit(const char* name, const double& v, F& f) {
    f(name, 0, v);
}
}  // namespace detail

// The decoder's doubles, field by field. The three integer fields and their padding are the
// only other bytes; a new field changes the size and stops the build here until it is listed.
constexpr size_t kDecoderStateDoubles = 234 + 10 + 10 + 1 + 40 + (1 + 10 + 1 + 80) + 4 + 4 +
                                        (183 + 10 + 1 + 1) + 90;
static_assert(sizeof(tarnel::g729_decoder_state) == kDecoderStateDoubles * sizeof(double) + 16,
              "every double field of g729_decoder_state is listed in for_each_double");

// Calls f(name, index, value) for every double of the decoder state.
template <class F>
void for_each_double(const tarnel::g729_decoder_state& st, F&& f) {
    using detail::visit;
    visit("exc", st.exc, f);
    visit("lsp_old", st.lsp_old, f);
    visit("syn_mem", st.syn_mem, f);
    visit("pitch_sharp", st.pitch_sharp, f);
    visit("lsp_predictor", st.lsp_predictor, f);
    visit("cng.cur_gain", st.cng.cur_gain, f);
    visit("cng.sid_lsp", st.cng.sid_lsp, f);
    visit("cng.sid_gain", st.cng.sid_gain, f);
    visit("cng.noise_fg", st.cng.noise_fg, f);
    visit("gain_predictor_memory", st.gain_predictor_memory, f);
    visit("postprocess_state", st.postprocess_state, f);
    visit("postfilter.residual", st.postfilter.residual, f);
    visit("postfilter.syn_mem", st.postfilter.syn_mem, f);
    visit("postfilter.tilt_mem", st.postfilter.tilt_mem, f);
    visit("postfilter.past_gain", st.postfilter.past_gain, f);
    visit("syn", st.syn, f);
}

// First non-finite double of a state, as "field[index]"; empty when all are finite.
template <class State>
std::string first_non_finite(const State& st) {
    std::string where;
    for_each_double(st, [&](const char* name, size_t i, double v) {
        if (where.empty() && !std::isfinite(v)) where = std::string(name) + "[" + std::to_string(i) + "]";
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

}  // namespace tarnel_test
