// Retries of something that keeps failing: the first three failures in a row are retried at once,
// later ones after 1 s, 2 s, 4 s ... (at most 30 s). A success ends the back-off.
#pragma once
#include <algorithm>
#include <cstdint>

namespace vyo::capture {

struct RetryBackoff {
  static constexpr uint32_t kFreeRetries = 3;
  static constexpr uint32_t kFirstIntervalMs = 1000;
  static constexpr uint32_t kMaxIntervalMs = 30000;

  uint32_t failures = 0;  // in a row
  uint32_t interval = 0;  // ms; 0 while retries are immediate
  uint32_t retry_at = 0;  // tick of the next attempt while backing off

  bool backing_off() const { return failures >= kFreeRetries; }
  bool MayRetry(uint32_t now) const { return !backing_off() || static_cast<int32_t>(now - retry_at) >= 0; }
  // A failure at `now`. True when this failure starts the back-off (the change worth a log line).
  bool NoteFailure(uint32_t now) {
    ++failures;
    if (!backing_off()) return false;
    interval = interval == 0 ? kFirstIntervalMs : std::min(interval * 2, kMaxIntervalMs);
    retry_at = now + interval;
    return failures == kFreeRetries;
  }
  // A success. True when it ends a back-off.
  bool NoteSuccess() {
    const bool was = backing_off();
    *this = RetryBackoff{};
    return was;
  }
};

}  // namespace vyo::capture
