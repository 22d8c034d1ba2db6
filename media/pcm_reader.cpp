#include "media/pcm_reader.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/frame.h"
#include "media/byte_order.h"
#include "media/file_io.h"
#include "media/file_kind.h"
#include "media/wav_format.h"

namespace tarnel::media {

namespace {

// A pipe cannot be rewound, yet libsndfile reads a header, goes back to the start and reads it
// again: the first bytes of a pipe are kept so that it can. Headers are far shorter.
constexpr size_t kRewindBytes = size_t{1} << 18;
// The length libsndfile is told a pipe has when nothing says where its audio ends.
constexpr int64_t kUnknownLength = int64_t{1} << 62;
constexpr size_t kConvertBlock = 1024;  // samples converted at a time
// libsndfile gives samples in [-1, 1) in units of 1/32768, whatever their encoding.
constexpr double kFullScale = 32768.0;

// Single-quotes a name for the conversion hint when the shell would otherwise split or expand it.
std::string shell_word(const std::string& s) {
    const bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr("/._-+,:@%", c) != nullptr;
    });
    if (plain) return s;
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string format_name(int format) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || !info.name)
        return "unknown";
    return info.name;
}

// Encodings with more resolution than 16 bits, or decoded to floating point.
bool rounds_to_16_bits(int subformat) {
    switch (subformat) {
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
        case SF_FORMAT_DWVW_24:
        case SF_FORMAT_DWVW_N:
        case SF_FORMAT_ALAC_20:
        case SF_FORMAT_ALAC_24:
        case SF_FORMAT_ALAC_32:
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            return true;
        default:
            return false;
    }
}

// Nearest 16-bit value, saturated; what is not a number is silence.
int16_t to_16_bits(double v) {
    const double scaled = v * kFullScale;
    if (std::isnan(scaled)) return 0;
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    return static_cast<int16_t>(std::nearbyint(scaled));
}

}  // namespace

struct pcm_reader::state {
    input_file in;
    bool raw = false;
    audio_format format;
    std::string error;
    SNDFILE* sf = nullptr;
    uint64_t samples_read = 0;
    uint64_t raw_bytes = 0;
    bool ended = false;
    std::array<double, kConvertBlock> convert{};

    // A pipe as libsndfile sees it: `pos` is where it reads next, `consumed` how much has been
    // taken from the pipe, the first kRewindBytes of which are in `kept`. A seek forward is
    // only noted; the bytes in between are skipped when a read gets there.
    std::vector<uint8_t> kept;
    uint64_t pos = 0;
    uint64_t consumed = 0;
    int64_t length = kUnknownLength;
    bool rewind_failed = false;

    ~state() {
        if (sf) sf_close(sf);
    }

    size_t take(uint8_t* out, size_t size) {
        const size_t got = in.read(out, size);
        if (consumed < kRewindBytes)
            kept.insert(kept.end(), out, out + std::min<uint64_t>(got, kRewindBytes - consumed));
        consumed += got;
        return got;
    }

    bool pipe_seek(uint64_t target) {
        if (target < consumed && consumed > kept.size()) {
            rewind_failed = true;
            return false;
        }
        pos = target;
        return true;
    }

