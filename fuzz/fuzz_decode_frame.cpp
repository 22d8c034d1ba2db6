// One decoder fed an arbitrary sequence of 10-byte speech frames and 2-byte SID frames, the
// way a far end under an attacker's control could send them. After every unit the whole state
// must be finite and inside the ranges the pipeline promises, and the samples must be exactly
// the rounded synthesis: anything else is a decoder that will sound wrong for the rest of the
// call, or a crash.
//
// Input: a run of units, each a control byte followed by its bytes. Control bit 0 chooses a
// SID frame (2 bytes) over a speech frame (10 bytes); bit 1 also tries an invalid unit size
// first, which must be refused without touching anything. A control byte of 0xF0 or above is
// a frame known to be missing, with no bytes: the decoder conceals it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/decoder.h"
#include "dsp/frame.h"
#include "excitation/excitation_guard.h"
#include "support/state_scan.h"

namespace {

[[noreturn]] void fail(const char* what, size_t unit) {
    std::fprintf(stderr, "fuzz_decode_frame: %s (unit %zu)\n", what, unit);
    std::abort();
}

void check_state(const tarnel::g729_decoder_state& st, size_t unit) {
    const std::string bad = tarnel::test::first_non_finite(st);
    if (!bad.empty()) {
        std::fprintf(stderr, "non-finite value in %s\n", bad.c_str());
        fail("decoder state holds a non-finite value", unit);
    }
    if (!(st.pitch_sharp >= 0.2 && st.pitch_sharp <= 0.7945))
        fail("pitch_sharp out of range", unit);
    // Subframe 2 decodes relative to subframe 1, so 19..144 is the widest any stream reaches.
    if (st.prev_pitch < 19 || st.prev_pitch > 144) fail("previous pitch delay out of range", unit);
    if (st.prev_frame_type != 1 && st.prev_frame_type != 2)
        fail("previous frame type invalid", unit);
    for (double e : st.exc)
        if (std::fabs(e) > tarnel::kExcitationLimit) fail("excitation beyond its bound", unit);
}

// One unit done twice, on the state and on an exact copy of it: a read of anything
// uninitialised or outside the state would show up as a difference. The samples are the rounded
// synthesis, which is held in the state after the frame.
void check_frame(const tarnel::g729_decoder_state& st, const int16_t* pcm,
                 const tarnel::g729_decoder_state& twin, const int16_t* twin_pcm, size_t unit) {
    if (std::memcmp(pcm, twin_pcm, tarnel::kFrame * sizeof *pcm) != 0 ||
        std::memcmp(&st, &twin, sizeof st) != 0)
        fail("decoding is not a function of state and input", unit);
    check_state(st, unit);
    for (int i = 0; i < tarnel::kFrame; ++i)
        if (pcm[i] != tarnel::g729_round_sample(st.syn[i]))
            fail("a sample is not the rounded synthesis value", unit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Heap copies, so that AddressSanitizer's red zones sit right at both ends of each state.
    auto st = std::make_unique<tarnel::g729_decoder_state>();
    auto twin = std::make_unique<tarnel::g729_decoder_state>();
    tarnel::g729_decoder_init(st.get());

    size_t pos = 0;
    size_t unit = 0;
    while (pos < size) {
        const uint8_t control = data[pos++];
        int16_t pcm[tarnel::kFrame];
        int16_t twin_pcm[tarnel::kFrame];
        if (control >= 0xF0) {
            std::memcpy(twin.get(), st.get(), sizeof *st);
            tarnel::g729_conceal_frame(st.get(), pcm);
            tarnel::g729_conceal_frame(twin.get(), twin_pcm);
            check_frame(*st, pcm, *twin, twin_pcm, unit++);
            continue;
        }
        const int unit_size = (control & 1) ? tarnel::kSidFrameBytes : tarnel::kSpeechFrameBytes;
        if (size - pos < static_cast<size_t>(unit_size)) break;
        // An exact-size heap copy: a decoder reading past its unit trips the red zone.
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[unit_size]);
        std::memcpy(bytes.get(), data + pos, static_cast<size_t>(unit_size));
        pos += static_cast<size_t>(unit_size);

        if (control & 2) {
            std::memcpy(twin.get(), st.get(), sizeof *st);
            for (int16_t& s : pcm) s = 0x5A5A;
            const int odd_size = (control >> 2) % 12;
            if (odd_size != tarnel::kSidFrameBytes && odd_size != tarnel::kSpeechFrameBytes) {
                if (tarnel::g729_decode_frame(st.get(), pcm, bytes.get(), odd_size) != -1)
                    fail("an invalid unit size was accepted", unit);
                if (std::memcmp(twin.get(), st.get(), sizeof *st) != 0)
                    fail("a refused unit changed the state", unit);
                for (int16_t s : pcm)
                    if (s != 0x5A5A) fail("a refused unit wrote samples", unit);
            }
        }

        std::memcpy(twin.get(), st.get(), sizeof *st);
        if (tarnel::g729_decode_frame(st.get(), pcm, bytes.get(), unit_size) != 0)
            fail("a valid unit size was refused", unit);
        tarnel::g729_decode_frame(twin.get(), twin_pcm, bytes.get(), unit_size);
        check_frame(*st, pcm, *twin, twin_pcm, unit++);
    }
    return 0;
}
