#include "tools/audio_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnel {

namespace {

// Far beyond any speech file (over 18 hours at 8 kHz); stops /dev/zero or a runaway pipe from
// exhausting memory before anything is reported.
constexpr size_t kMaxInputBytes = size_t{1} << 30;

// Writers that cannot seek back (a WAV streamed down a pipe) leave a placeholder data size in
// the header: 0xFFFFFFFF, or a value just under 2 GiB. Such a size says "until end of file"
// rather than promising that many bytes, so it cannot be taken as evidence of truncation.
constexpr uint32_t kStreamedSizeFloor = 0x7FFF0000u;

std::string input_name(const std::string& path) { return path == "-" ? "standard input" : path; }
std::string output_name(const std::string& path) { return path == "-" ? "standard output" : path; }

std::string errno_text(int err) { return std::strerror(err); }

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

bool read_all(int fd, const std::string& name, std::vector<uint8_t>& out, std::string& error) {
    uint8_t buf[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = name + ": read error: " + errno_text(errno);
            return false;
        }
        if (got == 0) return true;
        if (out.size() + static_cast<size_t>(got) > kMaxInputBytes) {
            error = name + ": larger than 1 GiB, too long to be a speech recording";
            return false;
        }
        out.insert(out.end(), buf, buf + got);
    }
}

// The whole file in memory: one code path for files and pipes, and libsndfile can then be fed
// through its virtual I/O whatever the source was.
bool load_file(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
    const std::string name = input_name(path);
    if (path.empty()) {
        error = "empty input file name";
        return false;
    }
    if (path == "-") {
        if (::isatty(STDIN_FILENO)) {
            error = "standard input is a terminal; pipe the data in or name a file";
            return false;
        }
        return read_all(STDIN_FILENO, name, out, error);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT)
            error = name + ": no such file";
        else
            error = name + ": cannot open: " + errno_text(err);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error = name + ": cannot open: " + errno_text(errno);
        ::close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = name + ": is a directory, not a file";
        ::close(fd);
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(std::min(static_cast<size_t>(st.st_size), kMaxInputBytes));
    const bool ok = read_all(fd, name, out, error);
    ::close(fd);
    return ok;
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
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
        r.samples[i] = static_cast<int16_t>(
            static_cast<uint16_t>(bytes[2 * i] | (static_cast<unsigned>(bytes[2 * i + 1]) << 8)));
    return r;
}

