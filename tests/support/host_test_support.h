// Helpers for the tests that drive the module through the stand-in host.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "dsp/frame.h"
#include "hvn_host.h"

namespace tarnel::test {

// The module, loaded the way the host loads it, for the length of a test.
class loaded_module {
public:
    loaded_module() {
        char error[512] = "";
        mod_ = hvn_load_module(TARNEL_MODULE_PATH, error, sizeof error);
        error_ = error;
    }
    ~loaded_module() {
        if (mod_) hvn_unload_module(mod_, nullptr, 0);
    }
    loaded_module(const loaded_module&) = delete;
    loaded_module& operator=(const loaded_module&) = delete;

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

struct log_line {
    int level;
    std::string file;
    int line;
    std::string function;
    std::string message;
    std::string text;
};

// Collects host log lines for the length of a test.
class log_capture {
public:
    log_capture() { hvn_log_set_sink(&log_capture::sink, this); }
    ~log_capture() { hvn_log_set_sink(nullptr, nullptr); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    const std::vector<log_line>& lines() const { return lines_; }

private:
    static void sink(const hvn_log_record* r, void* ctx) {
        static_cast<log_capture*>(ctx)->lines_.push_back(
            {r->level, r->file, r->line, r->function, r->message, r->text});
    }
    std::vector<log_line> lines_;
};

// The one warning a refused translator call logs: level 3, the module's name for a file, the
// operation, and the message.
inline void expect_one_warning(const log_capture& log, const char* operation,
                               const std::string& message) {
    ASSERT_EQ(log.lines().size(), 1u);
    const log_line& l = log.lines()[0];
    EXPECT_EQ(l.level, 3);
    EXPECT_EQ(l.file, "codec_tarnel");
    EXPECT_GT(l.line, 0);
    EXPECT_EQ(l.function, operation);
    EXPECT_EQ(l.message, message);
}

// A descriptor whose output is read back after the code under test wrote to it.
class fd_capture {
public:
    fd_capture() : file_(std::tmpfile()) {}
    ~fd_capture() {
        if (file_) std::fclose(file_);
    }
    fd_capture(const fd_capture&) = delete;
    fd_capture& operator=(const fd_capture&) = delete;

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

// Types `line` at a console; checks the status and what was printed.
inline void expect_console(const char* line, int status, const std::string& output) {
    fd_capture console;
    EXPECT_EQ(hvn_cli_command(console.fd(), line), status) << line;
    EXPECT_EQ(console.text(), output) << line;
}

// A translator instance, destroyed at the end of the test.
class instance {
public:
    explicit instance(const char* name) : pvt_(hvn_trans_instance_new(name)) {}
    ~instance() {
        if (pvt_) hvn_trans_instance_destroy(pvt_);
    }
    instance(const instance&) = delete;
    instance& operator=(const instance&) = delete;

    hvn_trans_pvt* get() const { return pvt_; }
    hvn_trans_pvt* operator->() const { return pvt_; }
    explicit operator bool() const { return pvt_ != nullptr; }
    int feed(hvn_frame f) const { return hvn_trans_instance_feed(pvt_, &f); }
    hvn_frame* read() const { return hvn_trans_instance_read(pvt_); }

private:
    hvn_trans_pvt* pvt_;
};

// A voice frame as a channel hands it to an instance, over caller-owned data.
inline hvn_frame voice_frame(hvn_format* format, void* data, int datalen, int samples) {
    hvn_frame f{};
    f.frametype = HVN_FRAME_VOICE;
    f.format = format;
    f.datalen = datalen;
    f.samples = samples;
    f.src = "test";
    f.data = data;
    return f;
}

inline hvn_frame slin_frame(std::vector<int16_t>& samples) {
    const int n = static_cast<int>(samples.size());
    return voice_frame(hvn_format_slin, samples.data(), n * 2, n);
}

inline hvn_frame g729_frame(std::vector<uint8_t>& payload) {
    const int n = static_cast<int>(payload.size());
    return voice_frame(hvn_format_g729, payload.data(), n, n / kSpeechFrameBytes * kFrame);
}

// Checks what a frame says of itself, apart from its payload.
inline void expect_voice_frame(const hvn_frame* f, const hvn_format* format, int samples,
                               int datalen, const char* src) {
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->frametype, HVN_FRAME_VOICE);
    EXPECT_EQ(f->format, format);
    EXPECT_EQ(f->samples, samples);
    EXPECT_EQ(f->datalen, datalen);
    EXPECT_STREQ(f->src, src);
    EXPECT_NE(f->data, nullptr);
}

template <class T>
std::vector<T> payload_of(const hvn_frame* f) {
    const auto* p = static_cast<const T*>(f->data);
    return std::vector<T>(p, p + f->datalen / static_cast<int>(sizeof(T)));
}

// What a fresh encoder makes of `blocks` consecutive 80-sample blocks from `pcm`.
inline std::vector<uint8_t> encode_reference(const int16_t* pcm, size_t blocks) {
    g729_encoder_state st;
    g729_encoder_init(&st);
    std::vector<uint8_t> out(blocks * kSpeechFrameBytes);
    for (size_t k = 0; k < blocks; ++k) {
        int len = 0;
        g729_encode_frame(&st, pcm + kFrame * k, out.data() + kSpeechFrameBytes * k, &len);
    }
    return out;
}

// What a fresh decoder makes of the units (10-byte speech or 2-byte SID frames), in order.
inline std::vector<int16_t> decode_reference(const std::vector<std::vector<uint8_t>>& units) {
    g729_decoder_state st;
    g729_decoder_init(&st);
    std::vector<int16_t> out;
    for (const auto& u : units) {
        int16_t pcm[kFrame];
        EXPECT_EQ(g729_decode_frame(&st, pcm, u.data(), static_cast<int>(u.size())), 0);
        out.insert(out.end(), pcm, pcm + kFrame);
    }
    return out;
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

}  // namespace tarnel::test
