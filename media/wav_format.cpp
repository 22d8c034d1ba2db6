#include "media/wav_format.h"

#include <cstring>

#include "dsp/frame.h"
#include "media/byte_order.h"

namespace tarnel::media {

namespace {

constexpr size_t kChunkHeader = 8;
constexpr size_t kFormatFields = 16;  // tag, channels, rate, byte rate, block align, bits

std::string check_sizes(const wav_layout& w, int64_t file_size) {
    if (w.streamed()) return "";
    const bool known_end = file_size >= 0;
    const uint64_t available = known_end && static_cast<uint64_t>(file_size) > w.data_offset
                                   ? static_cast<uint64_t>(file_size) - w.data_offset
                                   : 0;
    if (!w.has_format || !w.sample_frames()) {
        if (known_end && w.data_size > available)
            return "truncated (the header announces " + std::to_string(w.data_size) +
                   " bytes of audio, the file holds " + std::to_string(available) + ")";
        return "";
    }
    if (known_end && w.data_size > available)
        return "truncated (the header announces " + std::to_string(w.data_size / w.block_align) +
               " samples, the file holds " + std::to_string(available / w.block_align) + ")";
    if (w.data_size % w.block_align != 0)
        return "damaged (the audio data ends in the middle of a sample)";
    return "";
}

}  // namespace

std::array<uint8_t, kWavHeaderBytes> wav_header(uint32_t data_bytes) {
    std::array<uint8_t, kWavHeaderBytes> out{};
    uint8_t* h = out.data();
    std::memcpy(h, "RIFF", 4);
    put_le32(h + 4, 36 + data_bytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put_le32(h + 16, kFormatFields);
    put_le16(h + 20, 1);  // integer PCM
    put_le16(h + 22, 1);  // channels
    put_le32(h + 24, kSampleRate);
    put_le32(h + 28, kSampleRate * 2);  // bytes per second
    put_le16(h + 32, 2);                // bytes per sample frame
    put_le16(h + 34, 16);               // bits per sample
    std::memcpy(h + 36, "data", 4);
    put_le32(h + 40, data_bytes);
    return out;
}

bool wav_layout::sample_frames() const {
    const bool per_sample = format_tag == 1 || format_tag == 3 || format_tag == 6 ||
                            format_tag == 7 || format_tag == 0xFFFE;
    return per_sample && bits > 0 && block_align > 0 && block_align == channels * ((bits + 7) / 8);
}

bool starts_like_wav(const uint8_t* head, size_t size) {
    return size >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
}

std::string read_wav_layout(const read_at_fn& read_at, int64_t file_size, wav_layout* layout) {
    uint64_t pos = 12;
    uint8_t head[kChunkHeader];
    while (read_at(pos, head, kChunkHeader) == kChunkHeader) {
        const uint32_t size = le32(head + 4);
        if (std::memcmp(head, "data", 4) == 0) {
            layout->data_offset = pos + kChunkHeader;
            layout->data_size = size;
            return check_sizes(*layout, file_size);
        }
        if (std::memcmp(head, "fmt ", 4) == 0) {
            uint8_t f[kFormatFields];
            if (size < kFormatFields ||
                read_at(pos + kChunkHeader, f, kFormatFields) < kFormatFields)
                break;
            layout->format_tag = le16(f);
            layout->channels = le16(f + 2);
            layout->block_align = le16(f + 12);
            layout->bits = le16(f + 14);
            layout->has_format = true;
        }
        const uint64_t next = pos + kChunkHeader + size + (size & 1u);
        if (file_size >= 0 && next > static_cast<uint64_t>(file_size)) break;
        pos = next;
    }
    return "truncated or damaged WAV file (no complete audio data chunk)";
}

}  // namespace tarnel::media
