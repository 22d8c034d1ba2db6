// Regenerates samples/call.pcap from samples/speech.wav, or writes a large capture of many
// simultaneous calls for measuring `tarnel decode --pcap`:
//   make_call_pcap [SPEECH.wav [OUT.pcap]]
//   make_call_pcap --calls N --seconds S [--pcapng] SPEECH.wav OUT
// with the defaults relative to the current directory, so that `build/make_call_pcap` run from
// the top of the source tree rewrites the bundled capture.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/capture_writer.h"
#include "media/audio_file.h"

namespace {

const char* const kUsage =
    "Usage: make_call_pcap [SPEECH.wav [OUT.pcap]]\n"
    "       make_call_pcap --calls N --seconds S [--pcapng] SPEECH.wav OUT\n"
    "Writes a 9 s two-way G.729 call over RTP, with silent periods of SID frames, made from\n"
    "the speech recording (default samples/speech.wav, written to samples/call.pcap); or N\n"
    "simultaneous two-way calls of S seconds each with their SIP signalling.\n";

int fail(const std::string& error) {
    std::fprintf(stderr, "make_call_pcap: %s\n", error.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int calls = 0, seconds = 0;
    tarnel::capture::capture_layout layout;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            std::printf("%s", kUsage);
            return 0;
        }
        if ((args[i] == "--calls" || args[i] == "--seconds") && i + 1 < args.size()) {
            (args[i] == "--calls" ? calls : seconds) = std::atoi(args[i + 1].c_str());
            ++i;
        } else if (args[i] == "--pcapng") {
            layout.pcapng = true;
        } else {
            files.push_back(args[i]);
        }
    }
    const bool many = calls > 0 || seconds > 0;
    if (files.size() > 2 || (many && (calls <= 0 || seconds <= 0 || files.size() != 2))) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    const std::string speech_path = files.size() > 0 ? files[0] : "samples/speech.wav";
    const std::string out_path = files.size() > 1 ? files[1] : "samples/call.pcap";
    const tarnel::media::pcm_result speech = tarnel::media::read_pcm(speech_path, false);
    if (!speech.ok()) return fail(speech.error);
    std::string error;
    const bool ok = many ? tarnel::capture::write_many_calls(out_path, speech.samples, calls,
                                                             seconds, layout, &error)
                         : tarnel::capture::write_capture(
                               out_path, tarnel::capture::sample_call(speech.samples), &error);
    return ok ? 0 : fail(error);
}
