// What a file's first bytes say it is, so that an input handed to the wrong command is refused
// with a hint rather than decoded into noise: audio containers and packet captures start with
// signatures that coded frames would match only by a one-in-billions chance.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnel::media {

enum class file_kind { kUnknown, kWav, kRiff, kFlac, kOgg, kAiff, kAu, kPcap, kPcapng };

// How many leading bytes identify_file looks at.
constexpr size_t kFileKindBytes = 12;

file_kind identify_file(const uint8_t* head, size_t size);

// "a WAV file", "a pcapng packet capture", ...
const char* describe(file_kind kind);

bool is_capture(file_kind kind);

}  // namespace tarnel::media
