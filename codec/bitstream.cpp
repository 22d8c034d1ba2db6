#include "codec/bitstream.h"

namespace tarnel {

namespace {

// Field widths of a speech frame, slot 1 to 11, in transmission order.
constexpr int kSpeechWidths[12] = {0, 8, 10, 8, 1, 13, 4, 7, 5, 13, 4, 7};

// The 80 bits of a speech frame, transmitted MSB first (bit 0 is bit 7 of byte 0), as two
// overlapping words: `head` holds bits 0..63, `tail` bits 16..79. Every field lies whole in
// one of them, so each is one shift and one mask.
constexpr int kSpeechBits = 80;
constexpr int kWordBits = 64;
constexpr int kTailStart = kSpeechBits - kWordBits;  // the first bit `tail` holds

struct field_place {
    int word;   // 0: head, 1: tail
    int shift;  // of the field's last bit from the word's least significant end
};

struct field_places {
    field_place slot[12];
};

constexpr field_places place_fields() {
    field_places p{};
    int offset = 0;
    for (int s = 1; s <= 11; ++s) {
        const int end = offset + kSpeechWidths[s];
        p.slot[s] =
            end <= kWordBits ? field_place{0, kWordBits - end} : field_place{1, kSpeechBits - end};
        offset = end;
    }
    return p;
}

constexpr field_places kPlaces = place_fields();

uint64_t load_big_endian(const uint8_t* in) {
    return uint64_t{in[0]} << 56 | uint64_t{in[1]} << 48 | uint64_t{in[2]} << 40 |
           uint64_t{in[3]} << 32 | uint64_t{in[4]} << 24 | uint64_t{in[5]} << 16 |
           uint64_t{in[6]} << 8 | uint64_t{in[7]};
}

void store_big_endian(uint64_t v, uint8_t* out, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) out[i] = static_cast<uint8_t>(v);
}

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
    uint64_t word[2] = {0, 0};
#pragma GCC unroll 11
    for (int s = 1; s <= 11; ++s) {
        const int width = kSpeechWidths[s];
        const uint64_t value = static_cast<uint32_t>(params->slot[s]) & ((1u << width) - 1u);
        word[kPlaces.slot[s].word] |= value << kPlaces.slot[s].shift;
    }
    // The head also carries what the tail's fields have in bits 16..63.
    word[0] |= word[1] >> kTailStart;
    store_big_endian(word[0], out, 8);
    store_big_endian(word[1], out + 8, 2);
    *out_len = 10;
}

void g729_unpack_frame(g729_params* params, const uint8_t* in, int frame_type) {
    params->frame_type = frame_type;
    params->slot[0] = 0;
    if (frame_type == kFrameTypeSpeech) {
        const uint64_t word[2] = {load_big_endian(in), load_big_endian(in + 2)};
#pragma GCC unroll 11
        for (int s = 1; s <= 11; ++s) {
            const field_place f = kPlaces.slot[s];
            const uint64_t mask = (uint64_t{1} << kSpeechWidths[s]) - 1u;
            params->slot[s] = static_cast<int32_t>((word[f.word] >> f.shift) & mask);
        }
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