    size_t pipe_read(uint8_t* out, size_t size) {
        if (pos >= static_cast<uint64_t>(length)) return 0;
        size = static_cast<size_t>(std::min<uint64_t>(size, static_cast<uint64_t>(length) - pos));
        size_t done = 0;
        if (pos < consumed) {
            done = static_cast<size_t>(std::min<uint64_t>(size, consumed - pos));
            std::memcpy(out, kept.data() + pos, done);
        }
        uint8_t skip[4096];
        while (consumed < pos) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof skip, pos - consumed));
            if (take(skip, n) < n) return 0;
        }
        if (done < size) done += take(out + done, size - done);
        pos += done;
        return done;
    }

    size_t read_at(uint64_t offset, uint8_t* out, size_t size) {
        if (in.seekable()) return in.seek(offset) ? in.read(out, size) : 0;
        return pipe_seek(offset) ? pipe_read(out, size) : 0;
    }

    // libsndfile's virtual I/O: the file itself when it can seek, the pipe as above otherwise.
    static sf_count_t vio_length(void* user) {
        const auto* s = static_cast<state*>(user);
        return s->in.seekable() ? s->in.size() : s->length;
    }
    static sf_count_t vio_tell(void* user) {
        const auto* s = static_cast<state*>(user);
        return static_cast<sf_count_t>(s->in.seekable() ? s->in.position() : s->pos);
    }
    static sf_count_t vio_seek(sf_count_t offset, int whence, void* user) {
        auto* s = static_cast<state*>(user);
        const sf_count_t base = whence == SEEK_CUR   ? vio_tell(user)
                                : whence == SEEK_END ? vio_length(user)
                                                     : 0;
        const sf_count_t target = base + offset;
        if (target < 0) return -1;
        const bool moved = s->in.seekable() ? s->in.seek(static_cast<uint64_t>(target))
                                            : s->pipe_seek(static_cast<uint64_t>(target));
        return moved ? target : -1;
    }
    static sf_count_t vio_read(void* out, sf_count_t count, void* user) {
        auto* s = static_cast<state*>(user);
        auto* bytes = static_cast<uint8_t*>(out);
        const auto size = static_cast<size_t>(std::max<sf_count_t>(count, 0));
        return static_cast<sf_count_t>(s->in.seekable() ? s->in.read(bytes, size)
                                                        : s->pipe_read(bytes, size));
    }
    static sf_count_t vio_write(const void*, sf_count_t, void*) { return 0; }

    bool fail(const std::string& problem) {
        error = in.label() + ": " + problem;
        return false;
    }

    // The first bytes, kept, say what could not be read through the pipe.
    bool fail_rewind() {
        const file_kind kind = identify_file(kept.data(), kept.size());
        return fail(std::string(kind == file_kind::kUnknown ? "this file" : describe(kind)) +
                    " cannot be read through a pipe, as reading it means going back in it; name "
                    "the file instead");
    }

    bool open_raw();
    bool open_container(const std::string& path);
    void finish();
};

bool pcm_reader::state::open_raw() {
    format.container = "headerless";
    format.encoding = "Signed 16 bit PCM, little-endian";
    format.sample_rate = kSampleRate;
    format.channels = 1;
    if (!in.seekable()) return true;
    if (in.size() % 2 != 0)
        return fail(std::to_string(in.size()) +
                    " bytes, an odd count: headerless input must be whole 16-bit samples "
                    "(truncated file?)");
    format.samples = in.size() / 2;
    return true;
}

bool pcm_reader::state::open_container(const std::string& path) {
    const uint8_t* head = nullptr;
    const size_t have = in.peek(&head, 12);
    wav_layout wav;
    const bool is_wav = starts_like_wav(head, have);
    if (!in.seekable()) kept.reserve(kRewindBytes);
    if (is_wav) {
        // libsndfile quietly shortens a WAV whose data chunk runs past the end of the file, so
        // a file cut short by an interrupted copy would otherwise be coded as if complete.
        const std::string problem = read_wav_layout(
            [this](uint64_t at, uint8_t* out, size_t n) { return read_at(at, out, n); }, in.size(),
            &wav);
        if (!problem.empty()) return fail(problem);
        // Told where the audio ends, libsndfile does not read through a pipe looking for
        // chunks after it.
        if (!in.seekable()) length = static_cast<int64_t>(wav.data_offset + wav.data_size);
    }
    if (in.seekable() ? !in.seek(0) : !pipe_seek(0))
        return fail("the header is too long to be read from a pipe; name the file instead");

    SF_VIRTUAL_IO io{vio_length, vio_seek, vio_read, vio_write, vio_tell};
    SF_INFO info{};
    sf = sf_open_virtual(&io, SFM_READ, &info, this);
    if (!sf) {
        if (rewind_failed) return fail_rewind();
        return fail("not an audio file that can be read (" + one_line(sf_strerror(nullptr)) +
                    "); headerless 16-bit samples need a name ending in .raw");
    }
    const int subformat = info.format & SF_FORMAT_SUBMASK;
    format.container = format_name(info.format & SF_FORMAT_TYPEMASK);
    format.encoding = format_name(subformat);
    format.sample_rate = info.samplerate;
    format.channels = info.channels;
    format.exact = !rounds_to_16_bits(subformat);
    if (info.samplerate != kSampleRate || info.channels != 1) {
        const std::string source = path == "-" ? "INPUT" : shell_word(path);
        return fail(std::to_string(info.samplerate) + " Hz, " + std::to_string(info.channels) +
                    (info.channels == 1 ? " channel" : " channels") +
                    "; tarnel needs 8000 Hz mono (convert with: sox " + source +
                    " -r 8000 -c 1 -b 16 out.wav)");
    }
    if (is_wav && wav.has_format && wav.sample_frames() && !wav.streamed())
        format.samples = wav.data_size / wav.block_align;
    else if (in.seekable() && info.frames < kUnknownLength)
        format.samples = info.frames;  // libsndfile's "unknown" is far larger
    if (format.samples == 0) return fail("holds no audio samples");
    return true;
}

