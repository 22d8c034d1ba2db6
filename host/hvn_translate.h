/* Translator interface: codec modules convert frames between formats through translator
 * descriptors that they register with the host's translation core. */
#ifndef HVN_TRANSLATE_H
#define HVN_TRANSLATE_H

#include <stdint.h>

#include "hvn_common.h"
#include "hvn_format.h"
#include "hvn_frame.h"
#include "hvn_module.h"

HVN_BEGIN_DECLS

#define HVN_TRANSLATOR_NAME_LEN 80
#define HVN_FORMAT_NAME_LEN 80

struct hvn_codec {
    unsigned int id;
    const char *name;
    const char *description;
    int type; /* enum hvn_media_type */
    unsigned int sample_rate;
    unsigned int minimum_ms;
    unsigned int maximum_ms;
    unsigned int default_ms;
    unsigned int minimum_bytes;
    int (*samples_count)(struct hvn_frame *frame);
    int (*get_length)(unsigned int samples);
};

struct hvn_trans_pvt;

/* A translator descriptor. The module owns it; the host fills the bookkeeping fields at
 * registration. For every instance the host allocates `desc_size` bytes of private area and a
 * `buf_size`-byte output buffer, both zeroed. Without a frameout operation the host's default
 * frame-out hands on the instance's counted output (see hvn_trans_frameout). */
struct hvn_translator {
    char name[HVN_TRANSLATOR_NAME_LEN];
    struct hvn_codec src_codec;
    struct hvn_codec dst_codec;
    char format[HVN_FORMAT_NAME_LEN]; /* format name of the frames the translator produces */

    int (*newpvt)(struct hvn_trans_pvt *pvt);
    int (*framein)(struct hvn_trans_pvt *pvt, struct hvn_frame *in);
    struct hvn_frame *(*frameout)(struct hvn_trans_pvt *pvt);
    void (*destroy)(struct hvn_trans_pvt *pvt);
    struct hvn_frame *(*sample)(void);

    int buffer_samples; /* output capacity in samples */
    int buf_size;       /* output buffer size in bytes */
    int desc_size;      /* private area size in bytes */

    /* Host bookkeeping. */
    struct hvn_module *module;
    int active;
};

/* One translation path. */
struct hvn_trans_pvt {
    struct hvn_translator *t;
    struct hvn_frame f; /* the frame handed out by frame-out */
    int samples;        /* samples waiting (meaning is up to the translator) */
    int datalen;        /* bytes waiting in the output buffer */
    void *pvt;          /* private area */
    union {
        char *c;
        uint8_t *uc;
        int16_t *i16;
    } outbuf;
};

/* Returns 0 on success, non-zero when the translator cannot be registered. */
HVN_API int __hvn_register_translator(struct hvn_translator *t, struct hvn_module *module);
/* Returns 0 when the translator was registered, -1 otherwise. */
HVN_API int hvn_unregister_translator(struct hvn_translator *t);

/* Builds the instance's output frame over its output buffer, in the translator's output format.
 * A non-zero `samples` / `datalen` is used as given and leaves the instance's counter alone;
 * zero takes the instance's counter and resets it. With both the sample argument and the
 * sample counter zero there is nothing to hand on and the result is NULL. */
HVN_API struct hvn_frame *hvn_trans_frameout(struct hvn_trans_pvt *pvt, int datalen, int samples);

HVN_END_DECLS

#endif
