// The main thread's wait and its task queue.
//
// The main loop sleeps here between frames. The wait ends when its timer elapses, or early when a
// task is posted to the main thread, when a window message arrives (Windows), when the overlay's
// input event is signalled, or when pipe data arrives. A wake by the input event is remembered and
// handed to the input stage (ConsumeInputSignal), so an auto-reset signal is never lost.
//
// Windows: a high-resolution waitable timer (or timeBeginPeriod(1) and an ordinary one) and
// MsgWaitForMultipleObjectsEx. Linux: eventfd and ppoll, whose nanosecond time-out is the frame
// timer; a small thread turns the input semaphore into a wake-up.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace vyo::platform {

class NamedEvent;
class PipeServer;

enum class WaitResult {
  kElapsed,  // the full time passed
  kWoken,    // something arrived first
};

class MainThreadWait {
 public:
  virtual ~MainThreadWait() = default;
  // Creates the wait on the calling thread, which becomes the main thread.
  static std::unique_ptr<MainThreadWait> Create();

  // Frame timer set-up: tries the high-resolution timer first, then the fallback (raised timer
  // resolution and an ordinary timer). Returns true when the high-resolution timer is in use.
  virtual bool CreateFrameTimer() = 0;
  virtual bool HasFrameTimer() const = 0;
  virtual bool TimerPeriodRaised() const = 0;
  // Closes the timer and ends a raised timer resolution.
  virtual void CloseFrameTimer() = 0;

  // Extra wake sources; null removes one.
  virtual void WatchInputEvent(NamedEvent* event) = 0;
  virtual void WatchPipe(PipeServer* pipe) = 0;

  // Arms the frame timer `due_100ns` (> 0) from now and waits for it. False when arming failed.
  virtual bool WaitOnTimer(int64_t due_100ns, WaitResult* result) = 0;
  // Waits up to `timeout_ms` without the timer.
  virtual WaitResult WaitTimeout(uint32_t timeout_ms) = 0;

  // The input stage's zero-time-out wait on the input event, including a signal that woke a wait.
  virtual bool ConsumeInputSignal() = 0;

  // Posts a task to the main thread (any thread) and wakes the wait.
  virtual void Post(std::function<void()> task) = 0;
  // Main thread: runs posted tasks and dispatches window messages until both are empty, or
  // `max_items` were handled, or `budget_ms` passed. Returns the number handled.
  virtual int PumpMessages(int max_items, uint32_t budget_ms) = 0;
};

}  // namespace vyo::platform
