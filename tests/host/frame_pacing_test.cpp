#include <gtest/gtest.h>

#include "fakes/fake_main_wait.h"
#include "fakes/manual_clock.h"
#include "host/frame_pacing.h"

namespace vyo::host {
namespace {

using testing::ManualClock;

struct PacingFixture : ::testing::Test {
  ManualClock clock;
  testing::FakeMainWait wait{clock};
  MainLoopPacer pacer{clock, &wait};
  int services = 0;
  void Wait(uint32_t rate, bool busy = false) {
    pacer.WaitForNextFrame(rate, [&] { return busy; }, [&] { ++services; });
  }
};

TEST_F(PacingFixture, IdlePacesAtThirtyFramesPerSecond) {
  const int64_t start = clock.PerfCounter();
  for (int i = 0; i < 30; ++i) Wait(30);
  // 30 periods of 1/30 s: one second, to the counter tick.
  const int64_t period = (ManualClock::kFrequency + 15) / 30;
  EXPECT_EQ(clock.PerfCounter() - start, 30 * period);
}

TEST_F(PacingFixture, OverrunSkipsToTheNextBoundaryKeepingThePhase) {
  PacingState state;
  const int64_t period = 1000;
  EXPECT_EQ(ScheduleFrameDeadline(state, 5000, period, 30), 6000);
  // The iteration overran by 2.5 periods past the deadline: the next deadline is the third boundary.
  EXPECT_EQ(ScheduleFrameDeadline(state, 8500, period, 30), 9000);
  // Before the deadline nothing moves.
  EXPECT_EQ(ScheduleFrameDeadline(state, 8600, period, 30), 9000);
  // A new rate restarts the phase from now.
  EXPECT_EQ(ScheduleFrameDeadline(state, 8700, 500, 60), 9200);
  EXPECT_EQ(state.paced_fps, 60u);
}

TEST_F(PacingFixture, WakeEndsTheWaitAtOnce) {
  wait.WakeNextAfter(10);
  Wait(30);
  EXPECT_EQ(wait.timer_waits.size(), 1u);
  // The next frame keeps the old deadline: the remaining time is waited for.
  Wait(30);
  const int64_t period = (ManualClock::kFrequency + 15) / 30;
  EXPECT_EQ(wait.timer_waits.at(1), period - 10);
}

TEST_F(PacingFixture, AnalysisInFlightSlicesTheWait) {
  Wait(30, /*busy=*/true);
  // A 33.3 ms period in 4 ms slices: 8 full slices with a frame service after each, then the rest.
  const int64_t slice = ManualClock::kFrequency * 4 / 1000;
  ASSERT_EQ(wait.timer_waits.size(), 9u);
  EXPECT_EQ(wait.timer_waits.front(), slice);
  EXPECT_EQ(services, 8);
}

TEST_F(PacingFixture, FallbacksWithoutTimerOrCounter) {
  wait.CloseFrameTimer();
  Wait(60);
  ASSERT_EQ(wait.timeout_waits.size(), 1u);
  EXPECT_EQ(wait.timeout_waits[0], 17u);  // 16.67 ms rounded to nearest
  clock.SetFrequency(0);
  Wait(60);
  EXPECT_EQ(wait.timeout_waits.back(), 16u);  // 1000 / 60
}

}  // namespace
}  // namespace vyo::host
