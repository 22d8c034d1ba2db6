// Whole audio files at once, for what needs a signal entire (the benchmark's input, a test's
// expectations, a capture's streams), on the block readers and writers of pcm_reader.h and
// pcm_writer.h, so the formats and the checks are the same.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "media/file_io.h"
#include "media/pcm_reader.h"
#include "media/pcm_writer.h"

namespace tarnel::media {

struct pcm_result : io_status {
    std::vector<int16_t> samples;
};

// Reads a whole input as pcm_reader reads it.
pcm_result read_pcm(const std::string& path, bool force_raw);

// Writes a WAV file whose header gives the exact length, or headerless samples when raw is
// set or the name ends in ".raw"; as output_file writes ("-" to stdout_fd).
io_status write_pcm(const std::string& path, const std::vector<int16_t>& samples, bool raw,
                    int stdout_fd = STDOUT_FILENO);

// The samples as headerless 16-bit little-endian bytes.
std::vector<uint8_t> pcm_image(const std::vector<int16_t>& samples);

// The bytes of a complete 8000 Hz mono 16-bit WAV file, its header announcing the exact size.
// Fails (empty vector) only when the samples exceed what a WAV header can describe.
std::vector<uint8_t> wav_image(const std::vector<int16_t>& samples);

}  // namespace tarnel::media
