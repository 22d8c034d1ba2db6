#include "tools/cmd_args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tarnel::tool {

void arg_parser::flag(const char* name, bool* seen) {
    option o;
    o.name = name;
    o.flag = seen;
    options_.push_back(o);
}

void arg_parser::value(const char* name, std::string* out, bool* given) {
    option o;
    o.name = name;
    o.value = out;
    o.given = given;
    options_.push_back(o);
}

const arg_parser::option* arg_parser::find(const std::string& name) const {
    for (const option& o : options_)
        if (o.name == name) return &o;
    return nullptr;
}

int arg_parser::usage_error(const std::string& message) const {
    report_error(ctx_.io.err,
                 command_ + ": " + message + " (try 'tarnel " + command_ + " --help')");
    return kExitUsage;
}

int arg_parser::expect_in_out(const std::vector<std::string>& files) const {
    if (files.size() == 2) return 0;
    return usage_error(files.size() < 2 ? "needs an input and an output file"
                                        : "unexpected argument '" + files[2] + "'");
}

bool arg_parser::parse(const std::vector<std::string>& args, std::vector<std::string>* operands) {
    bool operands_only = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (operands_only || a == "-" || a.empty() || a[0] != '-') {
            operands->push_back(a);
            continue;
        }
        if (a == "--") {
            operands_only = true;
            continue;
        }
        const size_t eq = a.find('=');
        const std::string name = eq == std::string::npos ? a : a.substr(0, eq);
        const option* o = find(name);
        if (!o) {
            usage_error("unknown option '" + name + "'");
            return false;
        }
        if (o->flag) {
            if (eq != std::string::npos) {
                usage_error("option '" + name + "' takes no value");
                return false;
            }
            *o->flag = true;
            continue;
        }
        if (eq != std::string::npos) {
            *o->value = a.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            *o->value = args[++i];
        } else {
            usage_error("option '" + name + "' needs a value");
            return false;
        }
        if (o->given) *o->given = true;
    }
    return true;
}

bool parse_int(const std::string& text, long min, long max, long* out) {
    if (text.empty() || text.size() > 18) return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < min || v > max) return false;
    *out = v;
    return true;
}

bool parse_number(const std::string& text, double min, double max, double* out) {
    if (text.empty() || !(text[0] == '.' || (text[0] >= '0' && text[0] <= '9'))) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < min || v > max) return false;
    *out = v;
    return true;
}

bool parse_u32(const std::string& text, uint32_t* out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u)) return false;
    uint64_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    }
    if (v > 0xFFFFFFFFu) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace tarnel::tool
