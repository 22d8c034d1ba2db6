#include "tools/command.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "media/file_io.h"

namespace tarnel::tool {

const std::vector<const subcommand*>& all_subcommands() {
    static const std::vector<const subcommand*> list = {&kEncodeCommand,    &kDecodeCommand,
                                                        &kTranscodeCommand, &kBenchCommand,
                                                        &kCliCommand,       &kModinfoCommand};
    return list;
}

void write_text(int fd, const std::string& text) {
    // Nowhere left to say so if this fails.
    media::write_all(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

namespace {

// Length of the well-formed UTF-8 sequence of two to four bytes at s[i], or 0.
size_t utf8_sequence(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned c = byte(i);
    const size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    // Overlong forms, surrogates and code points above U+10FFFF.
    const unsigned c1 = byte(i + 1);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
        (c == 0xF4 && c1 >= 0x90))
        return 0;
    return n;
}

}  // namespace

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = c >= 0x80 ? utf8_sequence(s, i) : 0) {
            out.append(s, i, n);
            i += n;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
        }
    }
    return out + "\"";
}

void report_error(int fd, const std::string& message) {
    write_text(fd, std::string("tarnel: ") + message + "\n");
}

bool failed(const context& ctx, const std::string& error) {
    if (error.empty()) return false;
    report_error(ctx.io.err, error);
    return true;
}

std::string default_module_path() {
    const std::string dir = driver::executable_directory();
    if (dir.empty()) return "";
    const std::string beside = dir + "/" + driver::kModuleFileName;
    // Installed, the program is in bin/ and the module in lib/codec_tarnel/, where the program's
    // run path finds the host library the module resolves its host functions from.
    const std::string installed =
        dir.substr(0, dir.rfind('/')) + "/lib/codec_tarnel/" + driver::kModuleFileName;
    if (::access(beside.c_str(), F_OK) != 0 && ::access(installed.c_str(), F_OK) == 0)
        return installed;
    return beside;
}

int exit_failure(const context& ctx, const std::string& error) {
    report_error(ctx.io.err, error);
    return kExitFailure;
}

void detail(const context& ctx, const std::string& line) {
    if (ctx.verbose) write_text(ctx.io.err, line + "\n");
}

std::string describe_input(const media::pcm_reader& reader) {
    const media::audio_format& f = reader.format();
    std::string text = "reading " + reader.label() + ": " + f.container + ", " + f.encoding + ", " +
                       std::to_string(f.sample_rate) + " Hz, " + std::to_string(f.channels) +
                       (f.channels == 1 ? " channel, " : " channels, ");
    if (f.samples >= 0) {
        char length[64];
        std::snprintf(length, sizeof length, "%lld samples (%.2f s), ",
                      static_cast<long long>(f.samples),
                      static_cast<double>(f.samples) / kSampleRate);
        text += length;
    } else {
        text += "length known at its end, ";
    }
    return text + (f.exact ? "taken exactly" : "rounded to 16 bits");
}

std::unique_ptr<driver::module_session> load_module(const context& ctx) {
    std::string error;
    auto session = driver::module_session::open(
        ctx.module_path.empty() ? default_module_path() : ctx.module_path, &error);
    failed(ctx, error);
    if (session) detail(ctx, "module: " + session->path());
    return session;
}

std::unique_ptr<driver::translator_instance> new_translator(const context& ctx, const char* name) {
    std::string error;
    auto instance = driver::translator_instance::create(name, &error);
    failed(ctx, error);
    return instance;
}

namespace {

double seconds_on(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

double process_cpu_seconds() { return seconds_on(CLOCK_PROCESS_CPUTIME_ID); }
double wall_seconds() { return seconds_on(CLOCK_MONOTONIC); }

}  // namespace tarnel::tool
