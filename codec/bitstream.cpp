#include "codec/bitstream.h"

namespace tarnel {

namespace {

// Field widths of a speech frame, slot 1 to 11, in transmission order.
constexpr int kSpeechWidths[12] = {0, 8, 10, 8, 1, 13, 4, 7, 5, 13, 4, 7};

// MSB-first bit writer/reader over a byte string: bit 0 is bit 7 of byte 0.
struct bit_writer {
    uint8_t* out;
    int pos;
    void put(uint32_t value, int width) {
        for (int b = width - 1; b >= 0; --b, ++pos) {
            const uint8_t mask = static_cast<uint8_t>(0x80u >> (pos & 7));
            if ((value >> b) & 1u)
                out[pos >> 3] |= mask;
            else
                out[pos >> 3] &= static_cast<uint8_t>(~mask);
        }
    }
};

struct bit_reader {
    const uint8_t* in;
    int pos;
    int32_t get(int width) {
        uint32_t v = 0;
        for (int b = 0; b < width; ++b, ++pos) v = (v << 1) | ((in[pos >> 3] >> (7 - (pos & 7))) & 1u);
        return static_cast<int32_t>(v);
    }
};

}  // namespace

int g729_pitch_parity(int p1) {
    int count = 0;
    for (int b = 2; b <= 7; ++b) count += (p1 >> b) & 1;
    return (1 + count) & 1;
}

int g729_check_pitch_parity(int p1, int p0) {
    int count = 0;
    for (int b = 2; b <= 7; ++b) count += (p1 >> b) & 1;
    return (p0 + 1 + count) & 1;
}

void g729_pack_frame(const g729_params* params, uint8_t* out, int* out_len) {
    bit_writer w{out, 0};
    for (int s = 1; s <= 11; ++s) {
        const int width = kSpeechWidths[s];
        w.put(static_cast<uint32_t>(params->slot[s]) & ((1u << width) - 1u), width);
    }
    *out_len = 10;
}

void g729_unpack_frame(g729_params* params, const uint8_t* in, int frame_type) {
    params->frame_type = frame_type;
    params->slot[0] = 0;
    if (frame_type == kFrameTypeSpeech) {
        bit_reader r{in, 0};
        for (int s = 1; s <= 11; ++s) params->slot[s] = r.get(kSpeechWidths[s]);
        params->slot[kSlotParity] =
            g729_check_pitch_parity(params->slot[kSlotPitch1], params->slot[kSlotParity]);
        return;
    }
    // SID: L0 1 bit, L1 5 bits, L2 4 bits, energy 5 bits; bit 15 is spare.
    const uint32_t word = (static_cast<uint32_t>(in[0]) << 8) | in[1];
    params->slot[kSlotLsp1] = static_cast<int32_t>((in[0] >> 7) & 1u);
    params->slot[kSlotLsp2] = static_cast<int32_t>((in[0] >> 2) & 31u);
    params->slot[kSlotPitch1] = static_cast<int32_t>((word >> 6) & 15u);
    params->slot[kSlotParity] = static_cast<int32_t>((word >> 1) & 31u);
    for (int s = 5; s <= 11; ++s) params->slot[s] = 0;
}

}  // namespace tarnel
