/* A stand-in driver library for the loader tests, built several times from
 * this one source. Compile definitions choose what it exports:
 *   KVX_TEST_LOCAL=1         the local library's own entry points
 *   KVX_TEST_REMOTE=1        the remote library's own entry points
 *   KVX_TEST_OMIT_<name>=1   leaves one entry point out (InitKvxSystem3 or
 *                            any name offered by both libraries)
 * Every library exports all names offered by both libraries unless omitted.
 * The entry points that the tests call record their calls in the exported
 * kvxTest* variables; the rest return 0.
 */
#include <stdint.h>
#include <string.h>

#include "driver/kvxg3_api.h"

#ifndef KVX_TEST_LOCAL
#define KVX_TEST_LOCAL 0
#endif
#ifndef KVX_TEST_REMOTE
#define KVX_TEST_REMOTE 0
#endif

#define KVX_TEST_EXPORT __attribute__((visibility("default")))

/* ---- Observation ------------------------------------------------------- */

/* Calls of KvxClose and KvxG3Close. */
KVX_TEST_EXPORT int32_t kvxTestCloseCalls = 0;
/* When set by a test, each close also counts here: the count outlives the
 * library, which is unloaded right after the close. */
KVX_TEST_EXPORT int32_t* kvxTestCloseObserver = 0;
/* Handle passed to the last remote-form call. */
KVX_TEST_EXPORT int32_t kvxTestLastHandle = 0;
/* Base address passed to the last InitKvxSystem3. */
KVX_TEST_EXPORT int32_t kvxTestLastBaseAddress = 0;
/* Calls of entry points without a behaviour of their own. */
KVX_TEST_EXPORT int32_t kvxTestPlainCalls = 0;

static void countClose(void) {
    ++kvxTestCloseCalls;
    if (kvxTestCloseObserver) ++*kvxTestCloseObserver;
}

__attribute__((unused)) static void fillSystem(void* systemInfo, int32_t axes) {
    uint8_t* info = (uint8_t*)systemInfo;
    memset(info, 0, KVX_SYSTEM_INFO_SIZE);
    memcpy(info, "TAVOS test", 10);
    info[40] = (uint8_t)axes;
}

#define KVX_PLAIN(name)                   \
    KVX_TEST_EXPORT int32_t name(void);   \
    KVX_TEST_EXPORT int32_t name(void) {  \
        ++kvxTestPlainCalls;              \
        return 0;                         \
    }

/* ---- Local library ----------------------------------------------------- */
#if KVX_TEST_LOCAL
#ifndef KVX_TEST_OMIT_InitKvxSystem3
KVX_TEST_EXPORT int32_t InitKvxSystem3(void* axisTable, void* systemInfo, int32_t baseAddress,
                                       const char* systemFile, int32_t* boardType) {
    (void)axisTable;
    (void)systemFile;
    kvxTestLastBaseAddress = baseAddress;
    fillSystem(systemInfo, 2);
    *boardType = 4;
    return KVX_OK;
}
#endif
KVX_TEST_EXPORT int32_t KvxClose(void) {
    countClose();
    return 0;
}
KVX_TEST_EXPORT int32_t CardSelect(int32_t index) { return index; }
KVX_PLAIN(txbf2)
KVX_PLAIN(ReadLinkStatus)
KVX_PLAIN(tvMXI_GetpOSTRACE)
KVX_PLAIN(rdOsTraceBuffer)
#endif

/* ---- Remote library ---------------------------------------------------- */
#if KVX_TEST_REMOTE
KVX_TEST_EXPORT int32_t InitKvxSystem(KvxHandle h, void* axisTable, void* systemInfo,
                                      const char* systemFile, int32_t* boardType) {
    (void)axisTable;
    (void)systemFile;
    kvxTestLastHandle = h;
    fillSystem(systemInfo, 3);
    *boardType = 8;
    return KVX_OK;
}
KVX_TEST_EXPORT int32_t KvxG3Close(KvxHandle h) {
    kvxTestLastHandle = h;
    countClose();
    return 0;
}
KVX_TEST_EXPORT int32_t KvxG3XOpen(const char* url, int32_t reserved, const char* devFile, int32_t mode,
                                   KvxHandle* handle) {
    (void)url;
    (void)reserved;
    (void)devFile;
    (void)mode;
    *handle = 7;
    return 0;
}
KVX_PLAIN(txbf)
KVX_PLAIN(KVXG3_SetDllErrorRoutine)
KVX_PLAIN(KVXG3_ResetDllErrorRoutine)
KVX_PLAIN(KvxG3CheckOSRunning)
KVX_PLAIN(KvxG3CpuSoftReset)
KVX_PLAIN(KvxG3StopOS)
#define KVX_REMOTE_FILE(name) KVX_PLAIN(name)
#include "driver/entry_points.def"
#endif

/* ---- Offered by both libraries ----------------------------------------- */

/* KVX_IS_ONE(x) is 1 when x expands to 1, else 0; an omitted entry point is
 * still compiled, but static, so it is not exported. */
#define KVX_CAT(a, b) KVX_CAT_(a, b)
#define KVX_CAT_(a, b) a##b
#define KVX_ONE_PLACEHOLDER_1 0,
#define KVX_SECOND(a, b, ...) b
#define KVX_IS_ONE(x) KVX_IS_ONE_(KVX_CAT(KVX_ONE_PLACEHOLDER_, x))
#define KVX_IS_ONE_(argOrJunk) KVX_SECOND(argOrJunk 1, 0, ~)
#define KVX_LINKAGE_0 KVX_TEST_EXPORT
#define KVX_LINKAGE_1 static __attribute__((unused))
#define KVX_LINKAGE(name) KVX_CAT(KVX_LINKAGE_, KVX_IS_ONE(KVX_TEST_OMIT_##name))

#define KVX_SHARED(name)                     \
    KVX_LINKAGE(name) int32_t name(void);    \
    KVX_LINKAGE(name) int32_t name(void) {   \
        ++kvxTestPlainCalls;                 \
        return 0;                            \
    }
#include "driver/entry_points.def"
