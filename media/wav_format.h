// The WAV container as this system writes it and checks it: the canonical 44-byte header of
// 8000 Hz mono 16-bit PCM, and the layout of a WAV file's chunks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tarnel::media {

constexpr size_t kWavHeaderBytes = 44;

// Writers that cannot seek back (a WAV streamed down a pipe) leave a placeholder data size in
// the header: 0xFFFFFFFF, or a value just under 2 GiB. Such a size says "until end of file"
// rather than promising that many bytes, so it cannot be taken as evidence of truncation, and
// no complete file written here announces that much.
constexpr uint32_t kStreamedSizeFloor = 0x7FFF0000u;
// What this system announces when it streams a WAV, as sox does.
constexpr uint32_t kStreamedWavDataSize = 0x7FFFF000u;

// The header of an 8000 Hz mono 16-bit PCM WAV file holding `data_bytes` bytes of samples.
std::array<uint8_t, kWavHeaderBytes> wav_header(uint32_t data_bytes);

// Where a WAV file's audio lies and how it is cut into samples, as its chunks say.
struct wav_layout {
    uint16_t format_tag = 0;  // 1 integer PCM, 3 float, 6 A-law, 7 mu-law, 0xFFFE extensible
    uint16_t channels = 0;
    uint16_t block_align = 0;  // bytes per sample frame (per block for compressed audio)
    uint16_t bits = 0;
    bool has_format = false;
    uint64_t data_offset = 0;  // of the first byte of audio
    uint32_t data_size = 0;    // as announced

    bool streamed() const { return data_size >= kStreamedSizeFloor; }
    // One block per sample frame: PCM, float, A-law or mu-law, so sizes convert to samples.
    bool sample_frames() const;
};

// Reads up to `size` bytes at `offset` into `out`; the count read.
using read_at_fn = std::function<size_t(uint64_t offset, uint8_t* out, size_t size)>;

// True when the first 12 bytes say RIFF/WAVE.
bool starts_like_wav(const uint8_t* head, size_t size);

// Walks the chunks up to the audio data. `file_size` is the input's size, or negative when it
// is a stream of unknown length. Empty when the layout is sound; otherwise the problem,
// "truncated ..." or "damaged ...", to follow the file's name.
std::string read_wav_layout(const read_at_fn& read_at, int64_t file_size, wav_layout* layout);

}  // namespace tarnel::media
