// The per-view frame pacer: accepts frames on a fixed grid of the view's frame interval (late
// frames do not shift the grid). Times are performance-counter values. Apart from the main loop's
// pacer of the same name (host/frame_pacing.h), which paces the loop's wait.
#pragma once
#include <cstdint>

namespace vyo::capture {

struct FramePacer {
  int64_t frequency = 0;  // counts per second; 0 or less disables pacing
  int64_t next_due = 0;   // 0 = not scheduled
  uint32_t paced_rate = 0;

  void Reset() {
    next_due = 0;
    paced_rate = 0;
  }
  // Whether a frame may be published now at `rate` frames per second (0 counts as 30). `force`
  // accepts without touching the schedule (once one exists for this rate).
  bool Accept(uint32_t rate, int64_t now, bool force);
};

}  // namespace vyo::capture
