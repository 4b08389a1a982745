#include "watchdog/judgement.h"

namespace vyo::watchdog {

uint32_t AgeMs(uint32_t now, uint32_t start) {
  const uint32_t age = now - start;
  return age > 0x7FFFFFFFu ? 0 : age;
}

Judgement Judge(const Sample& s, const Thresholds& t) {
  if (!s.armed) {
    // Shutdown: the parent may exit and the loop no longer runs; only the deadline counts.
    const uint32_t age = AgeMs(s.now, s.disarm_tick);
    if (s.disarm_tick != 0 && age >= t.shutdown_deadline_ms) return {Verdict::kShutdownOverdue, age};
    return {};
  }
  if (s.pipe_writing && s.pipe_write_start_tick != 0) {
    const uint32_t age = AgeMs(s.now, s.pipe_write_start_tick);
    if (age >= t.pipe_write_stall_ms) return {Verdict::kPipeWrite, age};
  }
  if (s.progressed || s.stage_tick == 0) return {};
  const uint32_t age = AgeMs(s.now, s.last_progress_tick);
  if (s.parent_watched && s.parent_exited && age >= t.parent_gone_ms) return {Verdict::kParentGone, age};
  const uint32_t limit = s.pending > 0 ? t.main_loop_input_ms : t.main_loop_idle_ms;
  if (age >= limit) return {Verdict::kMainLoop, age};
  return {};
}

}  // namespace vyo::watchdog
