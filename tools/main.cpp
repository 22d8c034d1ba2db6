#include <unistd.h>

#include "tools/tool.h"

int main(int argc, char** argv) {
    return tarnel_tool::run(argc, argv, tarnel_tool::Io{STDOUT_FILENO, STDERR_FILENO});
}
