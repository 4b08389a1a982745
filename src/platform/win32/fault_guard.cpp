#include "platform/fault_guard.h"

#include <windows.h>

#include <atomic>
#include <csignal>
#include <mutex>

// The trampoline: calls fn(context) inside a frame whose unwind data names vyo_fault_guard_handler
// as its exception handler. The handler unwinds back to vyo_guarded_call_landing with the
// exception code in RAX; a normal return reaches the same place with RAX = 0.
extern "C" uint32_t vyo_guarded_call(vyo::platform::GuardedFunction fn, void* context);
extern "C" void vyo_guarded_call_landing();
extern "C" EXCEPTION_DISPOSITION vyo_fault_guard_handler(EXCEPTION_RECORD* record, void* establisher_frame,
                                                         CONTEXT* context, DISPATCHER_CONTEXT* dispatcher);

asm(R"(
    .text
    .globl vyo_guarded_call
    .def vyo_guarded_call; .scl 2; .type 32; .endef
    .seh_proc vyo_guarded_call
vyo_guarded_call:
    .seh_handler vyo_fault_guard_handler, @except
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    xorl %eax, %eax
    .globl vyo_guarded_call_landing
vyo_guarded_call_landing:
    addq $40, %rsp
    ret
    .seh_endproc
)");

namespace vyo::platform {
namespace {

// Faults are the error-severity codes (0xC…). C++ exceptions of this compiler (0x20474343) and
// debugger notifications pass through untouched.
bool IsFault(DWORD code) { return (code & 0xC0000000u) == 0xC0000000u; }

bool IsDebuggerNotification(DWORD code) {
  return code == 0x40010006u || code == 0x40010007u || code == 0x4001000Au || code == 0x406D1388u;
}

std::mutex g_install_lock;
thread_local int t_guard_depth = 0;  // guarded calls on this thread's stack
bool g_installed = false;
bool g_abort_installed = false;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
void (*g_previous_abort)(int) = SIG_DFL;
std::atomic<CrashHook> g_hook{nullptr};
std::atomic<int> g_hook_running{0};

// abort() raises SIGABRT: turn it into an exception so that a guarded call can contain it and an
// unguarded one reaches the top-level filter like any other fault.
void OnAbort(int) {
  std::signal(SIGABRT, OnAbort);  // the C runtime resets the handler before calling it
  RaiseException(kFaultAbort, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

LONG WINAPI TopFilter(EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers != nullptr && pointers->ExceptionRecord != nullptr
                         ? pointers->ExceptionRecord->ExceptionCode
                         : 0;
  if (IsDebuggerNotification(code)) return EXCEPTION_CONTINUE_SEARCH;
  const CrashHook hook = g_hook.load();
  if (hook != nullptr && g_hook_running.exchange(1) == 0) {
    hook(code, pointers != nullptr && pointers->ExceptionRecord != nullptr
                   ? pointers->ExceptionRecord->ExceptionAddress
                   : nullptr);
  }
  if (g_previous_filter != nullptr) {
    const LONG result = g_previous_filter(pointers);
    if (result != EXCEPTION_CONTINUE_SEARCH) return result;
  }
  // Nobody took the fault (the C runtime's own filter declines faults without a signal handler):
  // end the process with the fault's code instead of starting a debugger or an error dialog.
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

bool InstallLocked() {
  if (g_installed) return true;
  g_previous_abort = std::signal(SIGABRT, OnAbort);
  g_abort_installed = g_previous_abort != SIG_ERR;
  if (!g_abort_installed) g_previous_abort = SIG_DFL;
  g_previous_filter = SetUnhandledExceptionFilter(TopFilter);
  g_installed = true;
  return true;
}

}  // namespace

bool InstallFaultGuard() {
  std::lock_guard<std::mutex> lock(g_install_lock);
  return InstallLocked();
}

void UninstallFaultGuard() {
  std::lock_guard<std::mutex> lock(g_install_lock);
  if (!g_installed) return;
  SetUnhandledExceptionFilter(g_previous_filter);
  if (g_abort_installed) std::signal(SIGABRT, g_previous_abort);
  g_previous_filter = nullptr;
  g_installed = false;
}

void SetCrashHook(CrashHook hook) {
  g_hook.store(hook);
  g_hook_running.store(0);
  InstallFaultGuard();
}

uint32_t GuardedCall(GuardedFunction fn, void* context) {
  if (fn == nullptr) return 0;
  InstallFaultGuard();
  // The depth goes down on every way out: a return, a fault (the trampoline returns its code to
  // this frame) and an exception passing through the trampoline.
  struct Depth {
    Depth() { ++t_guard_depth; }
    ~Depth() { --t_guard_depth; }
  } depth;
  return vyo_guarded_call(fn, context);
}

bool InGuardedCall() { return t_guard_depth > 0; }

}  // namespace vyo::platform

extern "C" EXCEPTION_DISPOSITION vyo_fault_guard_handler(EXCEPTION_RECORD* record, void* establisher_frame,
                                                         CONTEXT* context, DISPATCHER_CONTEXT* dispatcher) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) return ExceptionContinueSearch;
  if (!vyo::platform::IsFault(record->ExceptionCode)) return ExceptionContinueSearch;
  // Unwinds every frame above the trampoline and resumes it at the landing with the code as its
  // result. Does not return.
  RtlUnwindEx(establisher_frame, reinterpret_cast<void*>(&vyo_guarded_call_landing), record,
              reinterpret_cast<void*>(static_cast<uintptr_t>(record->ExceptionCode)), context,
              dispatcher->HistoryTable);
  return ExceptionContinueSearch;
}
