// A thread started ahead of any failure that runs one prepared job when a failing thread asks for
// it. The failing thread (inside a signal handler on Linux, an exception filter on Windows) then
// never runs code that may allocate or wait for a lock: it wakes the thread and waits a bounded
// time. A job stuck behind the failure (the heap's lock, a logger lock held by the faulting
// thread) only costs the wait; the failing thread goes on without it.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

namespace vyo::platform {

class CrashRelay {
 public:
  // Starts the thread; started() is false when it could not be started.
  explicit CrashRelay(std::function<void()> job);
  // Stops an idle thread; a thread that is running the job is left to the ending process.
  ~CrashRelay();
  CrashRelay(const CrashRelay&) = delete;
  CrashRelay& operator=(const CrashRelay&) = delete;

  bool started() const { return started_; }
  // Async-signal-safe. Wakes the thread for the job (once: a later call only waits) and waits up
  // to `timeout_ms` for the job to end. True when it ended in time.
  bool RunAndWait(uint32_t timeout_ms);

 private:
  struct State;
  State* state_ = nullptr;  // shared with the thread; never freed while the job may still run
  bool started_ = false;
};

// Milliseconds of a monotonic clock, readable inside a signal handler.
uint64_t SignalSafeTickMs();
// Sleeps about `ms` milliseconds; usable inside a signal handler.
void SignalSafeSleepMs(uint32_t ms);

}  // namespace vyo::platform
