// A clock that moves only when a test moves it.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace vyo::testing {

class ManualClock final : public platform::Clock {
 public:
  // The performance counter runs at 10 MHz (one count per 100 ns).
  static constexpr int64_t kFrequency = 10'000'000;

  uint32_t TickMs() override { return static_cast<uint32_t>(Tick64()); }
  uint64_t Tick64() override { return static_cast<uint64_t>(counter_.load() / (kFrequency / 1000)); }
  int64_t PerfCounter() override { return counter_.load(); }
  int64_t PerfFrequency() override { return frequency_; }

  void AdvanceMs(int64_t ms) { counter_ += ms * (kFrequency / 1000); }
  void AdvanceCounts(int64_t counts) { counter_ += counts; }
  void SetCounter(int64_t counts) { counter_ = counts; }
  void SetFrequency(int64_t f) { frequency_ = f; }

 private:
  std::atomic<int64_t> counter_{kFrequency};  // start one second in, so ticks are never 0
  int64_t frequency_ = kFrequency;
};

}  // namespace vyo::testing
