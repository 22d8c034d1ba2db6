// Warnings from the translator operations go to the host log, attributed to this module.
#pragma once

#include "hvn_logger.h"

// The host log names a file; operators know this module by its name, not by our source layout.
#define TARNEL_WARNING(operation, ...) \
    hvn_log(HVN_LOG_WARNING, "codec_tarnel", __LINE__, operation, __VA_ARGS__)
