/* Media formats known to the host. */
#ifndef HVN_FORMAT_H
#define HVN_FORMAT_H

#include "hvn_common.h"

HVN_BEGIN_DECLS

enum hvn_media_type {
    HVN_MEDIA_UNKNOWN = 0,
    HVN_MEDIA_AUDIO = 1,
    HVN_MEDIA_VIDEO = 2,
    HVN_MEDIA_TEXT = 3,
};

struct hvn_format {
    const char *name; /* e.g. "slin" */
    int media_type;   /* enum hvn_media_type */
    unsigned int sample_rate;
};

/* The current format objects. The host may replace them at run time (when it rebuilds its
 * format cache), so read the pointer when it is needed rather than keeping a copy. */
extern HVN_API struct hvn_format *hvn_format_slin;
extern HVN_API struct hvn_format *hvn_format_g729;

HVN_END_DECLS

#endif
