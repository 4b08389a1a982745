// The main thread's wait on Windows: a waitable frame timer and MsgWaitForMultipleObjectsEx over
// the timer, the overlay's input event, a pipe read that completes when a message arrives, and an
// event set by Post. Window messages end the wait too.
#include "platform/main_wait.h"

#include <windows.h>
#include <timeapi.h>

#include <deque>
#include <mutex>

#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/pipe.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

#include "platform/win32/unique_handle.h"

namespace vyo::platform {
namespace {

class Win32MainThreadWait final : public MainThreadWait {
 public:
  Win32MainThreadWait()
      : post_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        pipe_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    LARGE_INTEGER frequency;
    perf_frequency_ = QueryPerformanceFrequency(&frequency) ? frequency.QuadPart : 0;
  }
  ~Win32MainThreadWait() override {
    CloseFrameTimer();
  }
  Win32MainThreadWait(const Win32MainThreadWait&) = delete;
  Win32MainThreadWait& operator=(const Win32MainThreadWait&) = delete;

  bool valid() const { return post_event_.valid() && pipe_event_.valid(); }

  bool CreateFrameTimer() override {
    CloseFrameTimer();
    timer_.reset(CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_MANUAL_RESET | CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
        TIMER_ALL_ACCESS));
    if (timer_) return true;
    // No high-resolution timer on this system: raise the timer resolution for an ordinary one.
    period_raised_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    timer_.reset(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_MANUAL_RESET, TIMER_ALL_ACCESS));
    return false;
  }

  bool HasFrameTimer() const override { return timer_.valid(); }
  bool TimerPeriodRaised() const override { return period_raised_; }

  void CloseFrameTimer() override {
    if (timer_) {
      CancelWaitableTimer(timer_.get());
      timer_.reset();
    }
    if (period_raised_) {
      timeEndPeriod(1);
      period_raised_ = false;
    }
  }

  void WatchInputEvent(NamedEvent* event) override {
    // A remembered signal belongs to the event that delivered it.
    if (event != input_) input_signalled_ = false;
    input_ = event;
  }

  void WatchPipe(PipeServer* pipe) override { pipe_ = pipe; }

  bool WaitOnTimer(int64_t due_100ns, WaitResult* result) override {
    if (!timer_ || due_100ns <= 0) return false;
    LARGE_INTEGER due;
    due.QuadPart = -due_100ns;  // negative: relative to now
    if (!SetWaitableTimer(timer_.get(), &due, 0, nullptr, nullptr, FALSE)) return false;
    *result = Wait(INFINITE, true);
    return true;
  }

  WaitResult WaitTimeout(uint32_t timeout_ms) override { return Wait(timeout_ms, false); }

  bool ConsumeInputSignal() override {
    if (input_signalled_) {
      input_signalled_ = false;
      return true;
    }
    return input_ && input_->TryWait();
  }

  void Post(std::function<void()> task) override {
    {
      std::lock_guard<std::mutex> lock(tasks_mutex_);
      tasks_.push_back(std::move(task));
    }
    SetEvent(post_event_.get());
  }

  int PumpMessages(int max_items, uint32_t budget_ms) override {
    int handled = 0;
    const int64_t start = PerfNow();
    while (handled < max_items) {
      bool did_something = false;
      std::function<void()> task;
      if (PopTask(&task)) {
        task();
        ++handled;
        did_something = true;
      }
      MSG message;
      if (handled < max_items && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        ++handled;
        did_something = true;
      }
      if (!did_something) break;
      if (PerfMillis(start, PerfNow(), perf_frequency_) >= static_cast<int64_t>(budget_ms)) break;
    }
    // Tasks left for later must end the next wait at once, as their Post no longer will.
    bool left_over = false;
    {
      std::lock_guard<std::mutex> lock(tasks_mutex_);
      left_over = !tasks_.empty();
    }
    if (left_over) SetEvent(post_event_.get());
    return handled;
  }

 private:
  int64_t PerfNow() const {
    LARGE_INTEGER now;
    return QueryPerformanceCounter(&now) ? now.QuadPart : 0;
  }

  bool PopTask(std::function<void()>* task) {
    std::lock_guard<std::mutex> lock(tasks_mutex_);
    if (tasks_.empty()) return false;
    *task = std::move(tasks_.front());
    tasks_.pop_front();
    return true;
  }

  // Waits on the wake sources (and the timer when `with_timer`). The timer elapsing, or the
  // time-out passing, is kElapsed; anything else is kWoken.
  WaitResult Wait(DWORD timeout_ms, bool with_timer) {
    HANDLE handles[4];
    DWORD count = 0;
    DWORD timer_index = MAXDWORD, input_index = MAXDWORD;
    if (with_timer) {
      timer_index = count;
      handles[count++] = timer_.get();
    }
    if (input_) {
      input_index = count;
      handles[count++] = reinterpret_cast<HANDLE>(input_->NativeHandle());
    }

    // Pipe data: a zero-byte read on a message-mode pipe completes when a message is there and
    // takes nothing from it.
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED pipe_overlapped{};
    bool pipe_read_pending = false;
    if (pipe_) {
      pipe = reinterpret_cast<HANDLE>(pipe_->NativeHandle());
      if (pipe != INVALID_HANDLE_VALUE && pipe != nullptr) {
        DWORD available = 0;
        // Data already waiting, or a pipe that has broken, needs the main loop now.
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
          return WaitResult::kWoken;
        }
        ResetEvent(pipe_event_.get());
        pipe_overlapped.hEvent = pipe_event_.get();
        if (ReadFile(pipe, &zero_read_byte_, 0, nullptr, &pipe_overlapped) ||
            GetLastError() != ERROR_IO_PENDING) {
          return WaitResult::kWoken;
        }
        pipe_read_pending = true;
        handles[count++] = pipe_event_.get();
      }
    }
    handles[count++] = post_event_.get();

    const DWORD wait = MsgWaitForMultipleObjectsEx(count, handles, timeout_ms, QS_ALLINPUT,
                                                   MWMO_INPUTAVAILABLE);

    if (pipe_read_pending && !HasOverlappedIoCompleted(&pipe_overlapped)) {
      CancelIoEx(pipe, &pipe_overlapped);
    }
    if (pipe_read_pending) {
      DWORD unused = 0;
      // Waits until the read has finished or been cancelled: the OVERLAPPED lives on this stack.
      GetOverlappedResult(pipe, &pipe_overlapped, &unused, TRUE);
    }

    if (wait == WAIT_TIMEOUT) return WaitResult::kElapsed;
    if (wait == WAIT_OBJECT_0 + timer_index) return WaitResult::kElapsed;
    // The wait took the event's auto-reset signal; keep it for ConsumeInputSignal.
    if (wait == WAIT_OBJECT_0 + input_index) input_signalled_ = true;
    return WaitResult::kWoken;
  }

  UniqueHandle timer_;
  bool period_raised_ = false;
  UniqueHandle post_event_;
  UniqueHandle pipe_event_;
  int64_t perf_frequency_ = 0;
  NamedEvent* input_ = nullptr;
  PipeServer* pipe_ = nullptr;
  bool input_signalled_ = false;
  char zero_read_byte_ = 0;

  std::mutex tasks_mutex_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace

std::unique_ptr<MainThreadWait> MainThreadWait::Create() {
  auto wait = std::make_unique<Win32MainThreadWait>();
  if (!wait->valid()) return nullptr;
  return wait;
}

}  // namespace vyo::platform
