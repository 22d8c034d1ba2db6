// Helpers shared by the test executables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnel::test {

// Path of a file in the source tree, e.g. source_path("samples/speech.wav").
std::string source_path(const std::string& relative);

// The bundled speech sample: 8 kHz mono 16-bit samples.
std::vector<int16_t> load_speech_sample();

}  // namespace tarnel::test
