// The watchdog driven sample by sample with the manual clock, its thread, and the report flag that
// the pipe writer's stuck-stop path shares.
#include "watchdog/watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "fakes/manual_clock.h"
#include "watchdog/fake_source.h"

namespace vyo::watchdog {
namespace {

using vyo::testing::ManualClock;
using watchdog::testing::FakeSource;
using watchdog::testing::RecordingLog;

class WatchdogFixture : public ::testing::Test {
 protected:
  WatchdogFixture() : writer_(u"", log_), dog_(clock_, source_, writer_, 4242, [this](uint32_t code) {
                                             codes_.push_back(code);
                                           }) {
    source_.stage = 5;
    source_.detail = 9;
    source_.stage_tick = clock_.TickMs();
    source_.parent_pid = 77;
    dog_.Reset();
  }

  // Advances the clock in 500 ms samples until the watchdog acts or `limit_ms` passes; returns the
  // milliseconds it took (or -1). `each` runs before every sample.
  template <typename Each>
  int64_t RunUntilVerdict(int64_t limit_ms, Each each) {
    for (int64_t t = 500; t <= limit_ms; t += 500) {
      clock_.AdvanceMs(500);
      each();
      if (dog_.Poll() != Verdict::kNone) return t;
    }
    return -1;
  }
  int64_t RunUntilVerdict(int64_t limit_ms) {
    return RunUntilVerdict(limit_ms, [] {});
  }

  std::string OnlyLogLine() {
    EXPECT_EQ(log_.records.size(), 1u);
    return log_.records.empty() ? std::string() : log_.records[0].text;
  }

