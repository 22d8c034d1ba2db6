#include "media/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnel::media {

namespace {

// Far beyond any speech file (over 18 hours at 8 kHz); stops /dev/zero or a runaway pipe from
// exhausting memory before anything is reported.
constexpr size_t kMaxInputBytes = size_t{1} << 30;

std::string errno_text(int err) { return std::strerror(err); }

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
    const std::string name = input_label(path);
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

io_status write_stream(int fd, const uint8_t* data, size_t size) {
    io_status s;
    if (::isatty(fd)) {
        s.error = "standard output is a terminal; redirect it or name an output file";
        return s;
    }
    // Anything already buffered by stdio must precede the data written to the descriptor.
    if (fd == STDOUT_FILENO && std::fflush(stdout) != 0) {
        s.error = "standard output: write failed: " + errno_text(errno);
        return s;
    }
    if (const int err = write_all(fd, data, size))
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
    int err = write_all(fd, data, size);
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err) s.error = path + ": write failed: " + errno_text(err);
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
        s.error = path + ": cannot create a file in " + dir + ": " + errno_text(errno);
        return s;
    }
    temp.assign(temp_buf.data());

    int err = write_all(fd, data, size);
    std::string step = err ? "write failed" : "";
    if (step.empty() && ::fchmod(fd, mode) != 0) {
        err = errno;
        step = "cannot set permissions";
    } else if (step.empty() && ::fsync(fd) != 0) {
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

}  // namespace

std::string input_label(const std::string& path) { return path == "-" ? "standard input" : path; }
std::string output_label(const std::string& path) { return path == "-" ? "standard output" : path; }

int write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (put == 0) return EIO;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return 0;
}

bytes_result read_bytes(const std::string& path) {
    bytes_result r;
    if (!load_file(path, r.bytes, r.error)) {
        r.bytes.clear();
        return r;
    }
    if (r.bytes.empty()) r.error = input_label(path) + (path == "-" ? ": no data" : ": empty file");
    return r;
}

io_status write_output(const std::string& path, const uint8_t* data, size_t size, int stdout_fd) {
    if (path.empty()) return io_status{"empty output file name"};
    if (path == "-") return write_stream(stdout_fd, data, size);

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

}  // namespace tarnel::media
