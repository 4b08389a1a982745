// The stall judgement as a table: each threshold just under and just over, the order of the
// checks, the parent, idle loops, start ticks newer than now, and shutdown.
#include "watchdog/judgement.h"

#include <gtest/gtest.h>

namespace vyo::watchdog {
namespace {

constexpr uint32_t kNow = 100000;

// A main loop that has published a stage and made no progress since `stuck_ms` ago.
Sample Stuck(uint32_t stuck_ms, int32_t pending) {
  Sample s;
  s.now = kNow;
  s.stage_tick = kNow - stuck_ms;
  s.last_progress_tick = kNow - stuck_ms;
  s.pending = pending;
  return s;
}

struct Case {
  const char* name;
  Sample sample;
  Verdict verdict;
  uint32_t age;
};

Sample With(Sample s, void (*change)(Sample&)) {
  change(s);
  return s;
}

TEST(WatchdogJudgement, Table) {
  const Case cases[] = {
      {"input waiting, just under 8 s", Stuck(7999, 3), Verdict::kNone, 0},
      {"input waiting, at 8 s", Stuck(8000, 3), Verdict::kMainLoop, 8000},
      {"idle, 8 s is not a stall", Stuck(8000, 0), Verdict::kNone, 0},
      {"idle, just under 30 s", Stuck(29999, 0), Verdict::kNone, 0},
      {"idle, at 30 s", Stuck(30000, 0), Verdict::kMainLoop, 30000},
      {"progress made: no stall however old", With(Stuck(60000, 3), [](Sample& s) { s.progressed = true; }),
       Verdict::kNone, 0},
      {"no stage published yet", With(Stuck(60000, 3), [](Sample& s) { s.stage_tick = 0; }), Verdict::kNone, 0},
      {"pipe write just under 8 s", With(Stuck(0, 0), [](Sample& s) {
         s.progressed = true;
         s.pipe_writing = true;
         s.pipe_write_start_tick = kNow - 7999;
       }), Verdict::kNone, 0},
      {"pipe write at 8 s while the loop runs", With(Stuck(0, 0), [](Sample& s) {
         s.progressed = true;
         s.pipe_writing = true;
         s.pipe_write_start_tick = kNow - 8000;
       }), Verdict::kPipeWrite, 8000},
      {"pipe write stall before a main-loop stall in the same sample", With(Stuck(9000, 3), [](Sample& s) {
         s.pipe_writing = true;
         s.pipe_write_start_tick = kNow - 9000;
       }), Verdict::kPipeWrite, 9000},
      {"start tick 0 means no write", With(Stuck(0, 0), [](Sample& s) {
         s.progressed = true;
         s.pipe_writing = true;
       }), Verdict::kNone, 0},
      {"write start newer than now is age 0", With(Stuck(0, 0), [](Sample& s) {
         s.progressed = true;
         s.pipe_writing = true;
         s.pipe_write_start_tick = kNow + 5;
       }), Verdict::kNone, 0},
      {"progress tick newer than now is age 0", With(Stuck(0, 3), [](Sample& s) { s.last_progress_tick = kNow + 1; }),
       Verdict::kNone, 0},
      {"parent gone, just under 2 s", With(Stuck(1999, 0), [](Sample& s) {
         s.parent_watched = true;
         s.parent_exited = true;
       }), Verdict::kNone, 0},
      {"parent gone at 2 s", With(Stuck(2000, 0), [](Sample& s) {
         s.parent_watched = true;
         s.parent_exited = true;
       }), Verdict::kParentGone, 2000},
      {"parent gone wins over a main-loop stall", With(Stuck(9000, 3), [](Sample& s) {
         s.parent_watched = true;
         s.parent_exited = true;
       }), Verdict::kParentGone, 9000},
      {"parent alive", With(Stuck(2000, 0), [](Sample& s) { s.parent_watched = true; }), Verdict::kNone, 0},
      {"parent gone but the loop runs", With(Stuck(5000, 0), [](Sample& s) {
         s.parent_watched = true;
         s.parent_exited = true;
         s.progressed = true;
       }), Verdict::kNone, 0},
      {"disarmed: a stuck loop with its parent gone is no stall", With(Stuck(60000, 3), [](Sample& s) {
         s.parent_watched = true;
         s.parent_exited = true;
         s.pipe_writing = true;
         s.pipe_write_start_tick = kNow - 9000;
         s.armed = false;
         s.disarm_tick = kNow - 14999;
       }), Verdict::kNone, 0},
      {"disarmed past the shutdown deadline", With(Stuck(60000, 0), [](Sample& s) {
         s.armed = false;
         s.disarm_tick = kNow - 15000;
       }), Verdict::kShutdownOverdue, 15000},
  };
  const Thresholds thresholds;
  for (const Case& c : cases) {
    const Judgement j = Judge(c.sample, thresholds);
    EXPECT_EQ(j.verdict, c.verdict) << c.name;
    EXPECT_EQ(j.age_ms, c.age) << c.name;
  }
}

TEST(WatchdogJudgement, AgesAcrossTheTickWrap) {
  EXPECT_EQ(AgeMs(5, 0xFFFFFFF0u), 21u);  // the tick wrapped between start and now
  EXPECT_EQ(AgeMs(100, 101), 0u);         // start written after now was read
  EXPECT_EQ(AgeMs(100, 100), 0u);
  EXPECT_EQ(AgeMs(0x7FFFFFFFu, 0), 0x7FFFFFFFu);
}

}  // namespace
}  // namespace vyo::watchdog
