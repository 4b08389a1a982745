// The watchdog's decision over one sample of the host's state: pure, so that it can be tested with
// any clock values.
#pragma once
#include <cstdint>

namespace vyo::watchdog {

struct Thresholds {
  uint32_t sample_interval_ms = 500;
  uint32_t pipe_write_stall_ms = 8000;
  uint32_t parent_gone_ms = 2000;
  uint32_t main_loop_input_ms = 8000;  // no progress while input records wait
  uint32_t main_loop_idle_ms = 30000;  // no progress with an empty input ring
  // An orderly shutdown that takes longer than this after Disarm is ended as a stall.
  uint32_t shutdown_deadline_ms = 15000;
};

// What the watchdog saw at `now` (u32 millisecond ticks; 0 means "not set" for every tick field).
struct Sample {
  uint32_t now = 0;
  uint32_t stage_tick = 0;          // when the current main-loop stage began
  uint32_t last_progress_tick = 0;  // when the main loop last made progress
  bool progressed = false;          // frame counter or input read index moved since the last sample
  bool pipe_writing = false;
  uint32_t pipe_write_start_tick = 0;
  int32_t pending = 0;              // input records waiting in the ring
  bool parent_watched = false;      // the parent process is open and can be asked
  bool parent_exited = false;
  bool armed = true;                // false once shutdown began
  uint32_t disarm_tick = 0;         // when shutdown began (meaningful when !armed)
};

enum class Verdict {
  kNone,
  kPipeWrite,         // a pipe write stuck: report "pipe_write", end with 0xE0010001
  kMainLoop,          // no progress: report "main_loop", end with 0xE0010001
  kParentGone,        // the parent exited and the loop is stuck: end with 0xE0010002, no report
  kShutdownOverdue,   // shutdown ran past its deadline: report "shutdown", end with 0xE0010001
};

struct Judgement {
  Verdict verdict = Verdict::kNone;
  uint32_t age_ms = 0;  // the age that triggered the verdict (the report's no_progress_age)
};

// now − start for u32 ticks. A start tick written after `now` was read (it lies "ahead" of now by
// less than half the tick range) counts as age 0 instead of an age of about 49 days.
uint32_t AgeMs(uint32_t now, uint32_t start);

// Checks, in order: the shutdown deadline (disarmed), the pipe write, then the main loop (parent
// gone before the two stall thresholds). The main-loop checks need a stage tick (the loop has
// published at least once) and no progress in this sample.
Judgement Judge(const Sample& sample, const Thresholds& thresholds);

}  // namespace vyo::watchdog
