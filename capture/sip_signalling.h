// The SIP messages that set up a call, read from UDP datagrams: who called whom (Call-ID, From,
// To) and, from the SDP bodies of the INVITE and its answer, where each side receives its audio
// and which RTP payload type means G.729 there. Only what grouping streams into calls needs is
// read; anything that is not a SIP message, or not one of these, is left alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/capture_reader.h"

namespace tarnel::capture {

// The audio description of one side, from an SDP body.
struct sdp_audio {
    bool present = false;        // an m=audio line with a usable address and port
    ip_endpoint address;         // where this side receives RTP
    int g729_payload_type = -1;  // the payload type a=rtpmap maps to G729/8000 (or a bare 18)
};

struct sip_message {
    bool request = false;
    std::string method;       // requests: INVITE, ACK, BYE, CANCEL, ...
    int status = 0;           // responses: 100..699
    std::string cseq_method;  // the method a response answers
    std::string call_id;
    std::string from;  // the header's address, without its tag
    std::string to;
    sdp_audio audio;
};

// True when the datagram holds the start of a SIP request or response with a Call-ID.
bool parse_sip(const uint8_t* data, std::size_t size, sip_message* out);

// Reads the audio of an SDP body. False when it has none.
bool parse_sdp_audio(const std::string& body, sdp_audio* out);

}  // namespace tarnel::capture
