// Regenerates samples/call.pcap from samples/speech.wav:
//   make_call_pcap [SPEECH.wav [OUT.pcap]]
// with the defaults relative to the current directory, so that `build/make_call_pcap` run from
// the top of the source tree rewrites the bundled capture.
#include <cstdio>
#include <string>

#include "capture/capture_writer.h"
#include "media/audio_file.h"

int main(int argc, char** argv) {
    if (argc > 3 || (argc > 1 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
        std::printf("Usage: make_call_pcap [SPEECH.wav [OUT.pcap]]\n"
                    "Writes a 9 s two-way G.729 call over RTP, with silent periods of SID frames,\n"
                    "made from the speech recording (default samples/speech.wav, written to\n"
                    "samples/call.pcap).\n");
        return argc > 3 ? 2 : 0;
    }
    const std::string speech_path = argc > 1 ? argv[1] : "samples/speech.wav";
    const std::string out_path = argc > 2 ? argv[2] : "samples/call.pcap";
    const tarnel::media::pcm_result speech = tarnel::media::read_pcm(speech_path, false);
    std::string error = speech.error;
    if (error.empty())
        tarnel::capture::write_capture(out_path, tarnel::capture::sample_call(speech.samples), &error);
    if (!error.empty()) {
        std::fprintf(stderr, "make_call_pcap: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
