// The encoder translator inside the stand-in host, fed linear frames of arbitrary sample counts
// (negative, zero, past the 8000-sample input buffer, up to the extremes of the type) and
// arbitrary sample values, with frame-out between most of them. Each frame-in and frame-out is
// checked against a model of the input buffer and an encoder driven directly, and the encoder
// state must stay finite: a frame the translator should refuse must not be read at all.
//
// Input: records of a three-byte header and the samples. Header byte 0: bits 0..1 choose how
// the count is formed from bytes 1..2 (small, up to just past the buffer, any 16-bit signed
// value, or one of the extreme counts), bit 2 set means "no frame-out after this frame". The
// samples follow, little-endian; when the input runs short, the ones given are repeated.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/encoder.h"
#include "dsp/frame.h"
#include "fuzz/fuzz_host.h"
#include "module/lintog729.h"
#include "support/state_scan.h"

namespace {

using tarnel::kFrame;
using tarnel::kSpeechFrameBytes;
using tarnel::test::g_warnings;

[[noreturn]] void fail(const char* what, size_t frame) {
    std::fprintf(stderr, "fuzz_lintog729: %s (frame %zu)\n", what, frame);
    std::abort();
}

constexpr int kCapacity = tarnel::module::kBufferSamples;
constexpr int kExtremes[] = {INT_MAX,       INT_MIN, INT_MIN + 1, kCapacity + 1, kCapacity,
                             kCapacity - 1, -1,      -kFrame,     kFrame,        kFrame - 1,
                             65536,         1 << 30, -(1 << 30),  2 * kCapacity};

int sample_count(const uint8_t* h) {
    const uint16_t raw = static_cast<uint16_t>(h[1] | (h[2] << 8));
    switch (h[0] & 3) {
        case 0:
            return raw % 400;
        case 1:
            return raw % (kCapacity + 200);
        case 2:
            return static_cast<int16_t>(raw);
        default:
            return kExtremes[raw % (sizeof kExtremes / sizeof kExtremes[0])];
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnel::test::load_module_counting_warnings();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hvn_trans_pvt* pvt = hvn_trans_instance_new("lintog729");
    if (!pvt) fail("no lintog729 instance", 0);
    auto reference = std::make_unique<tarnel::g729_encoder_state>();
    tarnel::g729_encoder_init(reference.get());
    std::vector<int16_t> held;  // model of the input buffer

    size_t pos = 0;
    size_t frame_no = 0;
    while (pos + 3 <= size) {
        const uint8_t* header = data + pos;
        pos += 3;
        const int n = sample_count(header);
        const bool drain = (header[0] & 4) == 0;

        // A frame the translator must accept carries exactly n samples on the heap; one it must
        // refuse (or has nothing to copy from) carries a token few, so a read would overrun.
        const bool must_accept = n <= kCapacity - static_cast<int>(held.size());
        const size_t carried = (must_accept && n > 0) ? static_cast<size_t>(n) : 4;
        std::unique_ptr<int16_t[]> samples(new int16_t[carried]);
        const size_t available = (size - pos) / 2;
        const size_t given = carried < available ? carried : available;
        for (size_t i = 0; i < given; ++i)
            samples[i] = static_cast<int16_t>(data[pos + 2 * i] | (data[pos + 2 * i + 1] << 8));
        for (size_t i = given; i < carried; ++i) samples[i] = given ? samples[i % given] : 0;
        pos += 2 * given;

        // The byte length is not consulted by the encoder translator.
        hvn_frame f = tarnel::test::voice_frame("slin", samples.get(), header[1], n);
        const int warnings_before = g_warnings;
        const int result = hvn_trans_instance_feed(pvt, &f);
        if (result != (must_accept ? 0 : -1))
            fail("frame-in accepted or refused wrongly", frame_no);
        if (g_warnings - warnings_before != (must_accept ? 0 : 1))
            fail("a refusal must log exactly one warning, an acceptance none", frame_no);
        if (must_accept && n > 0) held.insert(held.end(), samples.get(), samples.get() + n);
        if (pvt->samples != static_cast<int>(held.size()))
            fail("sample counter differs from the model", frame_no);

        if (drain) {
            const size_t blocks = held.size() / kFrame;
            hvn_frame* out = hvn_trans_instance_read(pvt);
            if (blocks == 0) {
                if (out) fail("frame-out produced a frame from fewer than 80 samples", frame_no);
            } else {
                if (!out || out->datalen != static_cast<int>(kSpeechFrameBytes * blocks) ||
                    out->samples != static_cast<int>(kFrame * blocks))
                    fail("frame-out did not encode every complete block", frame_no);
                for (size_t b = 0; b < blocks; ++b) {
                    uint8_t expected[kSpeechFrameBytes];
                    int len = 0;
                    tarnel::g729_encode_frame(reference.get(), &held[b * kFrame], expected, &len);
                    const auto* coded =
                        static_cast<const uint8_t*>(out->data) + kSpeechFrameBytes * b;
                    if (std::memcmp(coded, expected, kSpeechFrameBytes) != 0)
                        fail("encoded frame differs from a directly driven encoder", frame_no);
                }
                held.erase(held.begin(), held.begin() + static_cast<long>(blocks * kFrame));
                if (pvt->samples != static_cast<int>(held.size()))
                    fail("frame-out lost track of the leftover samples", frame_no);
                const auto* st = static_cast<tarnel::module::lintog729_pvt*>(pvt->pvt);
                if (std::memcmp(st->buf, held.data(), held.size() * sizeof(int16_t)) != 0)
                    fail("leftover samples are not at the front of the input buffer", frame_no);
                if (!tarnel::test::first_non_finite(st->encoder).empty())
                    fail("encoder state holds a non-finite value", frame_no);
                if (std::memcmp(&st->encoder, reference.get(), sizeof st->encoder) != 0)
                    fail("translator's encoder state differs from a directly driven one", frame_no);
            }
        }
        ++frame_no;
    }
    hvn_trans_instance_destroy(pvt);
    return 0;
}
