// The crash report helper for Windows: an unhandled-exception filter writes a minidump into the
// crash folder, calls the registered callback and ends the process with the exception code.
// dbghelp.dll is loaded by full path at initialisation (from the crash folder when it is there,
// otherwise from the system folder), never through the default search order and never during a
// crash.
#include <windows.h>
#include <dbghelp.h>

#include <cwchar>

#include "helper_common.h"

namespace vyo::crash_helper {
namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

wchar_t g_folder[MAX_PATH];
HMODULE g_dbghelp = nullptr;
MiniDumpWriteDumpFn g_write_dump = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;
bool g_installed = false;
volatile LONG g_crashing_thread = 0;

bool IsDebuggerNotification(DWORD code) {
  return code == 0x40010006u || code == 0x40010007u || code == 0x4001000Au || code == 0x406D1388u;
}

// Copies record text into a fixed buffer; false when it does not fit.
bool CopyWide(const VyoCrashWideChar* text, wchar_t* out, size_t size) {
  if (text == nullptr) return false;
  size_t n = 0;
  for (; text[n] != 0; ++n) {
    if (n + 1 >= size) return false;
    out[n] = static_cast<wchar_t>(text[n]);
  }
  out[n] = 0;
  return true;
}

HMODULE LoadByFullPath(const wchar_t* path) {
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return nullptr;
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return module;
}

bool WriteDump(EXCEPTION_POINTERS* pointers) {
  if (g_write_dump == nullptr) return false;
  wchar_t path[MAX_PATH + 64];
  const int n = _snwprintf(path, MAX_PATH + 63, L"%ls\\crash_%lu_%lu.dmp", g_folder, GetCurrentProcessId(),
                           GetTickCount());
  if (n <= 0 || n >= MAX_PATH + 63) return false;
  path[n] = 0;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  MINIDUMP_EXCEPTION_INFORMATION info{};
  info.ThreadId = GetCurrentThreadId();
  info.ExceptionPointers = pointers;
  info.ClientPointers = FALSE;
  const BOOL ok = g_write_dump(GetCurrentProcess(), GetCurrentProcessId(), file,
                               static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo), &info, nullptr,
                               nullptr);
  FlushFileBuffers(file);
  CloseHandle(file);
  return ok != FALSE;
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* pointers) {
  const DWORD code =
      pointers != nullptr && pointers->ExceptionRecord != nullptr ? pointers->ExceptionRecord->ExceptionCode : 0;
  if (IsDebuggerNotification(code)) return EXCEPTION_CONTINUE_SEARCH;
  const LONG self = static_cast<LONG>(GetCurrentThreadId());
  const LONG first = InterlockedCompareExchange(&g_crashing_thread, self, 0);
  if (first == self) TerminateProcess(GetCurrentProcess(), code);  // a fault while reporting
  if (first != 0) {
    Sleep(INFINITE);  // another thread is reporting and ends the process
  }
  const bool written = WriteDump(pointers);
  VyoCrashBlock block{reinterpret_cast<VyoExceptionPointers*>(pointers), 0, code};
  VyoCrashCallbackInfo info{written ? 1 : 0, &block};
  if (const VyoCrashCallback callback = g_callback.load()) callback(&info);
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace
}  // namespace vyo::crash_helper

using namespace vyo::crash_helper;

static_assert(sizeof(VyoExceptionRecord) == sizeof(EXCEPTION_RECORD), "exception record layout");
static_assert(sizeof(VyoExceptionPointers) == sizeof(EXCEPTION_POINTERS), "exception pointers layout");

VYO_HELPER_EXPORT int32_t InitCrashReportHelper(const void* config) {
  const auto* record = static_cast<const uint8_t*>(config);
  if (const int32_t refused = TakeRecord(record)) return refused;
  if (g_installed) return 0;
  if (!CopyWide(RecordText(record, VYO_CRASH_RECORD_OFF_FOLDER), g_folder, MAX_PATH)) return 4;
  g_user_id.store(RecordU64(record, VYO_CRASH_RECORD_OFF_USER_ID));
  CreateDirectoryW(g_folder, nullptr);
  wchar_t dbghelp[MAX_PATH];
  if (CopyWide(RecordText(record, VYO_CRASH_RECORD_OFF_DBGHELP), dbghelp, MAX_PATH)) g_dbghelp = LoadByFullPath(dbghelp);
  if (g_dbghelp == nullptr) {
    const UINT n = GetSystemDirectoryW(dbghelp, MAX_PATH);
    if (n > 0 && n + 13 < MAX_PATH) {
      std::wcscat(dbghelp, L"\\dbghelp.dll");
      g_dbghelp = LoadByFullPath(dbghelp);
    }
  }
  if (g_dbghelp != nullptr) {
    g_write_dump = reinterpret_cast<MiniDumpWriteDumpFn>(
        reinterpret_cast<void*>(GetProcAddress(g_dbghelp, "MiniDumpWriteDump")));
  }
  g_previous = SetUnhandledExceptionFilter(OnUnhandled);
  g_installed = true;
  g_state.initialised = 1;
  return 0;
}

VYO_HELPER_EXPORT void UninitCrashReportHelper(void) {
  Journal(VYO_HELPER_CALL_UNINIT);
  if (!g_installed) return;
  SetUnhandledExceptionFilter(g_previous);
  g_callback.store(nullptr);
  g_write_dump = nullptr;
  if (g_dbghelp != nullptr) FreeLibrary(g_dbghelp);
  g_dbghelp = nullptr;
  g_installed = false;
  g_state.initialised = 0;
}