void pcm_reader::state::finish() {
    ended = true;
    if (!in.error().empty()) {
        error = in.error();
    } else if (raw && raw_bytes % 2 != 0) {
        fail(std::to_string(raw_bytes) +
             " bytes, an odd count: headerless input must be whole 16-bit samples (truncated "
             "file?)");
    } else if (sf && sf_error(sf) != SF_ERR_NO_ERROR) {
        fail("read error (" + one_line(sf_strerror(sf)) + ")");
    } else if (rewind_failed) {
        fail_rewind();
    } else if (format.samples >= 0 && samples_read < static_cast<uint64_t>(format.samples)) {
        fail("truncated (the header announces " + std::to_string(format.samples) +
             " samples, the file holds " + std::to_string(samples_read) + ")");
    } else if (samples_read == 0) {
        fail("holds no audio samples");
    }
}

pcm_reader::pcm_reader() : state_(new state) {}
pcm_reader::~pcm_reader() = default;

bool pcm_reader::open(const std::string& path, bool raw) {
    state& s = *state_;
    if (!s.in.open(path)) {
        s.error = s.in.error();
        return false;
    }
    const uint8_t* head = nullptr;
    if (s.in.peek(&head, 1) == 0) {
        if (!s.in.error().empty()) {
            s.error = s.in.error();
            return false;
        }
        return s.fail(path == "-" ? "no data" : "empty file");
    }
    s.raw = raw || names_raw_file(path);
    return s.raw ? s.open_raw() : s.open_container(path);
}

size_t pcm_reader::read(int16_t* samples, size_t count) {
    state& s = *state_;
    if (s.ended || !s.error.empty() || count == 0) return 0;
    size_t done = 0;
    if (s.raw) {
        // Read as bytes into the samples' own storage, then put each in the machine's order.
        auto* bytes = reinterpret_cast<uint8_t*>(samples);
        const size_t got = s.in.read(bytes, 2 * count);
        s.raw_bytes += got;
        done = got / 2;
        for (size_t i = 0; i < done; ++i) samples[i] = static_cast<int16_t>(le16(bytes + 2 * i));
    } else {
        while (done < count) {
            const size_t n = std::min(count - done, kConvertBlock);
            const sf_count_t got =
                sf_readf_double(s.sf, s.convert.data(), static_cast<sf_count_t>(n));
            const size_t g = got > 0 ? static_cast<size_t>(got) : 0;
            for (size_t i = 0; i < g; ++i) samples[done + i] = to_16_bits(s.convert[i]);
            done += g;
            if (g < n) break;
        }
    }
    s.samples_read += done;
    if (done < count) s.finish();
    return done;
}

const audio_format& pcm_reader::format() const { return state_->format; }

double pcm_reader::progress() const {
    const input_file& in = state_->in;
    if (!in.seekable() || in.size() <= 0) return -1.0;
    return std::min(1.0, static_cast<double>(in.position()) / static_cast<double>(in.size()));
}

const std::string& pcm_reader::label() const { return state_->in.label(); }
const std::string& pcm_reader::error() const { return state_->error; }

bool names_raw_file(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".raw";
}

}  // namespace tarnel::media
