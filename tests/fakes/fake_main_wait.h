// A main-thread wait that never sleeps: each wait advances the manual clock by the time asked for
// and records it, or ends early when the test says so.
#pragma once
#include <deque>
#include <functional>
#include <vector>

#include "fakes/manual_clock.h"
#include "platform/main_wait.h"

namespace vyo::testing {

class FakeMainWait final : public platform::MainThreadWait {
 public:
  explicit FakeMainWait(ManualClock& clock) : clock_(clock) {}

  bool CreateFrameTimer() override { return has_timer_ = true; }
  bool HasFrameTimer() const override { return has_timer_; }
  bool TimerPeriodRaised() const override { return false; }
  void CloseFrameTimer() override { has_timer_ = false; }
  void WatchInputEvent(platform::NamedEvent*) override {}
  void WatchPipe(platform::PipeServer*) override {}

  bool WaitOnTimer(int64_t due_100ns, platform::WaitResult* result) override {
    timer_waits.push_back(due_100ns);
    *result = Finish(due_100ns * ManualClock::kFrequency / 10'000'000);
    return true;
  }
  platform::WaitResult WaitTimeout(uint32_t timeout_ms) override {
    timeout_waits.push_back(timeout_ms);
    return Finish(static_cast<int64_t>(timeout_ms) * (ManualClock::kFrequency / 1000));
  }
  bool ConsumeInputSignal() override { return false; }
  void Post(std::function<void()> task) override { tasks.push_back(std::move(task)); }
  int PumpMessages(int, uint32_t) override {
    int n = 0;
    while (!tasks.empty()) {
      auto t = std::move(tasks.front());
      tasks.pop_front();
      t();
      ++n;
    }
    return n;
  }

  // The next wait ends after `counts` with a wake-up instead of its full time.
  void WakeNextAfter(int64_t counts) { wake_after_ = counts; }

  std::vector<int64_t> timer_waits;
  std::vector<uint32_t> timeout_waits;
  std::deque<std::function<void()>> tasks;

 private:
  platform::WaitResult Finish(int64_t counts) {
    if (wake_after_ >= 0) {
      clock_.AdvanceCounts(wake_after_);
      wake_after_ = -1;
      return platform::WaitResult::kWoken;
    }
    clock_.AdvanceCounts(counts);
    return platform::WaitResult::kElapsed;
  }

  ManualClock& clock_;
  bool has_timer_ = true;
  int64_t wake_after_ = -1;
};

}  // namespace vyo::testing
