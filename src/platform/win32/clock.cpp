// The machine's clock on Windows: the tick counts and the performance counter.
#include "platform/clock.h"

#include <windows.h>

namespace vyo::platform {
namespace {

class Win32Clock final : public Clock {
 public:
  uint32_t TickMs() override { return GetTickCount(); }
  uint64_t Tick64() override { return GetTickCount64(); }
  int64_t PerfCounter() override {
    LARGE_INTEGER now;
    if (!QueryPerformanceCounter(&now)) return 0;
    return now.QuadPart;
  }
  int64_t PerfFrequency() override {
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency)) return 0;
    return frequency.QuadPart;
  }
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace vyo::platform
