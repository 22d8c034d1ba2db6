#include <unistd.h>

#include "tools/tool.h"

int main(int argc, char** argv) {
    return tarnel::tool::run(argc, argv, tarnel::tool::io_fds{STDOUT_FILENO, STDERR_FILENO});
}
