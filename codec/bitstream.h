// The parameter record of one frame and its packed forms: the 80-bit speech frame and the
// 15-bit SID frame.
#pragma once

#include <cstdint>

namespace tarnel {

constexpr int kFrameTypeSpeech = 1;
constexpr int kFrameTypeSid = 2;

// Slot numbers of g729_params::slot (slot 0 is unused so that the numbers read as in the
// bit layout). Speech frame meaning first, SID frame meaning after the slash.
enum : int {
    kSlotLsp1 = 1,    // L0L1, 8 bits / SID L0, 1 bit
    kSlotLsp2 = 2,    // L2L3, 10 bits / SID L1, 5 bits
    kSlotPitch1 = 3,  // P1, 8 bits / SID L2, 4 bits
    kSlotParity = 4,  // P0 (encoder) or parity check result (decoder) / SID energy, 5 bits
    kSlotCode1 = 5,   // C1, 13 bits
    kSlotSign1 = 6,   // S1, 4 bits
    kSlotGain1 = 7,   // GA1GB1, 7 bits
    kSlotPitch2 = 8,  // P2, 5 bits
    kSlotCode2 = 9,   // C2, 13 bits
    kSlotSign2 = 10,  // S2, 4 bits
    kSlotGain2 = 11,  // GA2GB2, 7 bits
};

struct g729_params {
    int32_t frame_type;  // kFrameTypeSpeech or kFrameTypeSid
    int32_t slot[12];    // slot[1..11]; each holds an unsigned field value
};

// Writes the 10 bytes of a speech frame; slot values are cut to their field widths.
void g729_pack_frame(const g729_params* params, uint8_t* out, int* out_len);

// frame_type 1 reads 10 bytes, 2 reads 2 bytes. For speech, slot 4 receives the parity
// check result, not P0.
void g729_unpack_frame(g729_params* params, const uint8_t* in, int frame_type);

int g729_pitch_parity(int p1);
int g729_check_pitch_parity(int p1, int p0);

}  // namespace tarnel
