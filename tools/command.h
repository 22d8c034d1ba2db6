// What every command is handed, and what the commands share: reporting, loading the module and
// its translators, and timing.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/module_session.h"
#include "driver/translator_instance.h"
#include "media/pcm_reader.h"
#include "tools/tool.h"

namespace tarnel::tool {

struct context {
    io_fds io;
    std::string module_path;  // empty: the module beside the executable
    bool quiet = false;       // -q: errors only, no summary, report or progress line
    bool verbose = false;     // -v: details of the formats, the module and the framing
};

// The options every command takes, for the end of each command's help.
#define TARNEL_COMMON_OPTIONS_HELP                                                             \
    "  -q, --quiet     errors only: no summary, report or progress line\n"                     \
    "  -v, --verbose   also the input and output formats, the module and the framing\n"        \
    "  --module PATH   the module to load (default: codec_tarnel.so beside this program, or\n" \
    "                  in ../lib/codec_tarnel/ of an installed one)\n"                         \
    "  --version       show the program's and the module's versions\n"                         \
    "  -h, --help      show this help\n"

struct subcommand {
    const char* name;
    const char* summary;  // one line, for the program's help
    const char* help;     // the subcommand's full help text
    // Runs with the arguments after the subcommand's name, common options already removed.
    int (*run)(context& ctx, const std::vector<std::string>& args);
};

// The subcommands, each in its own file.
extern const subcommand kEncodeCommand;
extern const subcommand kDecodeCommand;
extern const subcommand kTranscodeCommand;
extern const subcommand kBenchCommand;
extern const subcommand kCliCommand;
extern const subcommand kModinfoCommand;

// The subcommands in the order the program's help lists them.
const std::vector<const subcommand*>& all_subcommands();

void write_text(int fd, const std::string& text);

// `s` as a JSON string. Valid UTF-8 passes through; control characters, and bytes that are not
// UTF-8 (a capture's or a file name's bytes may be anything), are escaped, so the output is
// always valid JSON.
std::string json_string(const std::string& s);

// One diagnostic line on `fd`: "tarnel: <message>".
void report_error(int fd, const std::string& message);

// True, after reporting it, when `error` says something failed; false when it is empty.
bool failed(const context& ctx, const std::string& error);
// Reports `error` and gives the status of a command that failed.
int exit_failure(const context& ctx, const std::string& error);

// With -v, one line of detail on standard error.
void detail(const context& ctx, const std::string& line);

// For -v: "reading IN: WAV (Microsoft), Signed 16 bit PCM, 8000 Hz, 1 channel, ...".
std::string describe_input(const media::pcm_reader& reader);

// The module a command loads unless --module names one: codec_tarnel.so beside the program,
// or in ../lib/codec_tarnel/ when the program is installed; empty when the program's own
// directory is unknown.
std::string default_module_path();

// The module loaded for the command, with the host log captured; null after reporting why it
// would not load.
std::unique_ptr<driver::module_session> load_module(const context& ctx);

// A new instance of the named translator; null after reporting why there is none.
std::unique_ptr<driver::translator_instance> new_translator(const context& ctx, const char* name);

// CPU time used by the process so far, in seconds.
double process_cpu_seconds();
// A monotonic clock, in seconds.
double wall_seconds();

}  // namespace tarnel::tool
