#include "platform/clock.h"

#include <time.h>

namespace vyo::platform {
namespace {

int64_t MonotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

class MonotonicClock final : public Clock {
 public:
  uint32_t TickMs() override { return static_cast<uint32_t>(Tick64()); }
  uint64_t Tick64() override { return static_cast<uint64_t>(MonotonicNanos() / 1'000'000); }
  int64_t PerfCounter() override { return MonotonicNanos(); }
  int64_t PerfFrequency() override { return 1'000'000'000; }
};

}  // namespace

Clock& SystemClock() {
  static MonotonicClock clock;
  return clock;
}

}  // namespace vyo::platform
