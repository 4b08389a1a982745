#include "platform/fault_guard.h"

#include <errno.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/posix/signal_codes.h"

namespace vyo::platform {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

// One guarded call on the stack of a thread.
struct GuardFrame {
  sigjmp_buf env;
  GuardFrame* outer = nullptr;
  volatile uint32_t code = 0;
  volatile int signal = 0;
};

thread_local GuardFrame* t_innermost = nullptr;
// The alternate stack of this thread, when the guard installed one (freed at thread exit).
struct AltStack {
  void* memory = nullptr;
  ~AltStack() {
    if (memory == nullptr) return;
    stack_t ss{};
    ss.ss_flags = SS_DISABLE;
    sigaltstack(&ss, nullptr);
    free(memory);
  }
};
thread_local AltStack t_alt_stack;
// This thread has an alternate stack, its own or one that someone else installed.
thread_local bool t_alt_stack_checked = false;

std::mutex g_install_lock;
// Written under g_install_lock; read without it on the guarded-call path.
std::atomic<bool> g_installed{false};
struct sigaction g_previous[kSignalCount];
std::atomic<CrashHook> g_hook{nullptr};
std::atomic<int> g_hook_running{0};

// Makes sure the calling thread has an alternate signal stack, so that a stack overflow can still
// be handled. A stack that someone else installed is kept.
void EnsureAltStack() {
  if (t_alt_stack_checked) return;
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
    t_alt_stack_checked = true;
    return;
  }
  const size_t size = 64 * 1024 + SIGSTKSZ;
  void* memory = malloc(size);
  if (memory == nullptr) return;
  stack_t ss{};
  ss.ss_sp = memory;
  ss.ss_size = size;
  ss.ss_flags = 0;
  if (sigaltstack(&ss, nullptr) != 0) {
    free(memory);
    return;
  }
  t_alt_stack.memory = memory;
  t_alt_stack_checked = true;
}

int SlotOf(int sig) {
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == sig) return static_cast<int>(i);
  }
  return -1;
}

// Hands an unguarded fault to whatever handled the signal before the guard: its handler (the
// crash reporter's) or the default action.
void Chain(int sig, siginfo_t* info, void* ucontext) {
  posix::ChainSignal(g_previous[SlotOf(sig)], sig, info, ucontext);
}

void OnFault(int sig, siginfo_t* info, void* ucontext) {
  const int saved_errno = errno;
  const uint32_t code = posix::FaultCodeForSignal(sig, info != nullptr ? info->si_code : 0);
  GuardFrame* frame = t_innermost;
  if (frame != nullptr) {
    frame->code = code;
    frame->signal = sig;
    siglongjmp(frame->env, 1);
  }
  // Unguarded: the hook first (once, even when several threads fault), then the fault goes on.
  const CrashHook hook = g_hook.load();
  if (hook != nullptr && g_hook_running.exchange(1) == 0) hook(code, posix::FaultInstruction(ucontext));
  errno = saved_errno;
  Chain(sig, info, ucontext);
}

bool InstallLocked() {
  if (g_installed) return true;
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  size_t done = 0;
  for (; done < kSignalCount; ++done) {
    if (sigaction(kSignals[done], &action, &g_previous[done]) != 0) break;
  }
  if (done != kSignalCount) {
    for (size_t i = 0; i < done; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
    return false;
  }
  g_installed = true;
  return true;
}

}  // namespace

bool InstallFaultGuard() {
  EnsureAltStack();
  if (g_installed.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> lock(g_install_lock);
  return InstallLocked();
}

void UninstallFaultGuard() {
  std::lock_guard<std::mutex> lock(g_install_lock);
  if (!g_installed) return;
  for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  g_installed = false;
}

void SetCrashHook(CrashHook hook) {
  g_hook.store(hook);
  g_hook_running.store(0);
  InstallFaultGuard();
}

uint32_t GuardedCall(GuardedFunction fn, void* context) {
  if (fn == nullptr) return 0;
  if (!InstallFaultGuard()) {
    fn(context);
    return 0;
  }
  GuardFrame frame;
  frame.outer = t_innermost;
  // The thread's innermost frame is put back on every way out of this function: a return, a fault
  // (the jump lands in this same function, so this object is still alive) and an exception that
  // fn lets through. Without it an exception would leave the pointer on a dead frame, and the next
  // fault of the thread would jump into it.
  struct Restore {
    GuardFrame* outer;
    ~Restore() { t_innermost = outer; }
  } restore{frame.outer};
  // savemask = 0: saving the mask is a system call on every guarded call, and these calls sit on
  // hot paths (every heartbeat store). The one change to undo after a fault is the kernel's: it
  // blocks the caught signal while its handler runs, and the jump leaves the handler.
  if (sigsetjmp(frame.env, 0) == 0) {
    t_innermost = &frame;
    fn(context);
    return 0;
  }
  if (frame.signal != 0) {
    sigset_t caught;
    sigemptyset(&caught);
    sigaddset(&caught, frame.signal);
    pthread_sigmask(SIG_UNBLOCK, &caught, nullptr);
  }
  return frame.code;
}

bool InGuardedCall() { return t_innermost != nullptr; }

}  // namespace vyo::platform
