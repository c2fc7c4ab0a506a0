/* A driver library whose every entry point fails: each one returns -1 and
 * writes nothing. It exports the local and the remote set, so it loads and
 * passes validation in either mode; what the monitor does with a library
 * that answers nothing but errors is then up to the monitor alone.
 */
#include <stdint.h>

#define KVX_FAILING_EXPORT __attribute__((visibility("default")))

/* Calls made, over all entry points. */
KVX_FAILING_EXPORT int32_t kvxFailingCalls = 0;

#define KVX_FAILING(name)                   \
    KVX_FAILING_EXPORT int32_t name(void);  \
    KVX_FAILING_EXPORT int32_t name(void) { \
        ++kvxFailingCalls;                  \
        return -1;                          \
    }

#define KVX_SHARED(name) KVX_FAILING(name)
#define KVX_PAIR(op, localName, remoteName) KVX_FAILING(localName) KVX_FAILING(remoteName)
#define KVX_LOCAL(name) KVX_FAILING(name)
#define KVX_REMOTE(name) KVX_FAILING(name)
#define KVX_REMOTE_FILE(name) KVX_FAILING(name)
#include "driver/entry_points.def"
