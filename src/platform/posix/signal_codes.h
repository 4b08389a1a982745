// Windows exception codes for the fault signals, shared by the fault guard and the crash report
// helper library (which is built on its own and links nothing of the OS layer).
#pragma once
#include <signal.h>
#include <stdint.h>

namespace vyo::platform::posix {

inline uint32_t FaultCodeForSignal(int sig, int si_code) {
  switch (sig) {
    case SIGSEGV:
      return 0xC0000005;  // access violation
    case SIGBUS:
      return 0xC0000006;  // in-page error
    case SIGILL:
      return si_code == ILL_PRVOPC || si_code == ILL_PRVREG ? 0xC0000096 : 0xC000001D;
    case SIGFPE:
      switch (si_code) {
        case FPE_INTDIV:
          return 0xC0000094;
        case FPE_INTOVF:
          return 0xC0000095;
        case FPE_FLTDIV:
          return 0xC000008E;
        case FPE_FLTOVF:
          return 0xC0000091;
        case FPE_FLTUND:
          return 0xC0000093;
        case FPE_FLTRES:
          return 0xC000008F;
        default:
          return 0xC0000090;  // invalid operation
      }
    case SIGABRT:
      return 0xC0000409;  // what abort() ends a Windows process with
    default:
      return 0xC0000001;
  }
}

// The faulting instruction of a signal's machine context (x86-64 and AArch64), or null.
inline const void* FaultInstruction(const void* ucontext) {
  if (ucontext == nullptr) return nullptr;
  const auto* uc = static_cast<const ucontext_t*>(ucontext);
#if defined(__x86_64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return nullptr;
#endif
}

// Hands a signal to the handler that was installed before ours, or to the default action (set and
// re-raised: delivered when the handler returns; a hardware fault would also recur).
inline void ChainSignal(const struct sigaction& previous, int sig, siginfo_t* info, void* ucontext) {
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(sig, info, ucontext);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
    previous.sa_handler(sig);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
  raise(sig);
}

}  // namespace vyo::platform::posix
