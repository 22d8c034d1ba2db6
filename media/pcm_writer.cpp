#include "media/pcm_writer.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "dsp/frame.h"
#include "media/byte_order.h"
#include "media/file_io.h"
#include "media/pcm_reader.h"
#include "media/wav_format.h"

namespace tarnel::media {

namespace {

struct named_format {
    const char* extension;
    int format;
    const char* name;
};

// What libsndfile writes for each extension; those the installed library cannot write at
// 8000 Hz mono are left out of the choices when asked.
constexpr named_format kLibraryFormats[] = {
    {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "FLAC"},
    {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "AIFF"},
    {"aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "AIFF"},
    {"au", SF_FORMAT_AU | SF_FORMAT_PCM_16, "AU"},
    {"snd", SF_FORMAT_AU | SF_FORMAT_PCM_16, "AU"},
    {"caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, "CAF"},
    {"w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, "Wave64"},
    {"rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, "RF64"},
    {"sph", SF_FORMAT_NIST | SF_FORMAT_PCM_16, "NIST SPHERE"},
    {"voc", SF_FORMAT_VOC | SF_FORMAT_PCM_16, "VOC"},
    {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis"},
    {"oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis"},
    {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, "Ogg Opus"},
    {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "MP3"},
};

// Names of linear or coded audio that is not written here, and not G.729 frames either.
constexpr const char* kOtherAudioExtensions[] = {"pcm", "sln", "ul",  "al",   "gsm", "amr",
                                                 "m4a", "aac", "wma", "webm", "mka"};

constexpr size_t kConvertBlock = 2048;  // samples put into bytes at a time
constexpr double kMaxWavHours =
    static_cast<double>(kStreamedSizeFloor) / (2.0 * kSampleRate * 3600.0);

// The lower-case extension of the file name, empty when there is none.
std::string extension_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = base.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == base.size()) return "";
    std::string ext = base.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool library_writes(const named_format& f) {
    SF_INFO info{};
    info.samplerate = kSampleRate;
    info.channels = 1;
    info.format = f.format;
    return sf_format_check(&info) != 0;
}

}  // namespace

bool output_format_for(const std::string& path, bool raw, output_format* format,
                       std::string* error) {
    *format = output_format{};
    if (raw || names_raw_file(path)) {
        format->container = pcm_container::kHeaderless;
        format->name = "headerless";
        return true;
    }
    const std::string ext = path == "-" ? "" : extension_of(path);
    if (ext.empty() || ext == "wav") return true;
    for (const named_format& f : kLibraryFormats) {
        if (ext == f.extension && library_writes(f)) {
            format->container = pcm_container::kLibrary;
            format->library_format = f.format;
            format->name = f.name;
            return true;
        }
    }
    *error = output_label(path) + ": cannot write ." + ext +
             " files; name the output with one of " + writable_extensions();
    return false;
}

std::string writable_extensions() {
    std::string list = ".wav, .raw";
    for (const named_format& f : kLibraryFormats)
        if (library_writes(f)) list += std::string(", .") + f.extension;
    return list;
}

bool names_audio_file(const std::string& path) {
    const std::string ext = extension_of(path);
    if (ext == "wav" || ext == "raw") return true;
    for (const named_format& f : kLibraryFormats)
        if (ext == f.extension) return true;
    for (const char* other : kOtherAudioExtensions)
        if (ext == other) return true;
    return false;
}

struct pcm_writer::state {
    output_file out;
    output_format format;
    SNDFILE* sf = nullptr;
    uint64_t data_bytes = 0;
    std::array<uint8_t, 2 * kConvertBlock> bytes{};
    std::string error;

    ~state() {
        if (sf) sf_close(sf);
    }
    bool fail(const std::string& problem) {
        error = out.label() + ": " + problem;
        return false;
    }
    bool fail_output() {
        error = out.error();
        return false;
    }
};

pcm_writer::pcm_writer() : state_(new state) {}
pcm_writer::~pcm_writer() = default;

bool pcm_writer::open(const std::string& path, const output_format& format, int stdout_fd) {
    state& s = *state_;
    s.format = format;
    if (!s.out.open(path, stdout_fd)) return s.fail_output();
    if (format.container == pcm_container::kWav) {
        const auto header = wav_header(kStreamedWavDataSize);
        return s.out.write(header.data(), header.size()) || s.fail_output();
    }
    if (format.container == pcm_container::kLibrary) {
        SF_INFO info{};
        info.samplerate = kSampleRate;
        info.channels = 1;
        info.format = format.library_format;
        s.sf = sf_open_fd(s.out.fd(), SFM_WRITE, &info, SF_FALSE);
        if (!s.sf)
            return s.fail(std::string("cannot write ") + format.name + " there (" +
                          one_line(sf_strerror(nullptr)) + ")");
    }
    return true;
}

bool pcm_writer::write(const int16_t* samples, size_t count) {
    state& s = *state_;
    if (!s.error.empty()) return false;
    if (s.sf) {
        if (sf_writef_short(s.sf, samples, static_cast<sf_count_t>(count)) ==
            static_cast<sf_count_t>(count))
            return true;
        return s.fail("write failed (" + one_line(sf_strerror(s.sf)) + ")");
    }
    // A file's header is completed at the end and must describe every byte; a stream's
    // announces "until the end" anyway.
    if (s.format.container == pcm_container::kWav && s.out.seekable() &&
        s.data_bytes + 2 * count >= kStreamedSizeFloor) {
        char limit[160];
        std::snprintf(limit, sizeof limit,
                      "too long for a WAV file (%.0f hours at most); name the output .raw, .w64 "
                      "or .rf64",
                      kMaxWavHours);
        return s.fail(limit);
    }
    while (count > 0) {
        const size_t n = std::min(count, kConvertBlock);
        for (size_t i = 0; i < n; ++i) put_le16(&s.bytes[2 * i], static_cast<uint16_t>(samples[i]));
        if (!s.out.write(s.bytes.data(), 2 * n)) return s.fail_output();
        s.data_bytes += 2 * n;
        samples += n;
        count -= n;
    }
    return true;
}

bool pcm_writer::finish() {
    state& s = *state_;
    if (!s.error.empty()) return false;
    if (s.sf) {
        const int err = sf_close(s.sf);
        s.sf = nullptr;
        if (err != 0) return s.fail("write failed (" + one_line(sf_error_number(err)) + ")");
    }
    if (s.format.container == pcm_container::kWav && s.out.seekable()) {
        const auto header = wav_header(static_cast<uint32_t>(s.data_bytes));
        if (!s.out.write_at(0, header.data(), header.size())) return s.fail_output();
    }
    return s.out.commit() || s.fail_output();
}

const std::string& pcm_writer::error() const { return state_->error; }

}  // namespace tarnel::media
