#include "platform/main_wait.h"

#include <errno.h>
#include <poll.h>
#include <time.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/pipe.h"

#include "platform/posix/unique_fd.h"

namespace vyo::platform {
namespace {

// The input thread's wait between two looks at its stop flag.
constexpr uint32_t kInputWaitMs = 1000;

class PollMainThreadWait final : public MainThreadWait {
 public:
  explicit PollMainThreadWait(UniqueFd wake_fd) : wake_fd_(std::move(wake_fd)) {}
  ~PollMainThreadWait() override {
    WatchInputEvent(nullptr);
    CloseFrameTimer();
  }

  // The frame timer is the wait's own time-out with nanosecond resolution (ppoll): the same wake
  // as a timerfd, without arming it and reading it back on every frame.
  bool CreateFrameTimer() override {
    has_timer_ = true;
    return true;
  }
  bool HasFrameTimer() const override { return has_timer_; }
  bool TimerPeriodRaised() const override { return false; }
  void CloseFrameTimer() override { has_timer_ = false; }

  void WatchInputEvent(NamedEvent* event) override {
    if (input_thread_.joinable()) {
      stop_input_ = true;
      // Ends the thread's wait at once. A signal it takes for this is not input; one it leaves
      // behind only makes the next input stage look at an empty ring.
      if (input_event_ != nullptr) input_event_->Signal();
      input_thread_.join();
    }
    stop_input_ = false;
    input_event_ = event;
    if (event == nullptr) return;
    // Semaphores cannot be polled: a small thread waits on it and turns a signal into a wake-up.
    // What it consumes is kept in input_signalled_ for the input stage. Its wait is long (an idle
    // host should not wake for it); stopping signals the event to end the wait.
    input_thread_ = std::thread([this, event] {
      while (!stop_input_.load()) {
        if (event->Wait(kInputWaitMs) && !stop_input_.load()) {
          std::lock_guard<std::mutex> lock(doorbell_mutex_);
          input_signalled_ = true;
          Wake();
        }
      }
    });
  }

  void WatchPipe(PipeServer* pipe) override { pipe_ = pipe; }

  bool WaitOnTimer(int64_t due_100ns, WaitResult* result) override {
    if (!has_timer_ || due_100ns <= 0) return false;
    *result = Poll(due_100ns * 100);
    return true;
  }

  WaitResult WaitTimeout(uint32_t timeout_ms) override {
    return Poll(static_cast<int64_t>(std::min<uint32_t>(timeout_ms, 1u << 30)) * 1'000'000);
  }

  bool ConsumeInputSignal() override {
    {
      std::lock_guard<std::mutex> lock(doorbell_mutex_);
      if (input_signalled_.exchange(false)) {
        // The ring that announced this signal has done its work; only pending tasks may keep it.
        if (!HasTasks()) DrainDoorbell();
        return true;
      }
    }
    return input_event_ != nullptr && input_event_->TryWait();
  }

  void Post(std::function<void()> task) override {
    std::lock_guard<std::mutex> doorbell(doorbell_mutex_);
    {
      std::lock_guard<std::mutex> lock(tasks_mutex_);
      tasks_.push_back(std::move(task));
    }
    Wake();
  }

  int PumpMessages(int max_items, uint32_t budget_ms) override {
    Clock& clock = SystemClock();
    const int64_t start = clock.PerfCounter();
    int handled = 0;
    while (handled < max_items) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> lock(tasks_mutex_);
        if (tasks_.empty()) break;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
      ++handled;
      if (PerfMillis(start, clock.PerfCounter(), clock.PerfFrequency()) >= budget_ms) break;
    }
    return handled;
  }

 private:
  void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wake_fd_.get(), &one, sizeof(one));
  }

  bool HasTasks() {
    std::lock_guard<std::mutex> lock(tasks_mutex_);
    return !tasks_.empty();
  }

  // The eventfd is only a doorbell: the state it announces lives in the task queue and the input
  // flag, so emptying it is always safe.
  void DrainDoorbell() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t ignored = read(wake_fd_.get(), &value, sizeof(value));
  }

  WaitResult Poll(int64_t timeout_ns) {
    {
      // Whoever sets a flag or queues a task rings under this lock, so the ring that belongs to
      // this wake-up is emptied with it and cannot end the next wait.
      std::lock_guard<std::mutex> lock(doorbell_mutex_);
      if (HasTasks() || input_signalled_.load()) {
        DrainDoorbell();
        return WaitResult::kWoken;
      }
    }
    pollfd fds[2];
    int count = 0;
    fds[count++] = {wake_fd_.get(), POLLIN, 0};
    const int pipe_fd = pipe_ != nullptr ? static_cast<int>(pipe_->NativeHandle()) : -1;
    if (pipe_fd >= 0) fds[count++] = {pipe_fd, POLLIN, 0};
    // The time-out runs on the monotonic clock from here; an interruption waits only for the rest.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeout_ns / 1'000'000'000);
    deadline.tv_nsec += static_cast<long>(timeout_ns % 1'000'000'000);
    if (deadline.tv_nsec >= 1'000'000'000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000;
    }
    int r = 0;
    for (;;) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      int64_t left = (static_cast<int64_t>(deadline.tv_sec) - now.tv_sec) * 1'000'000'000 +
                     (deadline.tv_nsec - now.tv_nsec);
      if (left < 0) left = 0;
      const timespec rest{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
      r = ppoll(fds, static_cast<nfds_t>(count), &rest, nullptr);
      if (r >= 0 || errno != EINTR) break;
    }
    if (r == 0) return WaitResult::kElapsed;
    if (r < 0) return WaitResult::kWoken;
    if ((fds[0].revents & POLLIN) != 0) DrainDoorbell();
    return WaitResult::kWoken;
  }

  UniqueFd wake_fd_;
  bool has_timer_ = false;
  PipeServer* pipe_ = nullptr;
  NamedEvent* input_event_ = nullptr;
  std::thread input_thread_;
  std::atomic<bool> stop_input_{false};
  std::atomic<bool> input_signalled_{false};
  std::mutex doorbell_mutex_;
  std::mutex tasks_mutex_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace

std::unique_ptr<MainThreadWait> MainThreadWait::Create() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  return std::make_unique<PollMainThreadWait>(UniqueFd(fd));
}

}  // namespace vyo::platform
