// The fault guard: runs a function so that a hardware fault inside it (access violation, illegal
// instruction, integer division by zero, abort) comes back as a fault code instead of ending the
// process, and runs a hook first when a fault happens outside any guarded call.
//
// Codes are the Windows exception codes on both platforms (Linux signals are mapped to them).
//
// Linux: SA_ONSTACK handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT; each guarded thread
// gets an alternate signal stack; a thread-local stack of jump buffers lets a fault return to the
// innermost guarded call of the faulting thread only. A fault on a thread without a guarded call
// runs the crash hook and then goes on to the handler that was installed before the guard (the
// crash reporter's) or, without one, to the default action.
// Windows: a frame-based exception handler on a small trampoline (its unwind data names the
// handler), so the guard works without compiler support for structured exception handling; abort
// is turned into exception 0xC0000409 by a SIGABRT handler. An unhandled fault runs the hook from
// the top-level exception filter and then goes on to the filter installed before (the crash
// reporter's). A vectored handler would be the fallback for a build where the trampoline cannot be
// used; this build does not need it.
//
// What cannot be contained:
// - A fault inside the allocator, the C runtime or while a lock is held: the call returns its code,
//   but the lock stays held and the heap may be damaged. The next user of that lock blocks; the
//   watchdog then reports the stall and ends the host.
// - Stack overflow: on Linux only on a thread whose alternate stack is installed (every thread that
//   made a guarded call); on Windows the stack's guard page is not restored after the return.
// - glibc's abort() keeps its internal lock for the thread that called it; an abort contained on a
//   thread leaves later aborts of other threads blocked until the process ends.
// - Objects with destructors between the guarded call and the fault are not destroyed (no C++
//   unwinding on Linux).
// - Faults raised with raise()/kill() by another thread are treated as faults of the receiving
//   thread.
#pragma once
#include <cstdint>

namespace vyo::platform {

constexpr uint32_t kFaultAccessViolation = 0xC0000005;
constexpr uint32_t kFaultInPageError = 0xC0000006;
constexpr uint32_t kFaultIllegalInstruction = 0xC000001D;
constexpr uint32_t kFaultFloatDivideByZero = 0xC000008E;
constexpr uint32_t kFaultFloatInvalid = 0xC0000090;
constexpr uint32_t kFaultIntegerDivideByZero = 0xC0000094;
constexpr uint32_t kFaultIntegerOverflow = 0xC0000095;
constexpr uint32_t kFaultPrivilegedInstruction = 0xC0000096;
constexpr uint32_t kFaultStackOverflow = 0xC00000FD;
constexpr uint32_t kFaultAbort = 0xC0000409;

using GuardedFunction = void (*)(void* context);
// Runs first for a fault that no guarded call contains; `address` is the faulting instruction.
// It runs on the faulting thread inside a signal handler or exception filter: it may only do what
// is safe there (no locks that the faulting code could hold, no allocation on Linux).
using CrashHook = void (*)(uint32_t code, const void* address);

// Installs the handlers (once per process; later calls only report the result). False when they
// could not be installed; GuardedCall then runs functions unguarded.
bool InstallFaultGuard();

// Runs fn(context). Returns 0 when it returned, otherwise the fault code; the calling thread goes on
// either way. A C++ exception that fn lets through leaves the call as it would any function (it is
// not a fault); the guard is then back as it was before the call.
uint32_t GuardedCall(GuardedFunction fn, void* context);

// Whether the calling thread is inside a guarded call.
bool InGuardedCall();

// Sets (or, with null, removes) the hook for faults outside guarded calls. Installs the guard.
void SetCrashHook(CrashHook hook);

// Removes the handlers and restores those installed before (tests; shutdown of a process that
// installed it).
void UninstallFaultGuard();

}  // namespace vyo::platform