  ManualClock clock_;
  FakeSource source_;
  RecordingLog log_;
  StallReportWriter writer_;
  std::vector<uint32_t> codes_;
  Watchdog dog_;
};

TEST_F(WatchdogFixture, StuckLoopWithInputIsReportedAtEightSeconds) {
  source_.pending = 3;
  EXPECT_EQ(RunUntilVerdict(10000), 8000);
  EXPECT_EQ(codes_, std::vector<uint32_t>{kExitStall});
  EXPECT_EQ(OnlyLogLine(),
            "[FenyraOverlayHost]host watchdog stall: reason=main_loop, pid=4242, stage=pump_frames(5), detail=9, "
            "stage_age=8000ms, no_progress_age=8000ms, pending=3, parent=77, exit=0xE0010001\r\n");
  EXPECT_EQ(log_.shutdowns, 1);  // the log is ended before the process
  EXPECT_TRUE(dog_.stall_reported());
  // Nothing more happens after it acted.
  clock_.AdvanceMs(60000);
  EXPECT_EQ(dog_.Poll(), Verdict::kNone);
  EXPECT_EQ(codes_.size(), 1u);
}

TEST_F(WatchdogFixture, IdleStuckLoopWaitsThirtySeconds) {
  EXPECT_EQ(RunUntilVerdict(40000), 30000);
  EXPECT_NE(OnlyLogLine().find("reason=main_loop"), std::string::npos);
  EXPECT_NE(OnlyLogLine().find("pending=0"), std::string::npos);
}

TEST_F(WatchdogFixture, ProgressResetsTheAge) {
  source_.pending = 3;
  // Frames tick for 20 s (a loop that is only waiting), then the loop stops.
  int ticks = 0;
  EXPECT_EQ(RunUntilVerdict(40000, [&] {
              if (++ticks <= 40) ++source_.frame;
            }),
            20000 + 8000);
  // Input read progress counts like frames.
  EXPECT_EQ(codes_.size(), 1u);
}

TEST_F(WatchdogFixture, DrainedInputIsProgress) {
  source_.pending = 1;
  EXPECT_EQ(RunUntilVerdict(60000, [&] { source_.drained = source_.drained + 1; }), -1);
  EXPECT_TRUE(codes_.empty());
}

TEST_F(WatchdogFixture, StuckPipeWriteIsReportedWhileTheLoopRuns) {
  source_.writing = true;
  source_.write_start = clock_.TickMs() + 1000;  // the write begins a second in
  EXPECT_EQ(RunUntilVerdict(12000, [&] { ++source_.frame; }), 9000);
  EXPECT_EQ(codes_, std::vector<uint32_t>{kExitStall});
  EXPECT_NE(OnlyLogLine().find("reason=pipe_write, pid=4242, stage=pump_frames(5), detail=9, stage_age=9000ms, "
                               "no_progress_age=8000ms"),
            std::string::npos);
}

TEST_F(WatchdogFixture, PipeAndLoopStallInOneSampleGiveOneReport) {
  source_.pending = 2;
  source_.writing = true;
  source_.write_start = clock_.TickMs();
  EXPECT_EQ(RunUntilVerdict(10000), 8000);
  EXPECT_NE(OnlyLogLine().find("reason=pipe_write"), std::string::npos);
  EXPECT_EQ(codes_.size(), 1u);
}

TEST_F(WatchdogFixture, ParentGoneEndsWithoutReport) {
  source_.parent_watched = true;
  source_.parent_exited = true;
  source_.pending = 3;
  EXPECT_EQ(RunUntilVerdict(10000), 2000);
  EXPECT_EQ(codes_, std::vector<uint32_t>{kExitParentGone});
  EXPECT_TRUE(log_.records.empty());
}

TEST_F(WatchdogFixture, ParentIsAskedOnlyWhileTheLoopIsStuck) {
  source_.parent_watched = true;
  EXPECT_EQ(RunUntilVerdict(5000, [&] { ++source_.frame; }), -1);
  EXPECT_EQ(source_.parent_queries.load(), 0);
}

TEST_F(WatchdogFixture, DisarmedShutdownIgnoresTheParentButHasADeadline) {
  source_.parent_watched = true;
  source_.parent_exited = true;
  dog_.Disarm();
  EXPECT_EQ(RunUntilVerdict(20000), 15000);
  EXPECT_EQ(codes_, std::vector<uint32_t>{kExitStall});
  EXPECT_NE(OnlyLogLine().find("reason=shutdown"), std::string::npos);
}

TEST_F(WatchdogFixture, PipeShutdownStallSharesTheOnceFlag) {
  dog_.ReportPipeShutdownStall();
  EXPECT_EQ(codes_, std::vector<uint32_t>{kExitStall});
  EXPECT_EQ(OnlyLogLine(),
            "[FenyraOverlayHost]host watchdog stall: reason=pipe_shutdown, pid=4242, stage=pump_frames(5), detail=9, "
            "stage_age=0ms, no_progress_age=2000ms, pending=0, parent=77, exit=0xE0010001\r\n");
  // The watchdog does not report a second time; a second stuck stop ends the process unreported.
  source_.pending = 3;
  EXPECT_EQ(RunUntilVerdict(10000), -1);
  dog_.ReportPipeShutdownStall();
  EXPECT_EQ(codes_.size(), 2u);
  EXPECT_EQ(log_.records.size(), 1u);
}

TEST(WatchdogThread, SamplesOnItsThreadAndStops) {
  FakeSource source;
  RecordingLog log;
  StallReportWriter writer(u"", log);
  std::atomic<uint32_t> code{0};
  Thresholds t;
  t.sample_interval_ms = 10;
  t.main_loop_idle_ms = 60;
  platform::Clock& clock = platform::SystemClock();
  source.stage_tick = clock.TickMs();
  {
    Watchdog dog(clock, source, writer, 1, [&](uint32_t c) { code = c; }, t);
    ASSERT_TRUE(dog.Start());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (code.load() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(code.load(), kExitStall);
    dog.Stop();
    EXPECT_FALSE(dog.running());
  }
  // A watchdog that is stopped before anything happens never acts.
  code = 0;
  Watchdog quiet(clock, source, writer, 1, [&](uint32_t c) { code = c; });
  ASSERT_TRUE(quiet.Start());
  const auto start = std::chrono::steady_clock::now();
  quiet.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_EQ(code.load(), 0u);
}

}  // namespace
}  // namespace vyo::watchdog
