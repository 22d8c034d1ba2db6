// Helpers for the tests that drive the module through the stand-in host.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hvn_host.h"

namespace host_test {

// The module, loaded the way the host loads it, for the length of a test.
class LoadedModule {
public:
    LoadedModule() {
        char error[512] = "";
        mod_ = hvn_load_module(TARNEL_MODULE_PATH, error, sizeof error);
        error_ = error;
    }
    ~LoadedModule() {
        if (mod_) hvn_unload_module(mod_, nullptr, 0);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    hvn_module* get() const { return mod_; }
    const std::string& error() const { return error_; }
    // Unloads now; returns the unload result.
    int unload() {
        const int result = hvn_unload_module(mod_, nullptr, 0);
        if (result == 0) mod_ = nullptr;
        return result;
    }

private:
    hvn_module* mod_ = nullptr;
    std::string error_;
};

struct LogLine {
    int level;
    std::string file;
    int line;
    std::string function;
    std::string message;
    std::string text;
};

// Collects host log lines for the length of a test.
class LogCapture {
public:
    LogCapture() { hvn_log_set_sink(&LogCapture::sink, this); }
    ~LogCapture() { hvn_log_set_sink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<LogLine>& lines() const { return lines_; }
    void clear() { lines_.clear(); }

private:
    static void sink(const hvn_log_record* r, void* ctx) {
        static_cast<LogCapture*>(ctx)->lines_.push_back(
            {r->level, r->file, r->line, r->function, r->message, r->text});
    }
    std::vector<LogLine> lines_;
};

// A descriptor whose output is read back after the code under test wrote to it.
class FdCapture {
public:
    FdCapture() : file_(std::tmpfile()) {}
    ~FdCapture() {
        if (file_) std::fclose(file_);
    }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    int fd() const { return fileno(file_); }
    std::string text() const {
        std::string out;
        char buf[4096];
        off_t at = 0;
        ssize_t n;
        while ((n = ::pread(fd(), buf, sizeof buf, at)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            at += n;
        }
        return out;
    }

private:
    std::FILE* file_;
};

// A translator instance, destroyed at the end of the test.
class Instance {
public:
    explicit Instance(const char* name) : pvt_(hvn_trans_instance_new(name)) {}
    ~Instance() {
        if (pvt_) hvn_trans_instance_destroy(pvt_);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    hvn_trans_pvt* get() const { return pvt_; }
    hvn_trans_pvt* operator->() const { return pvt_; }
    explicit operator bool() const { return pvt_ != nullptr; }

private:
    hvn_trans_pvt* pvt_;
};

inline hvn_frame slin_frame(std::vector<int16_t>& samples) {
    hvn_frame f{};
    f.frametype = HVN_FRAME_VOICE;
    f.format = hvn_format_slin;
    f.samples = static_cast<int>(samples.size());
    f.datalen = static_cast<int>(samples.size() * sizeof(int16_t));
    f.src = "test";
    f.data = samples.data();
    return f;
}

inline hvn_frame g729_frame(std::vector<uint8_t>& payload) {
    hvn_frame f{};
    f.frametype = HVN_FRAME_VOICE;
    f.format = hvn_format_g729;
    f.datalen = static_cast<int>(payload.size());
    f.samples = static_cast<int>(payload.size() / 10 * 80);
    f.src = "test";
    f.data = payload.data();
    return f;
}

inline std::vector<hvn_translator*> registered_translators() {
    std::vector<hvn_translator*> list(hvn_translator_list(nullptr, 0));
    list.resize(hvn_translator_list(list.data(), list.size()));
    return list;
}

inline std::vector<hvn_cli_entry*> registered_cli_entries() {
    std::vector<hvn_cli_entry*> list(hvn_cli_list(nullptr, 0));
    list.resize(hvn_cli_list(list.data(), list.size()));
    return list;
}

}  // namespace host_test
