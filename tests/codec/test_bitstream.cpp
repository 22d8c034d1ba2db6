#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "codec/bitstream.h"

using namespace tarnel;

namespace {

constexpr int kWidths[12] = {0, 8, 10, 8, 1, 13, 4, 7, 5, 13, 4, 7};

g729_params unpack_speech(const uint8_t* bytes) {
    g729_params p;
    g729_unpack_frame(&p, bytes, kFrameTypeSpeech);
    return p;
}

}  // namespace

TEST(PitchParity, OnlyTheSixHighBitsCount) {
    EXPECT_EQ(1, g729_pitch_parity(0));
    EXPECT_EQ(0, g729_pitch_parity(4));
    EXPECT_EQ(1, g729_pitch_parity(3));
    EXPECT_EQ(1, g729_pitch_parity(0xFC));  // six set bits: even count
    for (int p1 = 0; p1 < 256; ++p1) {
        EXPECT_EQ(0, g729_check_pitch_parity(p1, g729_pitch_parity(p1)));
        EXPECT_EQ(1, g729_check_pitch_parity(p1, 1 - g729_pitch_parity(p1)));
    }
}

TEST(Unpack, UniformFramesGiveEveryFieldItsExtreme) {
    const struct {
        uint8_t byte;
        int expect[12];
    } cases[] = {
        {0x00, {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},  // P0 = 0 fails its parity check
        {0xFF, {0, 255, 1023, 255, 0, 8191, 15, 127, 31, 8191, 15, 127}},
    };
    for (const auto& c : cases) {
        uint8_t bytes[10];
        for (uint8_t& b : bytes) b = c.byte;
        const g729_params p = unpack_speech(bytes);
        EXPECT_EQ(kFrameTypeSpeech, p.frame_type);
        for (int s = 1; s <= 11; ++s)
            EXPECT_EQ(c.expect[s], p.slot[s]) << int{c.byte} << " slot " << s;
    }
}

TEST(Unpack, SingleFieldsLandOnTheirBits) {
    // One field at a time at all ones, the rest zero: the byte map must hold each field alone.
    for (int field = 1; field <= 11; ++field) {
        g729_params in{};
        in.slot[field] = (1 << kWidths[field]) - 1;
        uint8_t bytes[10];
        int len = 0;
        g729_pack_frame(&in, bytes, &len);
        ASSERT_EQ(10, len);
        int bits = 0;
        for (uint8_t b : bytes) bits += __builtin_popcount(b);
        EXPECT_EQ(kWidths[field], bits) << "field " << field;
        const g729_params out = unpack_speech(bytes);
        for (int s = 1; s <= 11; ++s) {
            if (s == kSlotParity) continue;
            EXPECT_EQ(s == field ? in.slot[s] : 0, out.slot[s])
                << "field " << field << " slot " << s;
        }
    }
    // Spot checks of the byte map: P0 is byte 3 bit 5, S2 straddles bytes 8 and 9.
    g729_params p0{};
    p0.slot[kSlotParity] = 1;
    uint8_t bytes[10];
    int len;
    g729_pack_frame(&p0, bytes, &len);
    EXPECT_EQ(0x20, bytes[3]);
    g729_params s2{};
    s2.slot[kSlotSign2] = 0x9;  // bits 3..1 = 100, bit 0 = 1
    g729_pack_frame(&s2, bytes, &len);
    EXPECT_EQ(0x04, bytes[8]);
    EXPECT_EQ(0x80, bytes[9]);
}

TEST(Pack, ExcessHighBitsAreDropped) {
    g729_params wide{};
    g729_params cut{};
    for (int s = 1; s <= 11; ++s) {
        wide.slot[s] = (0x5A5A5 << kWidths[s]) | (s * 3 & ((1 << kWidths[s]) - 1));
        cut.slot[s] = s * 3 & ((1 << kWidths[s]) - 1);
    }
    uint8_t a[10], b[10];
    int len;
    g729_pack_frame(&wide, a, &len);
    g729_pack_frame(&cut, b, &len);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(b[i], a[i]);
}

TEST(Pack, RoundTripOfRandomRecords) {
    std::mt19937 rng(2026);
    for (int trial = 0; trial < 1000; ++trial) {
        g729_params in{};
        in.frame_type = kFrameTypeSpeech;
        for (int s = 1; s <= 11; ++s)
            in.slot[s] = static_cast<int32_t>(rng() & ((1u << kWidths[s]) - 1));
        in.slot[kSlotParity] = g729_pitch_parity(in.slot[kSlotPitch1]);
        uint8_t bytes[10];
        int len;
        g729_pack_frame(&in, bytes, &len);
        const g729_params out = unpack_speech(bytes);
        for (int s = 1; s <= 11; ++s)
            EXPECT_EQ(s == kSlotParity ? 0 : in.slot[s], out.slot[s]) << "trial " << trial;
    }
}

TEST(UnpackSid, FieldsAndSpareBit) {
    // L0 = 1, L1 = 0b10110, L2 = 0b1001, energy = 0b01101, spare = 0 / 1.
    const uint8_t sid[2] = {0xDA, 0x5A};
    g729_params p;
    g729_unpack_frame(&p, sid, kFrameTypeSid);
    EXPECT_EQ(kFrameTypeSid, p.frame_type);
    EXPECT_EQ(1, p.slot[kSlotLsp1]);
    EXPECT_EQ(22, p.slot[kSlotLsp2]);
    EXPECT_EQ(9, p.slot[kSlotPitch1]);
    EXPECT_EQ(13, p.slot[kSlotParity]);
    const uint8_t sid_spare[2] = {0xDA, 0x5B};
    g729_params q;
    g729_unpack_frame(&q, sid_spare, kFrameTypeSid);
    for (int s = 1; s <= 4; ++s) EXPECT_EQ(p.slot[s], q.slot[s]);
}
