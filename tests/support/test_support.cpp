#include "support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace tarnel::test {

std::string source_path(const std::string& relative) {
    return std::string(TARNEL_SOURCE_DIR) + "/" + relative;
}

std::vector<int16_t> load_speech_sample() {
    // The sample is a plain PCM WAV file: walk its chunks to the "data" chunk.
    const std::string path = source_path("samples/speech.wav");
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + path);
    std::vector<unsigned char> bytes;
    unsigned char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + got);
    std::fclose(f);
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
                                     (static_cast<uint32_t>(bytes[at + 3]) << 24));
    };
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const uint32_t size = u32(pos + 4);
        if (std::equal(bytes.begin() + pos, bytes.begin() + pos + 4, "data")) {
            std::vector<int16_t> out;
            for (size_t i = pos + 8; i + 1 < pos + 8 + size && i + 1 < bytes.size(); i += 2)
                out.push_back(
                    static_cast<int16_t>(static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8))));
            return out;
        }
        pos += 8 + size + (size & 1);
    }
    throw std::runtime_error("no data chunk in " + path);
}

}  // namespace tarnel::test
