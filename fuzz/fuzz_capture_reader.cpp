// libFuzzer target: arbitrary bytes as a capture file, read with fragment reassembly, SIP
// signalling and call grouping, every call planned as the decoder would play it.
//
// Checks: nothing crashes, leaks or reads out of bounds; every delivered datagram lies within
// what was captured; every plan covers its timeline without gaps or overlaps; the reassembler
// holds nothing once the capture ends.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "capture/calls.h"
#include "capture/capture_reader.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_capture_reader: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnel::capture;
    std::FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!in) return 0;
    call_options options;
    options.rtp.max_stream_seconds = 600;  // bounds the plans' length, not their shape
    uint64_t calls = 0;
    call_tracker tracker(options, [&calls](call_record&& call) {
        ++calls;
        check(call.streams.size() + call.other_streams.size() > 0 || call.signalled,
              "a call with nothing in it");
        for (const call_stream& s : call.streams) {
            check(s.channel == 0 || s.channel == 1, "channel");
            uint64_t at = 0;
            for (const playout_event& e : s.stream.plan) {
                check(e.offset == at, "plan not contiguous");
                at += e.samples;
            }
            check(at == s.stream.stats.samples, "plan length");
            check(s.stream.stats.played <= s.stream.stats.packets, "played more than received");
        }
    });
    capture_summary summary;
    std::string error;
    read_options read;
    read.reassembly.max_bytes = 1 << 20;
    read_capture_stream(
        in, "fuzz",
        [&](const udp_datagram& d) {
            check(d.payload_size <= d.original_size, "payload longer than sent");
            check(d.payload_size == 0 || d.payload != nullptr, "payload without bytes");
            tracker.add(d);
        },
        &summary, &error, read);
    tracker.finish();
    std::fclose(in);
    check(tracker.calls_in_progress() == 0, "calls left in progress");
    check(calls == tracker.stats().calls, "calls lost");
    return 0;
}
