// The numbers of the two capture file formats, shared by the reader and the writer.
#pragma once

#include <cstdint>

namespace tarnel::capture {

// Classic pcap: the magic number in the writer's byte order says the timestamps' unit.
constexpr uint32_t kPcapMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kPcapMagicNano = 0xA1B23C4D;
constexpr uint32_t kPcapMagicModified = 0xA1B2CD34;  // records carry 8 more bytes
constexpr uint32_t kPcapSnapLength = 65535;          // what a capture of whole frames states

// pcapng: blocks of a type and a length (repeated at the end), in sections that each start
// with a header whose marker gives the section's byte order.
constexpr uint32_t kPcapngSection = 0x0A0D0D0A;
constexpr uint32_t kPcapngByteOrder = 0x1A2B3C4D;
constexpr uint32_t kBlockInterface = 1;
constexpr uint32_t kBlockPacketObsolete = 2;
constexpr uint32_t kBlockSimplePacket = 3;
constexpr uint32_t kBlockEnhancedPacket = 6;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionTsResolution = 9;
constexpr uint16_t kOptionTsOffset = 14;
constexpr uint32_t kPcapngSnapLength = 262144;  // what capture tools state for whole frames

}  // namespace tarnel::capture
