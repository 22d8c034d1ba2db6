#include "driver/row_census.h"

#include <cstdio>

#include "dsp/frame.h"
#include "lpc/lsp_quantizer.h"

namespace tarnel::driver {

void row_census::add_payload(const uint8_t* payload, size_t size) {
    for (size_t pos = 0; size - pos >= kSpeechFrameBytes; pos += kSpeechFrameBytes) {
        ++speech_frames;
        // Byte 0 carries the predictor switch (bit 7) and the first-stage row.
        if ((payload[pos] & 127) >= kPublishedFirstStageRows) ++unpublished;
    }
}

std::string row_census::report() const {
    if (unpublished == 0) return "";
    char line[320];
    std::snprintf(line, sizeof line,
                  "%llu of %llu speech frames (%.1f%%) name first-stage LSP rows 37-127: they come "
                  "from another encoder and are decoded with an approximate spectral envelope",
                  static_cast<unsigned long long>(unpublished),
                  static_cast<unsigned long long>(speech_frames),
                  100.0 * static_cast<double>(unpublished) / static_cast<double>(speech_frames));
    return line;
}

}  // namespace tarnel::driver
