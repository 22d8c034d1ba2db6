// Audio files for the command-line tool: 8000 Hz mono 16-bit, as WAV (or any container
// libsndfile reads) or headerless little-endian samples.
//
// Nothing here prints, exits or resamples: input the codec cannot take as it is is refused with
// a hint on how to convert it, because silently resampling or mixing down would hide from the
// user what was actually coded. Errors are one line each, as in file_io.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/file_io.h"

namespace tarnel::media {

struct pcm_result : io_status {
    std::vector<int16_t> samples;
};

// True when the name ends in ".raw" (any case): such files hold headerless samples.
bool names_raw_file(const std::string& path);

// Reads 8000 Hz mono 16-bit audio. "-" reads standard input. Headerless 16-bit little-endian
// samples when force_raw is set or the name ends in ".raw"; otherwise any container libsndfile
// recognises. An empty, truncated or header-only file is an error, as is any other rate,
// channel count or sample format.
pcm_result read_pcm(const std::string& path, bool force_raw);

// Writes 8000 Hz mono 16-bit audio: a WAV file, or headerless samples when raw is set or the
// name ends in ".raw"; as write_output writes ("-" to stdout_fd, other names replaced whole).
io_status write_pcm(const std::string& path, const std::vector<int16_t>& samples, bool raw,
                    int stdout_fd = STDOUT_FILENO);

// The samples as headerless 16-bit little-endian bytes.
std::vector<uint8_t> pcm_image(const std::vector<int16_t>& samples);

// The bytes of a canonical 44-byte-header PCM WAV file at 8000 Hz mono 16-bit. Fails (empty
// vector) only when the samples exceed what a WAV header can describe.
std::vector<uint8_t> wav_image(const std::vector<int16_t>& samples);

}  // namespace tarnel::media
