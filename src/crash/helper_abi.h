/* The C interface between the host's crash report loader and the crash report helper library:
   the exports, the configuration record's layout and the record passed to the crash callback.
   Plain C, no OS header: it is shared by the loader (core) and the helper (built on its own). */
#ifndef VYO_CRASH_HELPER_ABI_H
#define VYO_CRASH_HELPER_ABI_H
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VYO_CRASH_RECORD_SIZE 240
/* Byte offsets in the configuration record (all other bytes are zero). */
#define VYO_CRASH_RECORD_OFF_SIZE 0          /* u16 240 */
#define VYO_CRASH_RECORD_OFF_PRODUCT 8       /* wide text* */
#define VYO_CRASH_RECORD_OFF_VERSION 16      /* wide text* */
#define VYO_CRASH_RECORD_OFF_FOLDER 48       /* wide text*: where reports go */
#define VYO_CRASH_RECORD_OFF_FLAGS 76        /* u32 0x3FFF */
#define VYO_CRASH_RECORD_OFF_DBGHELP 88      /* wide text* */
#define VYO_CRASH_RECORD_OFF_ZERO 96         /* u32 0 */
#define VYO_CRASH_RECORD_OFF_QUERY_URL 168   /* wide text* */
#define VYO_CRASH_RECORD_OFF_META_URL 176    /* wide text* */
#define VYO_CRASH_RECORD_OFF_FILE_URL 184    /* wide text* */
#define VYO_CRASH_RECORD_OFF_OPTION1 200     /* u64 */
#define VYO_CRASH_RECORD_OFF_USER_ID 208     /* u64 */
#define VYO_CRASH_RECORD_OFF_OPTION2 216     /* u32 */
#define VYO_CRASH_RECORD_OFF_RESERVED 224    /* u64 0 */
#define VYO_CRASH_RECORD_OFF_LAST 232        /* u32 3 */

/* Wide text is UTF-16 on both platforms. */
typedef uint16_t VyoCrashWideChar;

/* The layout of the Windows x64 exception record, which the Linux helper fills the same way:
   information[0] is 0 for a read and 1 for a write, information[1] the data address (access
   faults). */
typedef struct VyoExceptionRecord {
  uint32_t code;
  uint32_t flags;
  struct VyoExceptionRecord* next;
  void* address; /* the faulting instruction */
  uint32_t parameter_count;
  uintptr_t information[15];
} VyoExceptionRecord;

typedef struct VyoExceptionPointers {
  VyoExceptionRecord* record;
  void* context; /* the machine context of the fault */
} VyoExceptionPointers;

/* exception_type: 0 for a Windows exception, the signal number on Linux. */
typedef struct VyoCrashBlock {
  VyoExceptionPointers* pointers;
  int32_t exception_type;
  uint32_t exception_code;
} VyoCrashBlock;

/* stage: 1 when the helper wrote its report before calling back, 0 when it could not. */
typedef struct VyoCrashCallbackInfo {
  int32_t stage;
  VyoCrashBlock* crash;
} VyoCrashCallbackInfo;

typedef int (*VyoCrashCallback)(const VyoCrashCallbackInfo* info);

typedef int32_t (*VyoInitCrashReportHelperFn)(const void* record);
typedef void (*VyoUninitCrashReportHelperFn)(void);
typedef void (*VyoSetCrashReportHelperOfflineFn)(uint32_t value);
typedef void (*VyoSetCrashReportHelperCallbackFn)(VyoCrashCallback callback, void* reserved);
typedef void (*VyoAddCrashReportHelperFileFn)(const VyoCrashWideChar* path);
typedef void (*VyoUpdateCrashReportHelperUserIdFn)(uint64_t user_id);
/* Optional export (the Linux helper): takes its list of loaded modules again after a library was
   loaded, so that addresses in it are named in reports. */
typedef void (*VyoRefreshCrashReportHelperModulesFn)(void);

/* Diagnostics of the project's helper (not used by the host): the calls it received, in order,
   and the configuration record as it was handed over. */
enum {
  VYO_HELPER_CALL_INIT = 1,
  VYO_HELPER_CALL_UNINIT = 2,
  VYO_HELPER_CALL_OFFLINE = 3,
  VYO_HELPER_CALL_CALLBACK = 4,
  VYO_HELPER_CALL_ADD_FILE = 5,
  VYO_HELPER_CALL_USER_ID = 6
};
#define VYO_HELPER_MAX_CALLS 32
typedef struct VyoCrashHelperState {
  uint32_t calls[VYO_HELPER_MAX_CALLS];
  uint32_t call_count;
  uint32_t offline;
  uint64_t user_id;
  int32_t initialised;
  int32_t has_callback;
  uint8_t record[VYO_CRASH_RECORD_SIZE];
} VyoCrashHelperState;
typedef void (*VyoGetCrashReportHelperStateFn)(VyoCrashHelperState* out);

#ifdef __cplusplus
}
#endif
#endif
