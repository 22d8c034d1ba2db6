#include "capture/sip_signalling.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace tarnel::capture {
namespace {

// SIP messages fit in a datagram; one larger than this is not worth the work.
constexpr std::size_t kMaxSipMessage = 65535;

std::string trim(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// "Alice" <sip:alice@example.com>;tag=1928 -> "Alice" <sip:alice@example.com>
std::string without_tag(const std::string& value) {
    const std::size_t close = value.find('>');
    std::size_t at = lower(value).find(";tag=", close == std::string::npos ? 0 : close);
    return trim(at == std::string::npos ? value : value.substr(0, at));
}

bool parse_address(const std::string& text, ip_endpoint* out) {
    uint8_t bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        out->family = 4;
        out->address.fill(0);
        std::memcpy(out->address.data(), bytes, 4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        out->family = 6;
        std::memcpy(out->address.data(), bytes, 16);
        return true;
    }
    return false;
}

bool is_g729_name(std::string name) {
    name = lower(name);
    return name == "g729/8000" || name == "g729a/8000" || name == "g729/8000/1" ||
           name == "g729a/8000/1";
}

}  // namespace

bool parse_sdp_audio(const std::string& body, sdp_audio* out) {
    *out = sdp_audio{};
    std::istringstream lines(body);
    std::string line;
    ip_endpoint session_address, media_address;
    bool have_session = false, have_media_address = false, in_audio = false, seen_audio = false;
    long port = -1;
    bool static_g729 = false;
    int mapped = -1;
    while (std::getline(lines, line)) {
        line = trim(line);
        if (line.size() < 2 || line[1] != '=') continue;
        const char kind = line[0];
        const std::string value = line.substr(2);
        if (kind == 'm') {
            // Only the first audio description counts: that is where the call's voice goes.
            if (seen_audio) {
                in_audio = false;
                if (port >= 0) break;
                continue;
            }
            std::istringstream m(value);
            std::string media, proto;
            long p = -1;
            m >> media >> p >> proto;
            in_audio = media == "audio" && p > 0 && p < 65536 && starts_with(proto, "RTP/");
            if (!in_audio) continue;
            seen_audio = true;
            port = p;
            std::string format;
            while (m >> format) static_g729 = static_g729 || format == "18";
        } else if (kind == 'c') {
            std::istringstream c(value);
            std::string net, type, address;
            c >> net >> type >> address;
            address = address.substr(0, address.find('/'));  // multicast TTL
            ip_endpoint e;
            if (net != "IN" || !parse_address(address, &e)) continue;
            if (in_audio) {
                media_address = e;
                have_media_address = true;
            } else if (!seen_audio) {
                session_address = e;
                have_session = true;
            }
        } else if (kind == 'a' && in_audio && starts_with(value, "rtpmap:")) {
            std::istringstream a(value.substr(7));
            int pt = -1;
            std::string name;
            a >> pt >> name;
            if (pt >= 0 && pt < 128 && is_g729_name(name) && mapped < 0) mapped = pt;
        }
    }
    if (port < 0 || (!have_media_address && !have_session)) return false;
    out->present = true;
    out->address = have_media_address ? media_address : session_address;
    out->address.port = static_cast<uint16_t>(port);
    out->g729_payload_type = mapped >= 0 ? mapped : static_g729 ? 18 : -1;
    return true;
}

bool parse_sip(const uint8_t* data, std::size_t size, sip_message* out) {
    if (data == nullptr || size < 12 || size > kMaxSipMessage) return false;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t first_end =
        text.find("\r\n") != std::string::npos ? text.find("\r\n") : text.find('\n');
    if (first_end == std::string::npos) return false;
    const std::string first = text.substr(0, first_end);
    *out = sip_message{};
    if (starts_with(first, "SIP/2.0 ")) {
        if (first.size() < 11 || !std::isdigit(static_cast<unsigned char>(first[8]))) return false;
        out->status = std::atoi(first.c_str() + 8);
        if (out->status < 100 || out->status > 699) return false;
    } else {
        const std::size_t space = first.find(' ');
        if (space == std::string::npos || space == 0 || first.size() < 8 ||
            first.compare(first.size() - 8, 8, " SIP/2.0") != 0)
            return false;
        out->method = first.substr(0, space);
        for (char c : out->method)
            if (!std::isupper(static_cast<unsigned char>(c))) return false;
        out->request = true;
    }

    // Headers up to the blank line; the body after it.
    std::size_t blank = text.find("\r\n\r\n");
    std::size_t body_at = blank == std::string::npos ? std::string::npos : blank + 4;
    if (blank == std::string::npos) {
        blank = text.find("\n\n");
        body_at = blank == std::string::npos ? std::string::npos : blank + 2;
    }
    std::istringstream headers(
        text.substr(first_end, blank == std::string::npos ? std::string::npos : blank - first_end));
    std::string line, content_type;
    while (std::getline(headers, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = lower(trim(line.substr(0, colon)));
        const std::string value = trim(line.substr(colon + 1));
        if (name == "call-id" || name == "i") {
            out->call_id = value;
        } else if (name == "from" || name == "f") {
            out->from = without_tag(value);
        } else if (name == "to" || name == "t") {
            out->to = without_tag(value);
        } else if (name == "cseq") {
            std::istringstream c(value);
            long n = 0;
            c >> n >> out->cseq_method;
        } else if (name == "content-type" || name == "c") {
            content_type = lower(value);
        }
    }
    if (out->call_id.empty()) return false;
    if (body_at != std::string::npos && body_at < text.size() &&
        starts_with(content_type, "application/sdp"))
        parse_sdp_audio(text.substr(body_at), &out->audio);
    return true;
}

}  // namespace tarnel::capture
