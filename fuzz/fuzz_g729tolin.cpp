// The decoder translator inside the stand-in host, as a call leg sees it: one instance fed
// payload after payload of arbitrary bytes and lengths, with the host's frame-out handing on
// the audio between most of them. Besides the sanitizers' own checks, every call is compared
// with a model of the payload walk and with a decoder driven directly, so that a miscounted
// buffer, a unit decoded twice or skipped, or a decoder left in a non-finite state is a finding.
//
// Input: records of a two-byte little-endian header and the payload. The header's low 15 bits
// give the payload length (modulo 1031, so lengths past the 8000-sample output buffer occur);
// its top bit set means "no frame-out after this payload", letting decoded audio pile up until
// the buffer is full.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/decoder.h"
#include "dsp/frame.h"
#include "fuzz/fuzz_host.h"
#include "module/g729tolin.h"
#include "module/translator.h"
#include "support/state_scan.h"

namespace {

using tarnel::kFrame;
using tarnel::kSidFrameBytes;
using tarnel::kSpeechFrameBytes;
using tarnel::module::kBufferSamples;
using tarnel::test::g_warnings;

[[noreturn]] void fail(const char* what, size_t payload) {
    std::fprintf(stderr, "fuzz_g729tolin: %s (payload %zu)\n", what, payload);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnel::test::load_module_counting_warnings();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hvn_trans_pvt* pvt = hvn_trans_instance_new("g729tolin");
    if (!pvt) fail("no g729tolin instance", 0);
    auto reference = std::make_unique<tarnel::g729_decoder_state>();
    tarnel::g729_decoder_init(reference.get());
    // Model of the host's output buffer: what the reference decoder says is waiting in it.
    std::vector<int16_t> waiting;

    size_t pos = 0;
    size_t payload_no = 0;
    while (pos + 2 <= size) {
        const unsigned header = data[pos] | (data[pos + 1] << 8);
        pos += 2;
        const bool drain = (header & 0x8000) == 0;
        size_t len = (header & 0x7fff) % 1031;
        if (len > size - pos) len = size - pos;
        // Exactly the payload's bytes on the heap: a read past them trips the red zone.
        std::unique_ptr<uint8_t[]> payload(new uint8_t[len ? len : 1]);
        if (len) std::memcpy(payload.get(), data + pos, len);
        pos += len;

        // The model: 10-byte units while 10 or more remain, a lone 2-byte remainder as SID,
        // any other remainder refused; no unit once a whole frame no longer fits.
        int expected_result = 0;
        size_t at = 0;
        while (at < len) {
            const int left = static_cast<int>(len - at);
            int unit = left >= kSpeechFrameBytes ? kSpeechFrameBytes : 0;
            if (left == kSidFrameBytes) unit = kSidFrameBytes;
            if (unit == 0 || static_cast<int>(waiting.size()) > kBufferSamples - kFrame) {
                expected_result = -1;
                break;
            }
            int16_t pcm[kFrame];
            tarnel::g729_decode_frame(reference.get(), pcm, payload.get() + at, unit);
            waiting.insert(waiting.end(), pcm, pcm + kFrame);
            at += static_cast<size_t>(unit);
        }

        // The sample count is not consulted by the decoder translator.
        hvn_frame f = tarnel::test::voice_frame("g729", payload.get(), static_cast<int>(len),
                                                static_cast<int>(header));
        const int warnings_before = g_warnings;
        const int result = hvn_trans_instance_feed(pvt, &f);
        if (result != expected_result) fail("frame-in result differs from the model", payload_no);
        if (g_warnings - warnings_before != (result == 0 ? 0 : 1))
            fail("a failure must log exactly one warning, a success none", payload_no);
        if (pvt->samples != static_cast<int>(waiting.size()) || pvt->datalen != 2 * pvt->samples)
            fail("sample or byte counter differs from the model", payload_no);
        if (pvt->samples > kBufferSamples) fail("output buffer overrun", payload_no);

        const auto& decoder = static_cast<tarnel::module::g729tolin_pvt*>(pvt->pvt)->decoder;
        if (!tarnel::test::first_non_finite(decoder).empty())
            fail("decoder state holds a non-finite value", payload_no);
        if (std::memcmp(&decoder, reference.get(), sizeof decoder) != 0)
            fail("translator's decoder differs from a directly driven one", payload_no);

        if (drain) {
            hvn_frame* out = hvn_trans_instance_read(pvt);
            if (waiting.empty()) {
                if (out) fail("frame-out produced audio from nothing", payload_no);
            } else {
                if (!out || out->samples != static_cast<int>(waiting.size()) ||
                    out->datalen != 2 * out->samples || !out->data)
                    fail("frame-out did not hand on exactly the waiting samples", payload_no);
                if (std::memcmp(out->data, waiting.data(), waiting.size() * sizeof(int16_t)) != 0)
                    fail("handed-on samples differ from the directly decoded ones", payload_no);
                if (pvt->samples != 0 || pvt->datalen != 0)
                    fail("frame-out left the counters set", payload_no);
            }
            waiting.clear();
        }
        ++payload_no;
    }
    hvn_trans_instance_destroy(pvt);
    return 0;
}
