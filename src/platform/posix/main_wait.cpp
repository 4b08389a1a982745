#include "platform/main_wait.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
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

class PollMainThreadWait final : public MainThreadWait {
 public:
  explicit PollMainThreadWait(UniqueFd wake_fd) : wake_fd_(std::move(wake_fd)) {}
  ~PollMainThreadWait() override {
    WatchInputEvent(nullptr);
    CloseFrameTimer();
  }

  bool CreateFrameTimer() override {
    if (!timer_fd_) timer_fd_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    // timerfd has nanosecond resolution: it is the high-resolution timer here.
    return timer_fd_.valid();
  }
  bool HasFrameTimer() const override { return timer_fd_.valid(); }
  bool TimerPeriodRaised() const override { return false; }
  void CloseFrameTimer() override { timer_fd_.reset(); }

  void WatchInputEvent(NamedEvent* event) override {
    if (input_thread_.joinable()) {
      stop_input_ = true;
      input_thread_.join();
    }
    stop_input_ = false;
    input_event_ = event;
    if (event == nullptr) return;
    // Semaphores cannot be polled: a small thread waits on it and turns a signal into a wake-up.
    // What it consumes is kept in input_signalled_ for the input stage.
    input_thread_ = std::thread([this, event] {
      while (!stop_input_.load()) {
        if (event->Wait(50)) {
          std::lock_guard<std::mutex> lock(doorbell_mutex_);
          input_signalled_ = true;
          Wake();
        }
      }
    });
  }

  void WatchPipe(PipeServer* pipe) override { pipe_ = pipe; }

  bool WaitOnTimer(int64_t due_100ns, WaitResult* result) override {
    if (!timer_fd_ || due_100ns <= 0) return false;
    itimerspec timer_value{};
    const int64_t ns = due_100ns * 100;
    timer_value.it_value.tv_sec = ns / 1'000'000'000;
    timer_value.it_value.tv_nsec = ns % 1'000'000'000;
    if (timerfd_settime(timer_fd_.get(), 0, &timer_value, nullptr) != 0) return false;
    *result = Poll(-1);
    return true;
  }

  WaitResult WaitTimeout(uint32_t timeout_ms) override {
    return Poll(static_cast<int>(std::min<uint32_t>(timeout_ms, 1u << 30)));
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

  WaitResult Poll(int timeout_ms) {
    {
      // Whoever sets a flag or queues a task rings under this lock, so the ring that belongs to
      // this wake-up is emptied with it and cannot end the next wait.
      std::lock_guard<std::mutex> lock(doorbell_mutex_);
      if (HasTasks() || input_signalled_.load()) {
        DrainDoorbell();
        return WaitResult::kWoken;
      }
    }
    pollfd fds[3];
    int count = 0;
    fds[count++] = {wake_fd_.get(), POLLIN, 0};
    const int timer_index = timeout_ms < 0 ? count : -1;
    if (timeout_ms < 0) fds[count++] = {timer_fd_.get(), POLLIN, 0};
    const int pipe_fd = pipe_ != nullptr ? static_cast<int>(pipe_->NativeHandle()) : -1;
    if (pipe_fd >= 0) fds[count++] = {pipe_fd, POLLIN, 0};
    int r = 0;
    do {
      r = poll(fds, static_cast<nfds_t>(count), timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return WaitResult::kElapsed;
    if (r < 0) return WaitResult::kWoken;
    if ((fds[0].revents & POLLIN) != 0) DrainDoorbell();
    for (int i = 0; i < count; ++i) {
      if (i != timer_index && fds[i].revents != 0) return WaitResult::kWoken;
    }
    if (timer_index >= 0 && (fds[timer_index].revents & POLLIN) != 0) {
      uint64_t expirations = 0;
      [[maybe_unused]] ssize_t ignored = read(timer_fd_.get(), &expirations, sizeof(expirations));
      return WaitResult::kElapsed;
    }
    return WaitResult::kWoken;
  }

  UniqueFd wake_fd_;
  UniqueFd timer_fd_;
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
