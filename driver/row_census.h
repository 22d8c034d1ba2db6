// Counts the speech frames of a stream that name first-stage LSP rows this encoder never sends.
//
// Only rows 0-36 of the first-stage codebook are published; the others hold an average speech
// envelope. A frame naming one of them comes from another encoder and is decoded approximately,
// which a user comparing the audio with the sender's should know.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnel::driver {

struct row_census {
    uint64_t speech_frames = 0;
    uint64_t unpublished = 0;  // speech frames naming a row from 37 on

    // Counts the whole 10-byte units of one payload, as the decoder walks them.
    void add_payload(const uint8_t* payload, size_t size);

    // One sentence for the report, empty when no frame names an unpublished row.
    std::string report() const;
};

}  // namespace tarnel::driver
