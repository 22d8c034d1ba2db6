#include "media/audio_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "dsp/frame.h"
#include "media/byte_order.h"

namespace tarnel::media {

namespace {

// Writers that cannot seek back (a WAV streamed down a pipe) leave a placeholder data size in
// the header: 0xFFFFFFFF, or a value just under 2 GiB. Such a size says "until end of file"
// rather than promising that many bytes, so it cannot be taken as evidence of truncation.
constexpr uint32_t kStreamedSizeFloor = 0x7FFF0000u;

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

// libsndfile quietly shortens a WAV whose data chunk runs past the end of the file, so a file
// cut short by an interrupted copy would otherwise be coded as if it were complete.
std::string check_wav_complete(const std::string& name, const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return "";
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const uint32_t size = le32(bytes.data() + pos + 4);
        const size_t available = bytes.size() - (pos + 8);
        if (std::memcmp(bytes.data() + pos, "data", 4) == 0) {
            if (size >= kStreamedSizeFloor) return "";
            if (size > available)
                return name + ": truncated (the header announces " + std::to_string(size / 2) +
                       " samples, the file holds " + std::to_string(available / 2) + ")";
            if (size % 2 != 0)
                return name + ": damaged (the audio data ends in the middle of a sample)";
            return "";
        }
        if (size > available) break;
        pos += 8 + static_cast<size_t>(size) + (size & 1u);
    }
    return name + ": truncated or damaged WAV file (no complete audio data chunk)";
}

struct memory_source {
    const std::vector<uint8_t>* bytes;
    sf_count_t pos;
};

sf_count_t mem_length(void* user) {
    return static_cast<sf_count_t>(static_cast<memory_source*>(user)->bytes->size());
}

sf_count_t mem_seek(sf_count_t offset, int whence, void* user) {
    auto* src = static_cast<memory_source*>(user);
    const sf_count_t size = static_cast<sf_count_t>(src->bytes->size());
    sf_count_t target = offset;
    if (whence == SEEK_CUR) target = src->pos + offset;
    if (whence == SEEK_END) target = size + offset;
    if (target < 0 || target > size) return -1;
    src->pos = target;
    return src->pos;
}

sf_count_t mem_read(void* ptr, sf_count_t count, void* user) {
    auto* src = static_cast<memory_source*>(user);
    const sf_count_t size = static_cast<sf_count_t>(src->bytes->size());
    const sf_count_t n = std::max<sf_count_t>(0, std::min(count, size - src->pos));
    if (n > 0) std::memcpy(ptr, src->bytes->data() + src->pos, static_cast<size_t>(n));
    src->pos += n;
    return n;
}

sf_count_t mem_write(const void*, sf_count_t, void*) { return 0; }

sf_count_t mem_tell(void* user) { return static_cast<memory_source*>(user)->pos; }

std::string describe_encoding(int subformat) {
    switch (subformat) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: return "8-bit samples";
        case SF_FORMAT_PCM_24: return "24-bit samples";
        case SF_FORMAT_PCM_32: return "32-bit integer samples";
        case SF_FORMAT_FLOAT: return "32-bit float samples";
        case SF_FORMAT_DOUBLE: return "64-bit float samples";
        case SF_FORMAT_ULAW: return "mu-law samples";
        case SF_FORMAT_ALAW: return "A-law samples";
        default: return "compressed samples";
    }
}

pcm_result decode_raw(const std::string& name, const std::vector<uint8_t>& bytes) {
    pcm_result r;
    if (bytes.size() % 2 != 0) {
        r.error = name + ": " + std::to_string(bytes.size()) +
                  " bytes, an odd count: headerless input must be whole 16-bit samples "
                  "(truncated file?)";
        return r;
    }
    r.samples.resize(bytes.size() / 2);
    for (size_t i = 0; i < r.samples.size(); ++i)
        r.samples[i] = static_cast<int16_t>(le16(&bytes[2 * i]));
    return r;
}

