#include "media/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnel::media {

namespace {

// Far beyond any speech file (over 18 hours at 8 kHz); stops /dev/zero or a runaway pipe from
// exhausting memory when a whole file is asked for.
constexpr size_t kMaxWholeFileBytes = size_t{1} << 30;

std::string errno_text(int err) { return std::strerror(err); }

// The temporary file of the output being written. Output now grows for as long as the input
// lasts, so an interrupted run (Ctrl-C, a terminal closed, kill) must not leave a hidden file
// of hours of audio behind: the signal removes it, then ends the program as it would have.
char g_temp_path[PATH_MAX];
volatile sig_atomic_t g_temp_pending = 0;

void remove_temp_and_end(int sig) {
    if (g_temp_pending) ::unlink(g_temp_path);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Watches `temp` until it is put in place or removed. Only one output at a time is watched,
// and only signals nobody else handles are taken over.
bool watch_temp(const std::string& temp) {
    if (g_temp_pending || temp.size() >= sizeof g_temp_path) return false;
    static const bool installed = [] {
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old {};
            if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            struct sigaction sa {};
            sa.sa_handler = remove_temp_and_end;
            sigemptyset(&sa.sa_mask);
            ::sigaction(sig, &sa, nullptr);
        }
        return true;
    }();
    (void)installed;
    std::memcpy(g_temp_path, temp.c_str(), temp.size() + 1);
    g_temp_pending = 1;
    return true;
}

mode_t default_file_mode() {
    // mkstemp creates the file 0600; the finished output should get the mode any newly created
    // file would. The only portable way to learn the umask is to set it and put it back.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

std::string input_label(const std::string& path) { return path == "-" ? "standard input" : path; }
std::string output_label(const std::string& path) { return path == "-" ? "standard output" : path; }

std::string one_line(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
    return text;
}

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

// ---- input ---------------------------------------------------------------------------------

input_file::~input_file() {
    if (owned_) ::close(fd_);
}

bool input_file::open(const std::string& path) {
    label_ = input_label(path);
    if (path.empty()) {
        error_ = "empty input file name";
        return false;
    }
    if (path == "-") {
        if (::isatty(STDIN_FILENO)) {
            error_ = "standard input is a terminal; pipe the data in or name a file";
            return false;
        }
        fd_ = STDIN_FILENO;
    } else {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            error_ = label_ +
                     (errno == ENOENT ? ": no such file" : ": cannot open: " + errno_text(errno));
            return false;
        }
        owned_ = true;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        error_ = label_ + ": cannot open: " + errno_text(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error_ = label_ + ": is a directory, not a file";
        return false;
    }
    // Standard input redirected from a file is as good as the file, if it is read from its start.
    if (S_ISREG(st.st_mode) && (owned_ || ::lseek(fd_, 0, SEEK_CUR) == 0)) size_ = st.st_size;
    buffer_.resize(kBlock);
    return true;
}

bool input_file::fill(size_t wanted) {
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    while (end_ < wanted && !at_end_) {
        const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) error_ = label_ + ": read error: " + errno_text(errno);
        if (got <= 0) {
            at_end_ = true;
            break;
        }
        end_ += static_cast<size_t>(got);
    }
    return error_.empty();
}

size_t input_file::read(uint8_t* data, size_t size) {
    size_t copied = 0;
    while (copied < size) {
        if (begin_ == end_ && !fill(1)) break;
        const size_t n = std::min(size - copied, end_ - begin_);
        if (n == 0) break;
        std::memcpy(data + copied, buffer_.data() + begin_, n);
        begin_ += n;
        copied += n;
    }
    position_ += copied;
    return copied;
}

size_t input_file::peek(const uint8_t** data, size_t size) {
    size = std::min(size, kBlock);
    if (end_ - begin_ < size) fill(size);
    *data = buffer_.data() + begin_;
    return std::min(size, end_ - begin_);
}

bool input_file::seek(uint64_t offset) {
    if (!seekable()) return false;
    const uint64_t buffered_from = position_ - begin_;
    if (offset >= buffered_from && offset <= buffered_from + end_) {
        begin_ = static_cast<size_t>(offset - buffered_from);
    } else {
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
        begin_ = end_ = 0;
    }
    position_ = offset;
    at_end_ = false;
    return true;
}

// ---- output --------------------------------------------------------------------------------

output_file::~output_file() {
    if (owned_) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
    if (watched_) g_temp_pending = 0;
}

bool output_file::fail(const std::string& step, int err) {
    error_ = label_ + ": " + step + ": " + errno_text(err);
    return false;
}

bool output_file::open(const std::string& path, int stdout_fd) {
    label_ = output_label(path);
    if (path.empty()) {
        error_ = "empty output file name";
        return false;
    }
    if (path == "-") {
        if (::isatty(stdout_fd)) {
            error_ = "standard output is a terminal; redirect it or name an output file";
            return false;
        }
        // Anything already buffered by stdio must precede the data written to the descriptor.
        if (stdout_fd == STDOUT_FILENO && std::fflush(stdout) != 0)
            return fail("write failed", errno);
        fd_ = stdout_fd;
        return true;
    }

    std::string target = path;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error_ = path + ": is a directory, not a file";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            // A device or FIFO cannot be replaced by renaming (and renaming over /dev/null as
            // root would destroy it), so it is written in place; every write and the close are
            // checked, since a device like /dev/full reports its failure there.
            fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
            if (fd_ < 0) return fail("cannot open for writing", errno);
            owned_ = true;
            return true;
        }
        // The directory may allow the rename where the file itself is protected: honour the
        // file's own permission, as a program writing into it would have to.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
            return fail("cannot write", errno);
        // Writing through a symbolic link updates the file it points to and keeps the link.
        struct stat lst;
        if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
            if (char* real = ::realpath(path.c_str(), nullptr)) {
                target = real;
                std::free(real);
            }
        }
        mode_ = st.st_mode & 07777;
        owner_ = st.st_uid;
        group_ = st.st_gid;
        keep_owner_ = st.st_uid != ::geteuid() || st.st_gid != ::getegid();
    } else if (errno == ENOENT) {
        mode_ = default_file_mode();
    } else {
        return fail("cannot write", errno);
    }

    const size_t slash = target.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // A hidden name with a random suffix: if the process dies before the rename, what is left
    // behind cannot be mistaken for the finished output.
    std::string temp = (slash == std::string::npos ? "" : dir) + "." + base + ".tmp-XXXXXX";
    // The signals that remove the file wait until it is watched: one arriving between its
    // creation and the watch would end the program and leave it behind.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, sig);
    ::pthread_sigmask(SIG_BLOCK, &ending, &before);
    fd_ = ::mkstemp(temp.data());
    const int create_error = errno;
    if (fd_ >= 0) {
        owned_ = true;
        temp_ = temp;
        target_ = target;
        watched_ = watch_temp(temp_);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (fd_ < 0) return fail("cannot create a file in " + dir, create_error);
    pending_.reserve(input_file::kBlock);
    return true;
}

