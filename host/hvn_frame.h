/* Media frames passed between the host and translators. */
#ifndef HVN_FRAME_H
#define HVN_FRAME_H

#include "hvn_common.h"
#include "hvn_format.h"

HVN_BEGIN_DECLS

enum hvn_frame_type {
    HVN_FRAME_DTMF = 1,
    HVN_FRAME_VOICE = 2,
    HVN_FRAME_VIDEO = 3,
    HVN_FRAME_CONTROL = 4,
    HVN_FRAME_NULL = 5,
};

struct hvn_frame {
    int frametype;             /* enum hvn_frame_type */
    struct hvn_format *format; /* format of the payload */
    int datalen;               /* payload length in bytes */
    int samples;               /* samples the payload represents */
    const char *src;           /* who produced the frame, for diagnostics */
    void *data;                /* payload */
};

HVN_END_DECLS

#endif
