// How long the benchmarks measure. scripts/bench.sh runs them in full; the test command runs each
// once as a smoke run (VYO_BENCH_SMOKE=1), briefly, so that a benchmark that hangs or crashes is
// caught there. Figures of a smoke run are not judged.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vyo::bench {

inline bool SmokeRun() {
  static const bool smoke = [] {
    const char* value = std::getenv("VYO_BENCH_SMOKE");
    return value != nullptr && std::strcmp(value, "0") != 0 && value[0] != '\0';
  }();
  return smoke;
}

// A measuring span in seconds: as given, or a short one in a smoke run.
inline double Seconds(double full) { return SmokeRun() ? std::min(full, 0.3) : full; }
// A number of repetitions: as given, or one in a smoke run.
inline int64_t Count(int64_t full) { return SmokeRun() ? 1 : full; }

}  // namespace vyo::bench
