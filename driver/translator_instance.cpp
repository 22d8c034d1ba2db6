#include "driver/translator_instance.h"

#include <cstring>

#include "codec/decoder.h"

namespace tarnel::driver {

std::unique_ptr<translator_instance> translator_instance::create(const char* name,
                                                                 std::string* error) {
    if (!hvn_translator_find(name)) {
        *error = std::string("the module registered no translator '") + name + "'";
        return nullptr;
    }
    hvn_trans_pvt* pvt = hvn_trans_instance_new(name);
    if (!pvt) {
        *error = std::string("the host could not create a '") + name + "' translator instance";
        return nullptr;
    }
    return std::unique_ptr<translator_instance>(new translator_instance(pvt));
}

translator_instance::~translator_instance() { hvn_trans_instance_destroy(pvt_); }

template <typename T>
bool translator_instance::feed(hvn_frame& frame, std::vector<T>* out) {
    frame.frametype = HVN_FRAME_VOICE;
    frame.src = "tarnel";
    const bool accepted = hvn_trans_instance_feed(pvt_, &frame) == 0;
    if (const hvn_frame* r = hvn_trans_instance_read(pvt_)) {
        const auto* data = static_cast<const T*>(r->data);
        const int count = sizeof(T) == 1 ? r->datalen : r->samples;
        if (data && count > 0) out->insert(out->end(), data, data + count);
    }
    return accepted;
}

bool translator_instance::encode(const int16_t* samples, int count, std::vector<uint8_t>* out) {
    hvn_frame f{};
    f.format = hvn_format_slin;
    f.datalen = count * static_cast<int>(sizeof(int16_t));
    f.samples = count;
    f.data = const_cast<int16_t*>(samples);
    return feed(f, out);
}

bool translator_instance::decode(const uint8_t* payload, size_t size, std::vector<int16_t>* out) {
    hvn_frame f{};
    f.format = hvn_format_g729;
    f.datalen = static_cast<int>(size);
    // What the payload would decode to if well formed; the decoder counts its units itself.
    const size_t units = size / kSpeechFrameBytes + (size % kSpeechFrameBytes == kSidFrameBytes);
    f.samples = static_cast<int>(units < 100000 ? units * kFrame : 0);
    f.data = const_cast<uint8_t*>(payload);
    return feed(f, out);
}

bool translator_instance::conceal(std::vector<int16_t>* out) {
    const hvn_translator& t = *pvt_->t;
    if (std::strcmp(t.name, kDecoderTranslator) != 0 ||
        t.desc_size != static_cast<int>(sizeof(g729_decoder_state)))
        return false;
    int16_t pcm[kFrame];
    g729_conceal_frame(static_cast<g729_decoder_state*>(pvt_->pvt), pcm);
    out->insert(out->end(), pcm, pcm + kFrame);
    return true;
}

}  // namespace tarnel::driver
