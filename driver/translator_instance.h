// The module's translators run the way the host runs them: one instance per direction, a host
// frame fed in, then the translator's frame-out (or the host's default one) read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dsp/frame.h"
#include "hvn_host.h"

namespace tarnel::driver {

constexpr const char* kEncoderTranslator = "lintog729";
constexpr const char* kDecoderTranslator = "g729tolin";
constexpr int kHostFrameSamples = 2 * kFrame;  // the 20 ms a host hands a translator by default

class translator_instance {
public:
    // Null (with *error) when the module registered no such translator or would not create it.
    static std::unique_ptr<translator_instance> create(const char* name, std::string* error);
    ~translator_instance();
    translator_instance(const translator_instance&) = delete;
    translator_instance& operator=(const translator_instance&) = delete;

    // Encoder: one host frame of linear samples in; the frames frame-out returns are appended
    // to *out. False when the translator refused the frame.
    bool encode(const int16_t* samples, int count, std::vector<uint8_t>* out);

    // Decoder: one payload in as one host frame; the samples frame-out returns are appended to
    // *out, also after a refusal, since units before the bad one have been decoded and would
    // otherwise come out ahead of the next payload's. False when the translator refused it.
    bool decode(const uint8_t* payload, size_t size, std::vector<int16_t>* out);

    // Decoder: one frame for speech that never arrived, made by the codec's concealment from
    // this instance's decoder state and appended to *out. A host has no way to tell a
    // translator that a frame is missing, so this works on the private area, which for
    // g729tolin is the decoder state alone. False, with nothing changed, when the loaded
    // module's private area is not that state as this program knows it (another build).
    bool conceal(std::vector<int16_t>* out);

private:
    explicit translator_instance(hvn_trans_pvt* pvt) : pvt_(pvt) {}
    // Feeds one frame and appends what frame-out returns: coded bytes, or linear samples.
    template <typename T>
    bool feed(hvn_frame& frame, std::vector<T>* out);
    hvn_trans_pvt* pvt_;
};

}  // namespace tarnel::driver
