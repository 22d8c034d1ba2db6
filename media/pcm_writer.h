// Writing 8000 Hz mono 16-bit audio as it is produced, in the format the output's name asks
// for: WAV for ".wav" (and for standard output or a name without an extension), headerless
// little-endian samples for ".raw", and the other formats libsndfile writes (FLAC, AIFF, AU,
// ...) from their extensions.
//
// The output is an output_file: a file is put in place only once complete, and a stream is
// handed each block as it is written. A WAV streamed where it cannot be rewound announces the
// placeholder length a pipe reader expects.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarnel::media {

enum class pcm_container { kWav, kHeaderless, kLibrary };

struct output_format {
    pcm_container container = pcm_container::kWav;
    int library_format = 0;    // libsndfile's container and encoding, for kLibrary
    const char* name = "WAV";  // for reports
};

// The format for an output named `path`: headerless when `raw` is set or the name ends in
// ".raw". False, with *error naming the choices, for an extension that cannot be written.
bool output_format_for(const std::string& path, bool raw, output_format* format,
                       std::string* error);

// The extensions output_format_for accepts, ".wav, .raw, .flac, ..." in that order.
std::string writable_extensions();

// True when the name ends in an extension of audio (".wav", ".flac", ".mp3", ...) rather than
// of coded frames.
bool names_audio_file(const std::string& path);

class pcm_writer {
public:
    pcm_writer();
    ~pcm_writer();  // without finish(): nothing is left in place of a file
    pcm_writer(const pcm_writer&) = delete;
    pcm_writer& operator=(const pcm_writer&) = delete;

    // Opens the output ("-" writes to stdout_fd). False with error() set.
    bool open(const std::string& path, const output_format& format, int stdout_fd = STDOUT_FILENO);
    // Appends samples; a stream gets them before this returns.
    bool write(const int16_t* samples, size_t count);
    // Completes the header and puts a file in place.
    bool finish();

    const std::string& error() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace tarnel::media
