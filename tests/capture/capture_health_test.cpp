// CaptureHealth: when a silent visual session is rebuilt, when the view falls back to its window
// source, when the visual source is tried again, and when retries stop.
#include <gtest/gtest.h>

#include <functional>

#include "capture/capture_health.h"

namespace vyo::capture {
namespace {

HealthSnapshot Visual(uint32_t now, uint32_t start, bool had_content) {
  HealthSnapshot s;
  s.now = now;
  s.capture_start_tick = start;
  s.visual_possible = true;
  s.active = true;
  s.from_visual = true;
  s.has_frame = false;
  s.had_content = had_content;
  return s;
}

HealthSnapshot Window(uint32_t now, uint32_t start) {
  HealthSnapshot s = Visual(now, start, true);
  s.from_visual = false;
  s.has_frame = true;
  return s;
}

// The first tick at which Evaluate gives something other than kNone, stepping 100 ms from `from`.
struct Verdict {
  uint32_t at;
  HealthVerdict verdict;
};
Verdict FirstVerdict(CaptureHealth& h, uint32_t from, const std::function<HealthSnapshot(uint32_t)>& snap) {
  for (uint32_t t = from; t - from < 60000; t += 100) {
    const HealthVerdict v = h.Evaluate(snap(t));
    if (v != HealthVerdict::kNone) return {t, v};
  }
  return {0, HealthVerdict::kNone};
}

TEST(CaptureHealth, SilentVisualWithContentIsRebuiltAfterTwoSecondsThenFallsBackTwoSecondsLater) {
  CaptureHealth h;
  const uint32_t start = 10000;
  Verdict v = FirstVerdict(h, start, [&](uint32_t t) { return Visual(t, start, true); });
  EXPECT_EQ(v.verdict, HealthVerdict::kRebuild);
  EXPECT_EQ(v.at, start + 2000);
  // The rebuilt session starts now; two more silent seconds and the window takes over.
  const uint32_t rebuilt = v.at;
  v = FirstVerdict(h, rebuilt, [&](uint32_t t) { return Visual(t, rebuilt, true); });
  EXPECT_EQ(v.verdict, HealthVerdict::kFallBack);
  EXPECT_EQ(v.at, rebuilt + 2000);
  EXPECT_EQ(h.fell_back, 1);
  EXPECT_EQ(h.retry_allowed, 1);
}

TEST(CaptureHealth, SilentVisualWithoutContentWaitsEightSecondsOnlyOnceAFrameIsExpected) {
  CaptureHealth h;
  const uint32_t start = 5000;
  // Nobody expects a frame: no verdict at all.
  EXPECT_EQ(FirstVerdict(h, start, [&](uint32_t t) { return Visual(t, start, false); }).verdict, HealthVerdict::kNone);
  const uint32_t expected = 70000;
  EXPECT_TRUE(h.NoteExpectFrame(expected));
  EXPECT_FALSE(h.NoteExpectFrame(expected + 5));  // already awaiting
  Verdict v = FirstVerdict(h, expected, [&](uint32_t t) { return Visual(t, start, false); });
  EXPECT_EQ(v.verdict, HealthVerdict::kRebuild);
  EXPECT_EQ(v.at, expected + 8000);
  v = FirstVerdict(h, v.at, [&, rebuilt = v.at](uint32_t t) { return Visual(t, rebuilt, false); });
  EXPECT_EQ(v.verdict, HealthVerdict::kFallBack);
  EXPECT_EQ(v.at, expected + 16000);
}

TEST(CaptureHealth, ALaterSessionStartMovesTheBaseAndTicksMayWrap) {
  CaptureHealth h;
  // Expected long ago, but the session only started at 0xFFFFFF00: the wait counts from there,
  // across the wrap of the 32-bit tick.
  h.NoteExpectFrame(0xFFFF0000u);
  const uint32_t start = 0xFFFFFF00u;
  const Verdict v = FirstVerdict(h, start, [&](uint32_t t) { return Visual(t, start, false); });
  EXPECT_EQ(v.verdict, HealthVerdict::kRebuild);
  EXPECT_EQ(v.at, start + 8000u);  // wrapped
}

TEST(CaptureHealth, RetriesBackOffTwoFourEightAndStopAfterTheThirdUntilActivity) {
  CaptureHealth h;
  uint32_t now = 1000;
  const uint32_t expected_delays[] = {2000, 4000, 8000};
  for (int round = 0; round < 3; ++round) {
    // Visual fails (rebuilt once, then falls back).
    h.rebuilds = 1;
    const Verdict fb = FirstVerdict(h, now, [&, s = now](uint32_t t) { return Visual(t, s, true); });
    ASSERT_EQ(fb.verdict, HealthVerdict::kFallBack) << round;
    // The window delivers frames: after the back-off, the visual is tried again.
    h.NoteFrame(false, fb.at);
    const Verdict retry = FirstVerdict(h, fb.at, [&, s = fb.at](uint32_t t) { return Window(t, s); });
    ASSERT_EQ(retry.verdict, HealthVerdict::kRetryVisual) << round;
    EXPECT_EQ(retry.at - fb.at, expected_delays[round]) << round;
    EXPECT_EQ(h.fallbacks, round + 1);
    now = retry.at;
  }
  // The fourth failure: on the window for good.
  const Verdict fb = FirstVerdict(h, now, [&, s = now](uint32_t t) { return Visual(t, s, true); });
  ASSERT_EQ(fb.verdict, HealthVerdict::kFallBack);
  EXPECT_EQ(h.gave_up, 1);
  EXPECT_EQ(h.retry_allowed, 0);
  EXPECT_EQ(FirstVerdict(h, fb.at, [&](uint32_t t) { return Window(t, fb.at); }).verdict, HealthVerdict::kNone);
  // Showing or resizing the view (debounced to once per 500 ms) allows retries again.
  h.last_activity = 0;
  h.NoteActivity(fb.at + 100);
  EXPECT_EQ(h.gave_up, 0);
  EXPECT_EQ(h.fallbacks, 0);
  EXPECT_EQ(h.retry_allowed, 1);
  const Verdict retry = FirstVerdict(h, fb.at + 100, [&](uint32_t t) { return Window(t, fb.at); });
  EXPECT_EQ(retry.verdict, HealthVerdict::kRetryVisual);
}

TEST(CaptureHealth, ActivityIsDebouncedAndAVisualFrameResetsAllButIt) {
  CaptureHealth h;
  h.gave_up = 1;
  h.fell_back = 1;
  h.fallbacks = 3;
  h.NoteActivity(1000);
  EXPECT_EQ(h.gave_up, 0);
  h.gave_up = 1;
  h.NoteActivity(1400);  // within 500 ms: ignored
  EXPECT_EQ(h.gave_up, 1);
  h.NoteActivity(1500);
  EXPECT_EQ(h.gave_up, 0);
  h.rebuilds = 1;
  h.expect_since = 77;
  h.NoteFrame(true, 2000);
  EXPECT_EQ(h.rebuilds, 0);
  EXPECT_EQ(h.expect_since, 0u);
  EXPECT_EQ(h.fell_back, 0);
  EXPECT_EQ(h.last_activity, 1500u);
  // A window frame only starts the "window ready" time, and only after a fallback.
  h.NoteFrame(false, 2100);
  EXPECT_EQ(h.window_ready_since, 0u);
  h.NoteVisualFailure();
  h.NoteFrame(false, 2200);
  EXPECT_EQ(h.window_ready_since, 2200u);
  // An immediate rebuild happens once.
  CaptureHealth fresh;
  EXPECT_TRUE(fresh.TryImmediateRebuild(10));
  EXPECT_FALSE(fresh.TryImmediateRebuild(20));
}

}  // namespace
}  // namespace vyo::capture
