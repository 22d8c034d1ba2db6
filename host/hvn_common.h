/* Declarations shared by every public host header. */
#ifndef HVN_COMMON_H
#define HVN_COMMON_H

#ifdef __cplusplus
#define HVN_BEGIN_DECLS extern "C" {
#define HVN_END_DECLS }
#else
#define HVN_BEGIN_DECLS
#define HVN_END_DECLS
#endif

/* Modules are built with hidden visibility; the host's entry points must stay visible to them
 * whatever the host itself was built with. */
#define HVN_API __attribute__((visibility("default")))

#endif
