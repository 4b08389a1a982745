// Frame pacing: the main loop sleeps until the next frame boundary of the highest frame rate any
// visible web view asks for. The deadline keeps its phase (missed periods are skipped, not
// queued); while frame analysis is in flight the wait is cut into 4 ms slices with a frame service
// between them.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/clock.h"
#include "platform/main_wait.h"

namespace vyo::host {

struct PacingState {
  int64_t next_frame_deadline = 0;  // counter ticks; 0 = not scheduled
  uint32_t paced_fps = 0;
};

// Deadline of the coming frame for `rate` at counter time `now` (steps that keep the phase).
int64_t ScheduleFrameDeadline(PacingState& state, int64_t now, int64_t period, uint32_t rate);

class MainLoopPacer {
 public:
  MainLoopPacer(platform::Clock& clock, platform::MainThreadWait* wait) : clock_(clock), wait_(wait) {}

  // Waits for the next frame at `rate` (1 to 60). `analysis_busy` says whether analysis work is in
  // flight; `slice_service` runs between slices while it is. Returns early when woken.
  void WaitForNextFrame(uint32_t rate, const std::function<bool()>& analysis_busy,
                        const std::function<void()>& slice_service);

  const PacingState& state() const { return state_; }

 private:
  platform::Clock& clock_;
  platform::MainThreadWait* wait_;
  PacingState state_;
};

}  // namespace vyo::host
