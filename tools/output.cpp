#include "tools/output.h"

#include <cerrno>
#include <unistd.h>

namespace tarnel_tool {

void write_text(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to say so
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void report_error(int fd, const std::string& message) {
    write_text(fd, std::string(kProgram) + ": " + message + "\n");
}

}  // namespace tarnel_tool
