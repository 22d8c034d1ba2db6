// The `tarnel` program: drives the codec module through the stand-in host, exactly as the
// host would, so that what it shows is what the host gets.
#pragma once

namespace tarnel::tool {

// Where the program writes: normal output and diagnostics, as file descriptors because the
// host's console writes to descriptors too.
struct io_fds {
    int out;
    int err;
};

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the command ran and failed, or the module would not load
constexpr int kExitUsage = 2;    // the command line was wrong

// Runs the whole program on argv (argv[0] is the program's own name and is not consulted).
int run(int argc, const char* const* argv, io_fds io);

}  // namespace tarnel::tool