bool output_file::flush() {
    if (!error_.empty()) return false;
    if (pending_.empty()) return true;
    const int err = write_all(fd_, pending_.data(), pending_.size());
    pending_.clear();
    return err == 0 || fail("write failed", err);
}

bool output_file::write(const uint8_t* data, size_t size) {
    if (!error_.empty()) return false;
    if (!seekable()) {
        const int err = write_all(fd_, data, size);
        return err == 0 || fail("write failed", err);
    }
    if (pending_.size() + size > pending_.capacity() && !flush()) return false;
    if (size >= pending_.capacity()) {
        const int err = write_all(fd_, data, size);
        return err == 0 || fail("write failed", err);
    }
    pending_.insert(pending_.end(), data, data + size);
    return true;
}

bool output_file::write_at(uint64_t offset, const uint8_t* data, size_t size) {
    if (!seekable() || !flush()) return false;
    while (size > 0) {
        const ssize_t put = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return fail("write failed", put < 0 ? errno : EIO);
        data += put;
        size -= static_cast<size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return true;
}

bool output_file::commit() {
    if (!flush()) return false;
    if (!seekable()) {
        if (!owned_) return true;
        owned_ = false;
        return ::close(fd_) == 0 || fail("write failed", errno);
    }
    // The owner first: changing it may clear set-id bits that the mode then restores. Only
    // root may give a file away; elsewhere the replacement is the writer's, as a new file is.
    if (keep_owner_ && ::fchown(fd_, owner_, group_) != 0) {
    }
    if (::fchmod(fd_, mode_) != 0) return fail("cannot set permissions", errno);
    if (::fsync(fd_) != 0) return fail("write failed", errno);
    owned_ = false;
    if (::close(fd_) != 0) return fail("write failed", errno);
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
        return fail("cannot move the finished file into place", errno);
    temp_.clear();
    if (watched_) g_temp_pending = 0;
    watched_ = false;
    return true;
}

// ---- whole files ---------------------------------------------------------------------------

bytes_result read_bytes(const std::string& path) {
    bytes_result r;
    input_file in;
    if (!in.open(path)) {
        r.error = in.error();
        return r;
    }
    uint8_t block[input_file::kBlock];
    size_t got;
    while ((got = in.read(block, sizeof block)) > 0) {
        if (r.bytes.size() + got > kMaxWholeFileBytes) {
            r.error = in.label() + ": larger than 1 GiB, too long to be a speech recording";
            break;
        }
        r.bytes.insert(r.bytes.end(), block, block + got);
    }
    if (r.error.empty()) r.error = in.error();
    if (r.error.empty() && r.bytes.empty())
        r.error = in.label() + (path == "-" ? ": no data" : ": empty file");
    if (!r.ok()) r.bytes.clear();
    return r;
}

io_status write_output(const std::string& path, const uint8_t* data, size_t size, int stdout_fd) {
    output_file out;
    if (out.open(path, stdout_fd) && out.write(data, size) && out.commit()) return {};
    return io_status{out.error()};
}

}  // namespace tarnel::media
