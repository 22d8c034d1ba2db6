// Reading 8000 Hz mono audio in blocks, as the 16-bit samples the codec takes: from any file
// libsndfile reads, in any sample encoding, or from headerless 16-bit little-endian samples.
//
// The format is checked when the input is opened, before any audio is read. Nothing here
// resamples or mixes: another rate or channel count is refused with the sox command that
// converts it, because doing it silently would hide from the user what was actually coded.
// Samples are converted to 16 bits exactly where the encoding allows (8 and 16-bit, mu-law,
// A-law) and rounded to the nearest value and saturated otherwise (24 and 32-bit, float).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarnel::media {

// What an input holds.
struct audio_format {
    std::string container;  // e.g. "WAV (Microsoft)", "headerless"
    std::string encoding;   // e.g. "Signed 16 bit PCM", "U-Law"
    int sample_rate = 0;
    int channels = 0;
    bool exact = true;     // every sample becomes a 16-bit sample unchanged
    int64_t samples = -1;  // as announced; -1 when unknown until the end
};

class pcm_reader {
public:
    pcm_reader();
    ~pcm_reader();
    pcm_reader(const pcm_reader&) = delete;
    pcm_reader& operator=(const pcm_reader&) = delete;

    // Opens `path` ("-" for standard input) and checks its format; headerless samples when
    // `raw` is set or the name ends in ".raw". False, with error() set, for an input that
    // cannot be read or coded as it is: missing, empty, damaged, of another rate or channel
    // count.
    bool open(const std::string& path, bool raw);

    // Up to `count` samples. Fewer only at the end of the input, where a truncated or damaged
    // file or a read failure is reported through error().
    size_t read(int16_t* samples, size_t count);

    const audio_format& format() const;
    // How much of the input has been read, 0 to 1; negative when its length is unknown.
    double progress() const;
    const std::string& label() const;
    const std::string& error() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

// True when the name ends in ".raw" (any case): such files hold headerless samples.
bool names_raw_file(const std::string& path);

}  // namespace tarnel::media
