// The two static frames the host may ask a translator for, to try a translation path.
#pragma once

#include "hvn_frame.h"

namespace tarnel::module {

// Both return the same static frame on every call, carrying the host's current format object.
hvn_frame* lintog729_sample() noexcept;
hvn_frame* g729tolin_sample() noexcept;

// Stamps both with the current formats; the load does it first, before any channel can ask.
void stamp_sample_frames() noexcept;

}  // namespace tarnel::module
