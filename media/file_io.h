// Files in and out, for a program whose inputs and outputs may also be pipes, read and written
// as the data flows so that memory stays the same however long the input.
//
// Every failure comes back as a single line naming the file and the problem, ready to print
// after "tarnel: ". "-" names standard input or standard output.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnel::media {

struct io_status {
    std::string error;  // empty on success
    bool ok() const { return error.empty(); }
};

struct bytes_result : io_status {
    std::vector<uint8_t> bytes;
};

// "standard input" / "standard output" for "-", the name otherwise.
std::string input_label(const std::string& path);
std::string output_label(const std::string& path);

// A library's message as part of a one-line report: newlines become spaces, and a trailing
// full stop or space goes.
std::string one_line(std::string text);

// Writes every byte to `fd`, resuming after interruptions. 0, or the errno of the failure.
int write_all(int fd, const uint8_t* data, size_t size);

// An input read from the start in blocks: a file, a device, a pipe, or standard input ("-",
// refused when it is a terminal). A read from a pipe returns as soon as the bytes asked for
// have arrived, so what is written into the pipe can be coded while more is on its way.
class input_file {
public:
    input_file() = default;
    ~input_file();
    input_file(const input_file&) = delete;
    input_file& operator=(const input_file&) = delete;

    // False, with error() set, when it cannot be opened or is a directory.
    bool open(const std::string& path);

    // Copies up to `size` bytes, waiting until they have arrived or the input ends; fewer means
    // the end of the input or a failure, which error() then names.
    size_t read(uint8_t* data, size_t size);
    // The next bytes, up to min(size, kBlock), without consuming them; fewer only at the end.
    size_t peek(const uint8_t** data, size_t size);

    // A regular file, whose size is known and which can be repositioned.
    bool seekable() const { return size_ >= 0; }
    int64_t size() const { return size_; }  // -1 when not a regular file
    uint64_t position() const { return position_; }
    // Regular files only: the next read starts at byte `offset`.
    bool seek(uint64_t offset);

    const std::string& label() const { return label_; }
    const std::string& error() const { return error_; }

    static constexpr size_t kBlock = 65536;

private:
    bool fill(size_t wanted);

    int fd_ = -1;
    bool owned_ = false;
    int64_t size_ = -1;
    uint64_t position_ = 0;  // of the next byte read() returns
    std::vector<uint8_t> buffer_;
    size_t begin_ = 0, end_ = 0;  // unread bytes in buffer_
    bool at_end_ = false;
    std::string label_;
    std::string error_;
};

// An output written as it is produced. "-" writes to the descriptor given (refused when it is a
// terminal); a device or a pipe named as output (e.g. /dev/null, a FIFO) is written in place,
// never replaced. Anything else is written to a hidden temporary file beside the target and
// renamed into place by commit() only once every byte has been written and flushed, so a
// failure leaves the previous file, or no file, never a partial one. A file replaced keeps its
// mode (and, where the system allows, its owner), and a symbolic link keeps pointing at it; a
// file the user may not write is not replaced, as cp would not. An interrupt or termination
// signal while a file is being written removes the temporary file before the program ends.
class output_file {
public:
    output_file() = default;
    ~output_file();  // without commit(): the temporary file is removed
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // False, with error() set, when the destination cannot be written.
    bool open(const std::string& path, int stdout_fd = STDOUT_FILENO);

    // Appends bytes: gathered into blocks for a file, passed on at once to a stream.
    bool write(const uint8_t* data, size_t size);
    // Overwrites bytes already written, e.g. a header whose sizes are known at the end; only
    // for a file (seekable()).
    bool write_at(uint64_t offset, const uint8_t* data, size_t size);
    // Hands over what has been gathered; done before another writer uses fd().
    bool flush();

    // A file being built, which write_at may patch; otherwise a stream written in place.
    bool seekable() const { return !temp_.empty(); }
    int fd() const { return fd_; }
    const std::string& label() const { return label_; }
    const std::string& error() const { return error_; }

    // Finishes the output: for a file, sets its mode, syncs it and renames it into place.
    bool commit();

private:
    bool fail(const std::string& step, int err);

    int fd_ = -1;
    bool owned_ = false;  // fd_ was opened here
    std::string label_;
    std::string target_;  // the file the temporary replaces
    std::string temp_;    // empty for a stream
    mode_t mode_ = 0;
    uid_t owner_ = 0;
    gid_t group_ = 0;
    bool keep_owner_ = false;
    bool watched_ = false;  // the temporary is removed if a signal ends the program
    std::vector<uint8_t> pending_;
    std::string error_;
};

// Reads a whole file; "-" reads standard input. An empty file, a directory or more than
// 1 GiB is an error.
bytes_result read_bytes(const std::string& path);

// Writes a whole output as output_file writes it.
io_status write_output(const std::string& path, const uint8_t* data, size_t size,
                       int stdout_fd = STDOUT_FILENO);
inline io_status write_output(const std::string& path, const std::vector<uint8_t>& bytes,
                              int stdout_fd = STDOUT_FILENO) {
    return write_output(path, bytes.data(), bytes.size(), stdout_fd);
}

}  // namespace tarnel::media
