// A process that really crashes.
//   crash      crash reporting on (the helper from BugReport/ beside this program), the fault guard
//              over it with a crash hook; a guarded fault is contained, then an unguarded access
//              violation ends the process.
//   unguarded  the fault guard with a crash hook only; an unguarded access violation.
//   logger_held  crash reporting on with an asynchronous logger whose queue lock another thread
//              holds for good; an access violation.
//   alloc_fault  crash reporting on; the access violation happens inside operator new while it
//              holds the allocator's lock (this program's operator new takes a lock of its own,
//              as a non-reentrant heap does), so any allocation in the crash path never returns.
// The hook leaves "hook_<pid>.txt" (the fault code in hex) in log/ beside the program.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "base/text.h"
#include "crash/crash_report_loader.h"
#include "logging/logger.h"
#include "platform/fault_guard.h"
#include "platform/process.h"
#include "platform/report_file.h"

namespace {

using namespace vyo;

volatile int* volatile g_null = nullptr;

__attribute__((noinline, no_sanitize("address", "undefined"))) void NullWrite(void*) { *g_null = 1; }

void Hook(uint32_t code, const void*) {
  char text[32];
  const int n = std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(code));
  const std::u16string dir = platform::ExecutableDirectory() + platform::PathSeparator() + u"log";
  platform::AppendReportFile(dir, u"hook_" + Utf8ToUtf16(std::to_string(platform::CurrentProcessId())) + u".txt",
                             text, static_cast<size_t>(n));
}

// The allocator's lock, and whether the next allocation faults while holding it.
pthread_mutex_t g_heap_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> g_fault_in_new{false};
thread_local bool t_faulting_thread = false;

bool StartCrashReporting(bool synchronous_log) {
  base::LoggingOptions options;
  options.encrypt = false;
  options.memory_log = false;
  options.synchronous = synchronous_log;
  base::InitLogging("FenyraOverlayHost", options);
  if (!crash::CrashReportLoader::Instance().Init(u"FenyraOverlayHost", std::nullopt, 0x40000002F, 4,
                                                 &crash::CrashReportLoader::HostCrashCallback)) {
    return false;
  }
  crash::CrashReportLoader::Instance().SetUserId(4711);
  return true;
}

}  // namespace

void* operator new(std::size_t size) {
  pthread_mutex_lock(&g_heap_lock);
  if (t_faulting_thread && g_fault_in_new.load()) NullWrite(nullptr);
  void* p = std::malloc(size != 0 ? size : 1);
  pthread_mutex_unlock(&g_heap_lock);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "logger_held") {
    if (!StartCrashReporting(false)) return 3;
    std::atomic<bool> held{false};
    std::thread([&held] {
      auto lock = base::logger::Instance().HoldQueueLockForTesting();
      if (!lock.owns_lock()) std::_Exit(6);
      held = true;
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }).detach();
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    NullWrite(nullptr);
    return 5;
  }
  if (mode == "alloc_fault") {
    if (!StartCrashReporting(true)) return 3;
    t_faulting_thread = true;  // only this thread faults; the others block on the held lock
    g_fault_in_new = true;
    delete new int(1);
    return 5;
  }
  if (mode == "crash") {
    if (!StartCrashReporting(true)) return 3;
  } else if (mode != "unguarded") {
    return 2;
  }
  platform::SetCrashHook(Hook);
  if (platform::GuardedCall(NullWrite, nullptr) != platform::kFaultAccessViolation) return 4;
  NullWrite(nullptr);
  return 5;  // not reached
}
