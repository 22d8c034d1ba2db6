#include "media/file_kind.h"

#include <cstring>

namespace tarnel::media {

namespace {

bool starts(const uint8_t* head, size_t size, size_t at, const char* text, size_t n) {
    return size >= at + n && std::memcmp(head + at, text, n) == 0;
}

}  // namespace

file_kind identify_file(const uint8_t* head, size_t size) {
    if (starts(head, size, 0, "RIFF", 4) || starts(head, size, 0, "RIFX", 4) ||
        starts(head, size, 0, "RF64", 4)) {
        if (starts(head, size, 8, "WAVE", 4)) return file_kind::kWav;
        if (size >= 12) return file_kind::kRiff;
    }
    if (starts(head, size, 0, "fLaC", 4)) return file_kind::kFlac;
    if (starts(head, size, 0, "OggS\0", 5)) return file_kind::kOgg;
    if (starts(head, size, 0, "FORM", 4) &&
        (starts(head, size, 8, "AIFF", 4) || starts(head, size, 8, "AIFC", 4)))
        return file_kind::kAiff;
    if (starts(head, size, 0, ".snd", 4)) return file_kind::kAu;
    // pcap: the magic number in the writer's byte order, microsecond or nanosecond variant,
    // then major version 2 in the same order.
    if (starts(head, size, 0, "\xd4\xc3\xb2\xa1\x02\x00", 6) ||
        starts(head, size, 0, "\x4d\x3c\xb2\xa1\x02\x00", 6) ||
        starts(head, size, 0, "\xa1\xb2\xc3\xd4\x00\x02", 6) ||
        starts(head, size, 0, "\xa1\xb2\x3c\x4d\x00\x02", 6))
        return file_kind::kPcap;
    // pcapng: a section header block, whose byte-order magic follows its length.
    if (starts(head, size, 0, "\x0a\x0d\x0d\x0a", 4) &&
        (starts(head, size, 8, "\x4d\x3c\x2b\x1a", 4) ||
         starts(head, size, 8, "\x1a\x2b\x3c\x4d", 4)))
        return file_kind::kPcapng;
    return file_kind::kUnknown;
}

const char* describe(file_kind kind) {
    switch (kind) {
        case file_kind::kWav:
            return "a WAV file";
        case file_kind::kRiff:
            return "a RIFF file";
        case file_kind::kFlac:
            return "a FLAC file";
        case file_kind::kOgg:
            return "an Ogg file";
        case file_kind::kAiff:
            return "an AIFF file";
        case file_kind::kAu:
            return "an AU file";
        case file_kind::kPcap:
            return "a pcap packet capture";
        case file_kind::kPcapng:
            return "a pcapng packet capture";
        case file_kind::kUnknown:
            break;
    }
    return "a file of unknown kind";
}

bool is_capture(file_kind kind) { return kind == file_kind::kPcap || kind == file_kind::kPcapng; }

}  // namespace tarnel::media
