// Audio and bitstream files for the command-line tool.
//
// Every failure comes back as a single line naming the file and the problem, ready to print
// after "tarnel: ". Nothing here prints, exits or resamples: input the codec cannot take as it is
// is refused with a hint on how to convert it, because silently resampling or mixing down would
// hide from the user what was actually coded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnel {

constexpr int kToolSampleRate = 8000;

struct pcm_result {
    std::vector<int16_t> samples;
    std::string error;  // empty on success
    bool ok() const { return error.empty(); }
};

struct bytes_result {
    std::vector<uint8_t> bytes;
    std::string error;  // empty on success
    bool ok() const { return error.empty(); }
};

struct io_status {
    std::string error;  // empty on success
    bool ok() const { return error.empty(); }
};

// True when the name ends in ".raw" (any case): such files hold headerless samples.
bool names_raw_file(const std::string& path);

// Reads 8000 Hz mono 16-bit audio. "-" reads standard input. Headerless 16-bit little-endian
// samples when force_raw is set or the name ends in ".raw"; otherwise any container libsndfile
// recognises. An empty, truncated or header-only file is an error, as is any other rate,
// channel count or sample format.
pcm_result read_pcm(const std::string& path, bool force_raw);

// Writes 8000 Hz mono 16-bit audio: a WAV file, or headerless little-endian samples when raw
// is set or the name ends in ".raw". "-" streams to standard output. Other names are replaced
// atomically (see write_bytes_atomic).
io_status write_pcm(const std::string& path, const std::vector<int16_t>& samples, bool raw);

// Reads a whole binary file; "-" reads standard input. An empty file is an error.
bytes_result read_bytes(const std::string& path);

// Writes a whole binary file. "-" streams to standard output. A regular file (or a new name) is
// written to a temporary file beside it and renamed into place only once every byte has been
// written and flushed, so a failure leaves the previous file, or no file, never a partial one.
// A device or pipe named as output (e.g. /dev/null) is written directly, never replaced.
io_status write_bytes_atomic(const std::string& path, const std::vector<uint8_t>& bytes);

// The bytes of a canonical 44-byte-header PCM WAV file at 8000 Hz mono 16-bit. Fails (empty
// vector) only when the samples exceed what a WAV header can describe.
std::vector<uint8_t> wav_file_image(const std::vector<int16_t>& samples);

}  // namespace tarnel
