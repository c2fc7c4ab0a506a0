/* C interface of the controller driver libraries (kvxg3.dll, kvxg3X.DLL).
 *
 * The monitor binds these entry points by name at run time; the replacement
 * libraries of the simulator export them with C linkage. An operation offered
 * by both libraries has a local form and a remote form; the remote form takes
 * the connection handle first and otherwise the same arguments, except where
 * noted. All record words are little-endian; the records are owned by the
 * caller and passed by address (layouts in driver/records.h).
 */
#ifndef KVX_DRIVER_KVXG3_API_H
#define KVX_DRIVER_KVXG3_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t KvxHandle;

/* Called by the remote library on a network failure: a code (ignored by the
 * monitor) and a zero-terminated message text. */
typedef void (*KvxErrorRoutine)(int32_t code, const char* message);

/* Result codes of the system initialisation. */
enum {
    KVX_OK = 0,
    KVX_INIT_NO_SYSTEM_FILE = 20,   /* system file not loaded */
    KVX_INIT_VERSION_CONFLICT = 33, /* library and TAVOS.ELF versions conflict */
    KVX_INIT_NO_MINIPORT = 34,      /* miniport (kernel) driver not available */
    KVX_OPTION_READ = 4             /* rdOptionInt: the value was written */
};

/* Result codes of the replacement libraries beyond the ones above. */
enum {
    KVX_E_NOT_SUPPORTED = -100,  /* entry point exists but the replacement does not implement it */
    KVX_E_NO_CONNECTION = -101,  /* daemon or web service not reachable */
    KVX_E_BAD_HANDLE = -102,     /* remote handle not open */
    KVX_E_PROTOCOL = -103,       /* malformed answer from the daemon */
    KVX_E_NO_FILE = -104,        /* boot file does not exist */
    KVX_E_NO_CARD = -105,        /* no card with that index */
    KVX_E_BAD_ARGUMENT = -106    /* null pointer, unknown record or malformed URL */
};

/* Record sizes the caller reserves. */
enum {
    KVX_AXIS_RECORD_SIZE = 240,
    KVX_AXIS_COUNT_MAX = 18,
    KVX_SYSTEM_INFO_SIZE = 292,
    KVX_STATUS_RECORD_SIZE = 240,
    KVX_TASK_STATE_SIZE = 20,
    KVX_TASK_FILE_SIZE = 588,
    KVX_ENV_BUFFER_SIZE = 256,
    KVX_OPTION_DESCRIPTOR_WORDS = 7
};

/* ---- Local forms -------------------------------------------------------- */

/* Initialises the selected card. Fills axisTable (18 records), systemInfo
 * (292 bytes) and *boardType (4, 8, 16, 32 for the known boards) on 0.
 * Returns 0, 20, 33, 34 or another error code. */
typedef int32_t (*KvxInitLocalFn)(void* axisTable, void* systemInfo, int32_t baseAddress,
                                  const char* systemFile, int32_t* boardType);
/* Loads and starts the controller OS from bootFile; 0 on success. */
typedef int32_t (*KvxBootLocalFn)(const char* bootFile, int32_t baseAddress);
/* Selects card `index`; returns the same index when it exists. */
typedef int32_t (*KvxCardSelectFn)(int32_t index);
/* Ends local card access; the result is ignored. */
typedef int32_t (*KvxCloseLocalFn)(void);
/* Fills a status record of `size` bytes (240). */
typedef int32_t (*KvxStatusLocalFn)(void* statusRecord, int32_t size);
/* Operations on one axis record (rdaxst, rdasms, rdasmecs, rdmpe, rdigi) or,
 * for rdifs, on the axis table (record 0). */
typedef int32_t (*KvxRecordLocalFn)(void* record);
/* rddigib: nonzero for an encoder error at `axis`; `count` is always 18. */
typedef int32_t (*KvxDigibLocalFn)(int32_t axis, int32_t count);
/* rdOptionInt: returns 4 when *value was written. */
typedef int32_t (*KvxOptionLocalFn)(void* descriptor, int32_t* value);
/* getEnvStr: buffer of 256 bytes holds the variable name on entry and its
 * value on success (result > 0). */
typedef int32_t (*KvxEnvLocalFn)(char* buffer);
/* rdOsVersion (0 = written), rdPldVersion, rdSampleTime, rdErrorReg,
 * wrErrorReg (reads *value, 0 clears the register). */
typedef int32_t (*KvxIntLocalFn)(int32_t* value);
/* rdDriverVersion: the nibble-coded miniport version word. */
typedef int32_t (*KvxDriverVersionFn)(void);
/* tvMXI_OpCodeToLinkMTX: sends an op code (1003, 1002) to card `card`. */
typedef int32_t (*KvxOpCodeLocalFn)(int32_t card, int32_t opcode);
/* rdcncts (20-byte state record), getcnctfh (588-byte file record). */
typedef int32_t (*KvxTaskLocalFn)(int32_t task, void* record);

/* ---- Remote forms ------------------------------------------------------- */

typedef int32_t (*KvxInitRemoteFn)(KvxHandle h, void* axisTable, void* systemInfo,
                                   const char* systemFile, int32_t* boardType);
typedef int32_t (*KvxBootRemoteFn)(KvxHandle h, const char* osFile);
/* Opens the connection: url, 0, device file name, 5, out handle; 0 = open. */
typedef int32_t (*KvxOpenRemoteFn)(const char* url, int32_t reserved, const char* devFile,
                                   int32_t mode, KvxHandle* handle);
typedef int32_t (*KvxCloseRemoteFn)(KvxHandle h);
typedef int32_t (*KvxSetErrorRoutineFn)(KvxHandle h, KvxErrorRoutine routine);
typedef int32_t (*KvxStatusRemoteFn)(KvxHandle h, void* statusRecord, int32_t size);
typedef int32_t (*KvxRecordRemoteFn)(KvxHandle h, void* record);
typedef int32_t (*KvxDigibRemoteFn)(KvxHandle h, int32_t axis, int32_t count);
typedef int32_t (*KvxOptionRemoteFn)(KvxHandle h, void* descriptor, int32_t* value);
typedef int32_t (*KvxEnvRemoteFn)(KvxHandle h, char* buffer);
typedef int32_t (*KvxIntRemoteFn)(KvxHandle h, int32_t* value);
typedef int32_t (*KvxOpCodeRemoteFn)(KvxHandle h, int32_t opcode);
typedef int32_t (*KvxTaskRemoteFn)(KvxHandle h, int32_t task, void* record);

/* Takes nothing, does nothing: fills the slots of the other mode's entry points. */
typedef void (*KvxEmptyRoutineFn)(void);

#ifdef __cplusplus
}
#endif

#endif
