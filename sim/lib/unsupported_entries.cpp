// Every entry point of one library's set, answering KVX_E_NOT_SUPPORTED. The
// loader binds and validates all of them although the monitor calls only a
// few; those few have real definitions in the library's entry file, which
// override these weak ones at link time. Built once per library with
// KVXSIM_LOCAL_SET or KVXSIM_REMOTE_SET defined.
//
// No prototype of the real entry points is visible here: the stubs take
// nothing and are never called with arguments.
#include <cstdint>

#include "driver/kvxg3_api.h"
#include "lib/export.h"

#define KVXSIM_STUB(name) \
    KVX_EXPORT __attribute__((weak)) int32_t name(void) { return KVX_E_NOT_SUPPORTED; }

#if defined(KVXSIM_LOCAL_SET)
#define KVX_SHARED(name) KVXSIM_STUB(name)
#define KVX_PAIR(op, localName, remoteName) KVXSIM_STUB(localName)
#define KVX_LOCAL(name) KVXSIM_STUB(name)
#elif defined(KVXSIM_REMOTE_SET)
#define KVX_SHARED(name) KVXSIM_STUB(name)
#define KVX_PAIR(op, localName, remoteName) KVXSIM_STUB(remoteName)
#define KVX_REMOTE(name) KVXSIM_STUB(name)
#define KVX_REMOTE_FILE(name) KVXSIM_STUB(name)
#else
#error "define KVXSIM_LOCAL_SET or KVXSIM_REMOTE_SET"
#endif

#include "driver/entry_points.def"
