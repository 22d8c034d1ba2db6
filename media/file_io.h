// Whole files in and out, for a program whose inputs and outputs may also be pipes.
//
// Every failure comes back as a single line naming the file and the problem, ready to print
// after "tarnel: ". "-" names standard input or standard output.
#pragma once

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

// Writes every byte to `fd`, resuming after interruptions. 0, or the errno of the failure.
int write_all(int fd, const uint8_t* data, size_t size);

// Reads a whole file; "-" reads standard input (refused when it is a terminal). An empty file,
// a directory or more than 1 GiB is an error.
bytes_result read_bytes(const std::string& path);

// Writes a whole output file. "-" writes to `stdout_fd` (refused when it is a terminal). A
// regular file (or a new name) is written to a temporary file beside it and renamed into place
// only once every byte has been written and flushed, so a failure leaves the previous file, or
// no file, never a partial one; the file keeps its mode, and a symbolic link keeps pointing
// at it. A device or pipe named as output (e.g. /dev/null) is written directly, never replaced.
io_status write_output(const std::string& path, const uint8_t* data, size_t size,
                       int stdout_fd = STDOUT_FILENO);
inline io_status write_output(const std::string& path, const std::vector<uint8_t>& bytes,
                              int stdout_fd = STDOUT_FILENO) {
    return write_output(path, bytes.data(), bytes.size(), stdout_fd);
}

}  // namespace tarnel::media
