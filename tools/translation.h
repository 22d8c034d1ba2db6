// The module's translators run the way the host runs them: one instance per direction, a host
// frame fed in, then the translator's frame-out (or the host's default one) read back.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hvn_host.h"
#include "tools/tool.h"

namespace tarnel_tool {

constexpr const char* kEncoderTranslator = "lintog729";
constexpr const char* kDecoderTranslator = "g729tolin";
constexpr int kHostFrameSamples = 160;  // the 20 ms a host hands a translator by default

// Host log lines written while it exists. The module explains a refusal only in the log; the
// tool quotes that explanation in its own one-line report rather than letting it reach
// stderr as a second line with no file name.
class HostLogCapture {
public:
    HostLogCapture();
    ~HostLogCapture();
    HostLogCapture(const HostLogCapture&) = delete;
    HostLogCapture& operator=(const HostLogCapture&) = delete;

    // The messages logged since the last call, joined by "; ", trailing newlines removed.
    std::string take();

private:
    static void sink(const hvn_log_record* record, void* self);
    std::mutex lock_;
    std::vector<std::string> messages_;
};

class TranslatorInstance {
public:
    // Null (with *error) when the module registered no such translator or would not create it.
    static std::unique_ptr<TranslatorInstance> create(const char* name, std::string* error);
    ~TranslatorInstance();
    TranslatorInstance(const TranslatorInstance&) = delete;
    TranslatorInstance& operator=(const TranslatorInstance&) = delete;

    // Encoder: one host frame of linear samples in; the frames frame-out returns are appended
    // to *out. False when the translator refused the frame.
    bool encode(const int16_t* samples, int count, std::vector<uint8_t>* out);

    // Decoder: one payload in as one host frame; the samples frame-out returns are appended to
    // *out, also after a refusal, since units before the bad one have been decoded and would
    // otherwise come out ahead of the next payload's. False when the translator refused it.
    bool decode(const uint8_t* payload, size_t size, std::vector<int16_t>* out);

    const hvn_translator& descriptor() const { return *pvt_->t; }

private:
    explicit TranslatorInstance(hvn_trans_pvt* pvt) : pvt_(pvt) {}
    hvn_trans_pvt* pvt_;
};

// Writes a finished output file: "-" goes to the program's output descriptor (refused when it
// is a terminal), any other name through the atomic file helpers. Returns the one-line error,
// empty on success.
std::string write_output(const Io& io, const std::string& path, const std::vector<uint8_t>& bytes);

// 8000 Hz mono 16-bit audio as a WAV file, or headerless when raw is set or the name ends in
// ".raw"; written like write_output.
std::string write_audio(const Io& io, const std::string& path, const std::vector<int16_t>& samples,
                        bool raw);

// CPU time used by the process so far, in seconds.
double process_cpu_seconds();
// A monotonic clock, in seconds.
double wall_seconds();

}  // namespace tarnel_tool
