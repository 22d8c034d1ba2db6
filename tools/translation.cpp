#include "tools/translation.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/audio_io.h"

namespace tarnel_tool {

HostLogCapture::HostLogCapture() { hvn_log_set_sink(&HostLogCapture::sink, this); }

HostLogCapture::~HostLogCapture() { hvn_log_set_sink(nullptr, nullptr); }

void HostLogCapture::sink(const hvn_log_record* record, void* self) {
    auto* capture = static_cast<HostLogCapture*>(self);
    std::string message = record->message ? record->message : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    std::lock_guard<std::mutex> guard(capture->lock_);
    capture->messages_.push_back(std::move(message));
}

std::string HostLogCapture::take() {
    std::lock_guard<std::mutex> guard(lock_);
    std::string joined;
    for (const std::string& m : messages_) {
        if (!joined.empty()) joined += "; ";
        joined += m;
    }
    messages_.clear();
    return joined;
}

std::unique_ptr<TranslatorInstance> TranslatorInstance::create(const char* name,
                                                               std::string* error) {
    if (!hvn_translator_find(name)) {
        *error = std::string("the module registered no translator '") + name + "'";
        return nullptr;
    }
    hvn_trans_pvt* pvt = hvn_trans_instance_new(name);
    if (!pvt) {
        *error = std::string("the host could not create a '") + name + "' translator instance";
        return nullptr;
    }
    return std::unique_ptr<TranslatorInstance>(new TranslatorInstance(pvt));
}

TranslatorInstance::~TranslatorInstance() { hvn_trans_instance_destroy(pvt_); }

bool TranslatorInstance::encode(const int16_t* samples, int count, std::vector<uint8_t>* out) {
    hvn_frame f{};
    f.frametype = HVN_FRAME_VOICE;
    f.format = hvn_format_slin;
    f.datalen = count * static_cast<int>(sizeof(int16_t));
    f.samples = count;
    f.src = "tarnel";
    f.data = const_cast<int16_t*>(samples);
    const bool accepted = hvn_trans_instance_feed(pvt_, &f) == 0;
    if (const hvn_frame* r = hvn_trans_instance_read(pvt_)) {
        const auto* data = static_cast<const uint8_t*>(r->data);
        if (data && r->datalen > 0) out->insert(out->end(), data, data + r->datalen);
    }
    return accepted;
}

bool TranslatorInstance::decode(const uint8_t* payload, size_t size, std::vector<int16_t>* out) {
    hvn_frame f{};
    f.frametype = HVN_FRAME_VOICE;
    f.format = hvn_format_g729;
    f.datalen = static_cast<int>(size);
    // What the payload would decode to if well formed; the decoder counts its units itself.
    const size_t units = size / 10 + (size % 10 == 2 ? 1 : 0);
    f.samples = static_cast<int>(units < 100000 ? units * 80 : 0);
    f.src = "tarnel";
    f.data = const_cast<uint8_t*>(payload);
    const bool accepted = hvn_trans_instance_feed(pvt_, &f) == 0;
    if (const hvn_frame* r = hvn_trans_instance_read(pvt_)) {
        const auto* data = static_cast<const int16_t*>(r->data);
        if (data && r->samples > 0) out->insert(out->end(), data, data + r->samples);
    }
    return accepted;
}

namespace {

bool write_fd(int fd, const uint8_t* data, size_t size, int* err) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string write_output(const Io& io, const std::string& path, const std::vector<uint8_t>& bytes) {
    if (path != "-") return tarnel::write_bytes_atomic(path, bytes).error;
    if (::isatty(io.out)) return "standard output is a terminal; redirect it or name an output file";
    int err = 0;
    if (!write_fd(io.out, bytes.data(), bytes.size(), &err))
        return std::string("standard output: write failed: ") + std::strerror(err);
    return "";
}

std::string write_audio(const Io& io, const std::string& path, const std::vector<int16_t>& samples,
                        bool raw) {
    if (path != "-") return tarnel::write_pcm(path, samples, raw).error;
    std::vector<uint8_t> image;
    if (raw) {
        image.resize(samples.size() * 2);
        for (size_t i = 0; i < samples.size(); ++i) {
            const auto v = static_cast<uint16_t>(samples[i]);
            image[2 * i] = static_cast<uint8_t>(v);
            image[2 * i + 1] = static_cast<uint8_t>(v >> 8);
        }
    } else {
        image = tarnel::wav_file_image(samples);
        if (image.empty()) return "standard output: too many samples for a WAV file";
    }
    return write_output(io, path, image);
}

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double wall_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace tarnel_tool