pcm_result decode_container(const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string name = input_label(path);
    pcm_result r;
    r.error = check_wav_complete(name, bytes);
    if (!r.ok()) return r;

    memory_source src{&bytes, 0};
    SF_VIRTUAL_IO io{mem_length, mem_seek, mem_read, mem_write, mem_tell};
    SF_INFO info{};
    SNDFILE* sf = sf_open_virtual(&io, SFM_READ, &info, &src);
    if (!sf) {
        r.error = name + ": not an audio file that can be read (" + sf_strerror(nullptr) +
                  "); headerless 16-bit samples need a name ending in .raw";
        // libsndfile's messages may end in a full stop or a newline; keep the report one line.
        std::replace(r.error.begin(), r.error.end(), '\n', ' ');
        return r;
    }

    const int subformat = info.format & SF_FORMAT_SUBMASK;
    if (info.samplerate != kSampleRate || info.channels != 1 || subformat != SF_FORMAT_PCM_16) {
        std::string found = std::to_string(info.samplerate) + " Hz, " +
                            std::to_string(info.channels) +
                            (info.channels == 1 ? " channel" : " channels");
        if (subformat != SF_FORMAT_PCM_16) found += ", " + describe_encoding(subformat);
        const std::string source = path == "-" ? "INPUT" : shell_word(path);
        r.error = name + ": " + found + "; tarnel needs 8000 Hz mono 16-bit (convert with: sox " +
                  source + " -r 8000 -c 1 -b 16 out.wav)";
        sf_close(sf);
        return r;
    }

    std::vector<int16_t> chunk(4096);
    for (;;) {
        const sf_count_t got =
            sf_readf_short(sf, chunk.data(), static_cast<sf_count_t>(chunk.size()));
        if (got <= 0) break;
        r.samples.insert(r.samples.end(), chunk.begin(), chunk.begin() + got);
    }
    const int err = sf_error(sf);
    std::string err_text = err ? sf_strerror(sf) : "";
    sf_close(sf);
    if (err) {
        std::replace(err_text.begin(), err_text.end(), '\n', ' ');
        r.error = name + ": read error (" + err_text + ")";
        r.samples.clear();
    } else if (info.frames > 0 && static_cast<sf_count_t>(r.samples.size()) < info.frames) {
        r.error = name + ": truncated (the header announces " + std::to_string(info.frames) +
                  " samples, the file holds " + std::to_string(r.samples.size()) + ")";
        r.samples.clear();
    } else if (r.samples.empty()) {
        r.error = name + ": holds no audio samples";
    }
    return r;
}

}  // namespace

bool names_raw_file(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".raw";
}

std::vector<uint8_t> wav_image(const std::vector<int16_t>& samples) {
    constexpr size_t kHeader = 44;
    // Below the streamed-size placeholders, so that a long file we wrote is never read back as
    // one of unknown length.
    if (samples.size() * 2 >= kStreamedSizeFloor) return {};
    const uint32_t data_bytes = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> out(kHeader);
    uint8_t* h = out.data();
    std::memcpy(h, "RIFF", 4);
    put_le32(h + 4, 36 + data_bytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put_le32(h + 16, 16);  // fmt chunk size
    put_le16(h + 20, 1);   // integer PCM
    put_le16(h + 22, 1);   // channels
    put_le32(h + 24, kSampleRate);
    put_le32(h + 28, kSampleRate * 2);  // bytes per second
    put_le16(h + 32, 2);                // bytes per sample frame
    put_le16(h + 34, 16);               // bits per sample
    std::memcpy(h + 36, "data", 4);
    put_le32(h + 40, data_bytes);
    const std::vector<uint8_t> body = pcm_image(samples);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<uint8_t> pcm_image(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        put_le16(&out[2 * i], static_cast<uint16_t>(samples[i]));
    return out;
}

pcm_result read_pcm(const std::string& path, bool force_raw) {
    pcm_result r;
    const bytes_result file = read_bytes(path);
    r.error = file.error;
    if (!r.ok()) return r;
    if (force_raw || names_raw_file(path)) return decode_raw(input_label(path), file.bytes);
    return decode_container(path, file.bytes);
}

io_status write_pcm(const std::string& path, const std::vector<int16_t>& samples, bool raw,
                    int stdout_fd) {
    std::vector<uint8_t> image;
    if (raw || names_raw_file(path)) {
        image = pcm_image(samples);
    } else {
        image = wav_image(samples);
        if (image.empty())
            return io_status{output_label(path) + ": too many samples for a WAV file"};
    }
    return write_output(path, image, stdout_fd);
}

}  // namespace tarnel::media
