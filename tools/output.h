// Writing the program's text to a descriptor.
#pragma once

#include <string>

namespace tarnel_tool {

constexpr const char* kProgram = "tarnel";

void write_text(int fd, const std::string& text);

// One diagnostic line on `fd`: "tarnel: <message>".
void report_error(int fd, const std::string& message);

}  // namespace tarnel_tool
