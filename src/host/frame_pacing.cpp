#include "host/frame_pacing.h"

#include <algorithm>
#include <cmath>

namespace vyo::host {

int64_t ScheduleFrameDeadline(PacingState& state, int64_t now, int64_t period, uint32_t rate) {
  if (state.next_frame_deadline != 0 && rate == state.paced_fps) {
    if (now >= state.next_frame_deadline) {
      // Move to the first period boundary after now, keeping the phase.
      state.next_frame_deadline += period * ((now - state.next_frame_deadline) / period + 1);
    }
  } else {
    state.paced_fps = rate;
    state.next_frame_deadline = now + period;
  }
  if (state.next_frame_deadline == 0) state.next_frame_deadline = 1;  // 0 means "not scheduled"
  return state.next_frame_deadline;
}

void MainLoopPacer::WaitForNextFrame(uint32_t rate, const std::function<bool()>& analysis_busy,
                                  const std::function<void()>& slice_service) {
  rate = std::clamp<uint32_t>(rate, 1, 60);
  const int64_t frequency = clock_.PerfFrequency();
  const auto plain_wait = [&] { wait_->WaitTimeout(std::max<uint32_t>(1, 1000 / rate)); };
  if (frequency <= 0) {
    plain_wait();
    return;
  }
  const int64_t period = (frequency + rate / 2) / rate;
  if (period <= 0) {
    plain_wait();
    return;
  }
  const int64_t deadline = ScheduleFrameDeadline(state_, clock_.PerfCounter(), period, rate);
  const int64_t slice = std::max<int64_t>(1, frequency * 4 / 1000);
  for (;;) {
    const int64_t remaining = deadline - clock_.PerfCounter();
    if (remaining <= 0) return;
    const bool busy = analysis_busy();
    const int64_t wait = busy ? std::min(slice, remaining) : remaining;
    bool timed_out = true;
    if (wait > 0) {
      platform::WaitResult result = platform::WaitResult::kElapsed;
      const int64_t due_100ns = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(wait) * 1e7 /
                                                                          static_cast<double>(frequency)));
      if (!wait_->HasFrameTimer() || !wait_->WaitOnTimer(due_100ns, &result)) {
        const auto ms =
            static_cast<uint32_t>(std::floor(static_cast<double>(wait) * 1000.0 / static_cast<double>(frequency) + 0.5));
        result = wait_->WaitTimeout(ms);
      }
      timed_out = result == platform::WaitResult::kElapsed;
    }
    if (!timed_out) return;  // input or a message arrived: the next iteration handles it
    if (!busy || wait >= remaining) return;
    slice_service();
  }
}

}  // namespace vyo::host
