// Options and operands of the subcommands, and the program's usage errors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/command.h"

namespace tarnel::tool {

// Declares a subcommand's options, then splits its arguments into options and operands.
// "-" is an operand (standard input or output); "--" ends the options. Options taking a value
// accept it as the next argument or after "=".
class arg_parser {
public:
    arg_parser(context& ctx, const char* command) : ctx_(ctx), command_(command) {}

    void flag(const char* name, bool* seen);
    void value(const char* name, std::string* out, bool* given = nullptr);

    // False after reporting a usage error.
    bool parse(const std::vector<std::string>& args, std::vector<std::string>* operands);

    // Reports "COMMAND: MESSAGE (try 'tarnel COMMAND --help')" and returns kExitUsage.
    int usage_error(const std::string& message) const;

    // 0 when the operands are exactly an input and an output; otherwise reports and returns
    // kExitUsage.
    int expect_in_out(const std::vector<std::string>& files) const;

private:
    struct option {
        std::string name;
        bool* flag = nullptr;
        std::string* value = nullptr;
        bool* given = nullptr;
    };
    const option* find(const std::string& name) const;

    context& ctx_;
    std::string command_;
    std::vector<option> options_;
};

// Whole decimal numbers in [min, max]; false for anything else (signs, spaces, overflow).
bool parse_int(const std::string& text, long min, long max, long* out);
// A finite decimal number in [min, max].
bool parse_number(const std::string& text, double min, double max, double* out);
// A 32-bit value written in decimal or as 0x-prefixed hexadecimal.
bool parse_u32(const std::string& text, uint32_t* out);

}  // namespace tarnel::tool
