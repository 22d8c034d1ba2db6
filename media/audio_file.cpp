#include "media/audio_file.h"

#include "media/byte_order.h"
#include "media/wav_format.h"

namespace tarnel::media {

pcm_result read_pcm(const std::string& path, bool force_raw) {
    pcm_result r;
    pcm_reader reader;
    if (!reader.open(path, force_raw)) {
        r.error = reader.error();
        return r;
    }
    int16_t block[4096];
    size_t got;
    while ((got = reader.read(block, sizeof block / sizeof block[0])) > 0)
        r.samples.insert(r.samples.end(), block, block + got);
    r.error = reader.error();
    if (!r.ok()) r.samples.clear();
    return r;
}

io_status write_pcm(const std::string& path, const std::vector<int16_t>& samples, bool raw,
                    int stdout_fd) {
    if (raw || names_raw_file(path)) return write_output(path, pcm_image(samples), stdout_fd);
    const std::vector<uint8_t> image = wav_image(samples);
    if (image.empty()) return io_status{output_label(path) + ": too many samples for a WAV file"};
    return write_output(path, image, stdout_fd);
}

std::vector<uint8_t> pcm_image(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        put_le16(&out[2 * i], static_cast<uint16_t>(samples[i]));
    return out;
}

std::vector<uint8_t> wav_image(const std::vector<int16_t>& samples) {
    if (samples.size() * 2 >= kStreamedSizeFloor) return {};
    const auto header = wav_header(static_cast<uint32_t>(samples.size() * 2));
    std::vector<uint8_t> out(header.begin(), header.end());
    const std::vector<uint8_t> body = pcm_image(samples);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace tarnel::media
