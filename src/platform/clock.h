// Clocks the host reads. Every time value the core uses comes from a Clock so that tests can drive
// time by hand (see tests/fakes/manual_clock.h).
#pragma once
#include <cstdint>

namespace vyo::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; wraps after about 49.7 days. Compare by subtraction.
  virtual uint32_t TickMs() = 0;
  // Milliseconds since an arbitrary start, 64 bits (never wraps in practice).
  virtual uint64_t Tick64() = 0;
  // High-resolution counter and its frequency in counts per second (frequency 0 = unusable).
  virtual int64_t PerfCounter() = 0;
  virtual int64_t PerfFrequency() = 0;
};

// The machine's clock (GetTickCount/QueryPerformanceCounter on Windows, CLOCK_MONOTONIC on Linux).
Clock& SystemClock();

// Milliseconds elapsed on the performance counter between two readings.
inline int64_t PerfMillis(int64_t from, int64_t to, int64_t frequency) {
  if (frequency <= 0) return 0;
  return (to - from) * 1000 / frequency;
}

}  // namespace vyo::platform