pcm_result decode_container(const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string name = input_name(path);
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
    if (info.samplerate != kToolSampleRate || info.channels != 1 || subformat != SF_FORMAT_PCM_16) {
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

bool write_all(int fd, const uint8_t* data, size_t size, int& err) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        if (put == 0) {
            err = EIO;
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

io_status write_stdout(const uint8_t* data, size_t size) {
    io_status s;
    if (::isatty(STDOUT_FILENO)) {
        s.error = "standard output is a terminal; redirect it or name an output file";
        return s;
    }
    // Anything already buffered by stdio must precede the data written to the descriptor.
    if (std::fflush(stdout) != 0) {
        s.error = "standard output: write failed: " + errno_text(errno);
        return s;
    }
    int err = 0;
    if (!write_all(STDOUT_FILENO, data, size, err))
        s.error = "standard output: write failed: " + errno_text(err);
    return s;
}

// A device or FIFO cannot be replaced by renaming (and renaming over /dev/null as root would
// destroy it), so it is written in place; every write and the close are checked, since a
// device like /dev/full reports its failure there.
io_status write_in_place(const std::string& path, const uint8_t* data, size_t size) {
    io_status s;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        s.error = path + ": cannot open for writing: " + errno_text(errno);
        return s;
    }
    int err = 0;
    const bool wrote = write_all(fd, data, size, err);
    if (::close(fd) != 0 && wrote) {
        err = errno;
        s.error = path + ": write failed: " + errno_text(err);
        return s;
    }
    if (!wrote) s.error = path + ": write failed: " + errno_text(err);
    return s;
}

mode_t default_file_mode() {
    // mkstemp creates the file 0600; the finished output should get the mode any newly created
    // file would. The only portable way to learn the umask is to set it and put it back.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

io_status write_replacing(const std::string& path, const std::string& target, mode_t mode,
                          const uint8_t* data, size_t size) {
    io_status s;
    const size_t slash = target.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // A hidden name with a random suffix: if the process dies before the rename, what is left
    // behind cannot be mistaken for the finished output.
    std::string temp = (slash == std::string::npos ? "" : dir) + "." + base + ".tmp-XXXXXX";
    std::vector<char> temp_buf(temp.begin(), temp.end());
    temp_buf.push_back('\0');
    const int fd = ::mkstemp(temp_buf.data());
    if (fd < 0) {
        s.error = path + ": cannot create a file in " + (slash == std::string::npos ? "." : dir) +
                  ": " + errno_text(errno);
        return s;
    }
    temp.assign(temp_buf.data());

    int err = 0;
    std::string step;
    if (!write_all(fd, data, size, err)) {
        step = "write failed";
    } else if (::fchmod(fd, mode) != 0) {
        err = errno;
        step = "cannot set permissions";
    } else if (::fsync(fd) != 0) {
        err = errno;
        step = "write failed";
    }
    if (::close(fd) != 0 && step.empty()) {
        err = errno;
        step = "write failed";
    }
    if (step.empty() && ::rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
        step = "cannot move the finished file into place";
    }
    if (!step.empty()) {
        ::unlink(temp.c_str());
        s.error = path + ": " + step + ": " + errno_text(err);
    }
    return s;
}

io_status write_image(const std::string& path, const uint8_t* data, size_t size) {
    if (path.empty()) return io_status{"empty output file name"};
    if (path == "-") return write_stdout(data, size);

    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return io_status{path + ": is a directory, not a file"};
        if (!S_ISREG(st.st_mode)) return write_in_place(path, data, size);
        // Writing through a symbolic link updates the file it points to and keeps the link.
        std::string target = path;
        struct stat lst;
        if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
            if (char* real = ::realpath(path.c_str(), nullptr)) {
                target = real;
                std::free(real);
            }
        }
        return write_replacing(path, target, st.st_mode & 07777, data, size);
    }
    if (errno != ENOENT) return io_status{path + ": cannot write: " + errno_text(errno)};
    return write_replacing(path, path, default_file_mode(), data, size);
}

void put_le16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v) {
    put_le16(p, v & 0xFFFFu);
    put_le16(p + 2, v >> 16);
}

std::vector<uint8_t> raw_image(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        put_le16(&out[2 * i], static_cast<uint16_t>(samples[i]));
    return out;
}

}  // namespace

bool names_raw_file(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".raw";
}

std::vector<uint8_t> wav_file_image(const std::vector<int16_t>& samples) {
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
    put_le32(h + 24, kToolSampleRate);
    put_le32(h + 28, kToolSampleRate * 2);  // bytes per second
    put_le16(h + 32, 2);                    // bytes per sample frame
    put_le16(h + 34, 16);                   // bits per sample
    std::memcpy(h + 36, "data", 4);
    put_le32(h + 40, data_bytes);
    const std::vector<uint8_t> body = raw_image(samples);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

pcm_result read_pcm(const std::string& path, bool force_raw) {
    pcm_result r;
    std::vector<uint8_t> bytes;
    if (!load_file(path, bytes, r.error)) return r;
    if (bytes.empty()) {
        r.error = input_name(path) + (path == "-" ? ": no data" : ": empty file");
        return r;
    }
    if (force_raw || names_raw_file(path)) return decode_raw(input_name(path), bytes);
    return decode_container(path, bytes);
}

io_status write_pcm(const std::string& path, const std::vector<int16_t>& samples, bool raw) {
    std::vector<uint8_t> image;
    if (raw || names_raw_file(path)) {
        image = raw_image(samples);
    } else {
        image = wav_file_image(samples);
        if (image.empty())
            return io_status{output_name(path) + ": too many samples for a WAV file"};
    }
    return write_image(path, image.data(), image.size());
}

bytes_result read_bytes(const std::string& path) {
    bytes_result r;
    if (!load_file(path, r.bytes, r.error)) {
        r.bytes.clear();
        return r;
    }
    if (r.bytes.empty()) r.error = input_name(path) + (path == "-" ? ": no data" : ": empty file");
    return r;
}

io_status write_bytes_atomic(const std::string& path, const std::vector<uint8_t>& bytes) {
    return write_image(path, bytes.data(), bytes.size());
}

}  // namespace tarnel
