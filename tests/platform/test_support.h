// Helpers shared by the OS layer tests.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/process.h"

namespace vyo::platform::testing {

// A name no other test (in this process or a parallel one) uses: prefix, process id, counter.
inline std::u16string UniqueName(const char* prefix) {
  static std::atomic<uint32_t> counter{0};
  const std::string text = std::string("vyo-test-") + prefix + "-" +
                           std::to_string(CurrentProcessId()) + "-" + std::to_string(++counter);
  return std::u16string(text.begin(), text.end());
}

inline std::u16string Ascii16(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

// Polls `done` every few milliseconds until it returns true or `limit` passes.
template <typename Predicate>
bool PollUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline int64_t MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace vyo::platform::testing
