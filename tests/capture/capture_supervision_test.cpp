// Capture supervision's decision as a table: the facts of one view at one step and its supervision
// state in, what its session does, the kick, the log line and the next state out. No GPU, no port.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "capture/capture_supervision.h"

namespace vyo::capture {
namespace {

using Session = SupervisionDecision::Session;

const int kPage = 0;  // the web view's identity

// A visible web view whose visual session has delivered and shown frames, seen by supervision
// before: the steady state from which each case departs.
SupervisionFacts Steady(uint32_t now) {
  SupervisionFacts f;
  f.now = now;
  f.wanted = true;
  f.visible = true;
  f.content = &kPage;
  f.has_session = true;
  f.from_visual = true;
  f.capture_start_tick = 1000;
  f.got_frame = true;
  f.has_content = true;
  return f;
}
SupervisionState SteadyState() {
  SupervisionState st;
  st.seen_webview = &kPage;
  st.was_visible = true;
  st.restart_budget = 0;  // a started session used it up
  return st;
}

struct Case {
  const char* name;
  std::function<void(SupervisionFacts&, SupervisionState&)> setup;
  Session session;
  const char* line;  // the rebuild's log line (null: none)
  bool kick = false;
  bool log_expecting = false;
  bool mismatch = false;
  bool retry_visual = false;
  bool force_analysis = false;
  std::function<void(const SupervisionState&)> check = nullptr;
};

constexpr const char* kNoFrame = "Visual capture produced no frame, rebuild session";

TEST(CaptureSupervision, DecidesEachViewsSessionKickAndLogFromItsSnapshot) {
  const uint32_t now = 50000;
  const Case cases[] = {
      {"a quiet healthy session is left alone", [](auto&, auto&) {}, Session::kKeep, nullptr, false, false, false,
       false, false, [](const SupervisionState& st) { EXPECT_EQ(st.kick_count, 0); }},
      {"a hidden view stops its session and is shown again later",
       [](auto& f, auto&) { f.wanted = false, f.visible = false; }, Session::kStop, nullptr, false, false, false, false,
       false, [](const SupervisionState& st) { EXPECT_FALSE(st.was_visible); }},
      {"a visible view with nothing to capture and no session does nothing",
       [](auto& f, auto&) { f.wanted = false, f.has_session = false; }, Session::kKeep, nullptr, false, false, false,
       false, false, [](const SupervisionState& st) { EXPECT_TRUE(st.was_visible); }},
      {"a new web view is captured at once",
       [](auto&, auto& st) { st.seen_webview = nullptr; }, Session::kRebuild, nullptr, false, false, false, false, false,
       [](const SupervisionState& st) {
         EXPECT_EQ(st.seen_webview, &kPage);
         EXPECT_EQ(st.restart_budget, kRestartBudget);
       }},
      {"a view shown again with frames is captured at once and analysed whole",
       [](auto& f, auto& st) { st.was_visible = false, f.has_pipeline = true; }, Session::kRebuild, nullptr, false,
       false, false, false, true},
      {"a view shown again without a frame expects one and rebuilds its visual session",
       [](auto& f, auto& st) { st.was_visible = false, f.got_frame = false; }, Session::kRebuild, kNoFrame, false,
       true, false, false, false, [](const SupervisionState& st) { EXPECT_EQ(st.health.rebuilds, 1); }},
      {"a source that ended by itself is rebuilt",
       [](auto& f, auto&) { f.session_ended = true; }, Session::kRebuild, "capture source ended, rebuild session"},
      {"visual frames of the wrong size for 500 ms rebuild the session",
       [](auto& f, auto&) { f.size_mismatch_since = 50000 - 500; }, Session::kRebuild, kNoFrame, false, false, true},
      {"visual frames of the wrong size for 499 ms do not yet",
       [](auto& f, auto&) { f.size_mismatch_since = 50000 - 499; }, Session::kKeep, nullptr},
      {"window frames of the wrong size are left to the frame path",
       [](auto& f, auto&) { f.size_mismatch_since = 1, f.from_visual = false; }, Session::kKeep, nullptr},
      {"a silent visual session of a view with content is rebuilt after 2 s",
       [](auto& f, auto&) { f.got_frame = false, f.capture_start_tick = 50000 - 2000; }, Session::kRebuild, kNoFrame,
       false, false, false, false, false, [](const SupervisionState& st) { EXPECT_EQ(st.health.rebuilds, 1); }},
      {"a silent visual session of a view with content is kept before 2 s",
       [](auto& f, auto&) { f.got_frame = false, f.capture_start_tick = 50000 - 1999; }, Session::kKeep, nullptr},
      {"a frame still in analysis is not silence",
       [](auto& f, auto&) { f.got_frame = false, f.analysis_in_flight = true, f.capture_start_tick = 1; },
       Session::kKeep, nullptr},
      {"a silent visual session rebuilt once falls back to the window",
       [](auto& f, auto& st) {
         f.got_frame = false, f.capture_start_tick = 50000 - 2000;
         st.health.rebuilds = 1, st.health.expect_since = 50000 - 2000;
       },
       Session::kRebuild, "Visual capture produced no frame, fall back to window capture", false, false, false, false,
       false, [](const SupervisionState& st) { EXPECT_EQ(st.health.fell_back, 1); }},
      {"a window source that delivers is replaced by the visual one after 2 s",
       [](auto& f, auto& st) {
         f.from_visual = false;
         st.health.fell_back = 1, st.health.retry_allowed = 1, st.health.window_ready_since = 50000 - 2000;
       },
       Session::kRebuild, "Window capture ready, retry visual capture", false, false, false, true},
      {"no session: a deferred start spends the budget",
       [](auto& f, auto& st) { f.has_session = false, st.restart_budget = 3, st.last_restart_tick = 50000 - 500; },
       Session::kStart, nullptr, false, false, false, false, false,
       [](const SupervisionState& st) {
         EXPECT_EQ(st.restart_budget, 2);
         EXPECT_EQ(st.last_restart_tick, 50000u);
       }},
      {"no session: starts are 500 ms apart",
       [](auto& f, auto& st) { f.has_session = false, st.restart_budget = 3, st.last_restart_tick = 50000 - 499; },
       Session::kKeep, nullptr},
      {"no session and no budget: nothing more is tried",
       [](auto& f, auto&) { f.has_session = false; }, Session::kKeep, nullptr},
      {"no session while frames are held: no start",
       [](auto& f, auto& st) { f.has_session = false, f.frames_held = true, st.restart_budget = 3; }, Session::kKeep,
       nullptr},
      {"a settling resize kicks its session",
       [](auto& f, auto&) { f.resize_settling = true; }, Session::kKeep, nullptr, true, false, false, false, false,
       [](const SupervisionState& st) {
         EXPECT_EQ(st.kick_count, 1);
         EXPECT_EQ(st.last_kick_tick, 50000u);
       }},
      {"kicks are 200 ms apart",
       [](auto& f, auto& st) { f.resize_settling = true, st.kick_count = 1, st.last_kick_tick = 50000 - 199; },
       Session::kKeep, nullptr},
      {"at most 20 kicks",
       [](auto& f, auto& st) { f.resize_settling = true, st.kick_count = kMaxKicks; }, Session::kKeep, nullptr},
      {"a session being rebuilt is not kicked",
       [](auto& f, auto&) { f.resize_settling = true, f.session_ended = true; }, Session::kRebuild,
       "capture source ended, rebuild session"},
  };
  for (const Case& c : cases) {
    SupervisionFacts f = Steady(now);
    SupervisionState st = SteadyState();
    c.setup(f, st);
    const SupervisionDecision d = Supervise(f, st);
    EXPECT_EQ(d.session, c.session) << c.name;
    EXPECT_EQ(std::string(d.rebuild_line ? d.rebuild_line : ""), std::string(c.line ? c.line : "")) << c.name;
    EXPECT_EQ(d.kick, c.kick) << c.name;
    EXPECT_EQ(d.log_expecting, c.log_expecting) << c.name;
    EXPECT_EQ(d.mismatch_rebuild, c.mismatch) << c.name;
    EXPECT_EQ(d.retry_visual, c.retry_visual) << c.name;
    EXPECT_EQ(d.force_analysis, c.force_analysis) << c.name;
    if (c.check) {
      SCOPED_TRACE(c.name);
      c.check(d.next);
    }
  }
}

// A page that never changes under a healthy session: minutes of steps leave it alone (no kick, no
// restart, no rebuild) and the state they hand on does not drift.
TEST(CaptureSupervision, AHealthyQuietSessionIsNeverKickedOrRebuilt) {
  SupervisionState st = SteadyState();
  for (uint32_t now = 2000; now < 2000 + 180000; now += 16) {
    SupervisionFacts f = Steady(now);
    f.got_frame = true;
    const SupervisionDecision d = Supervise(f, st);
    ASSERT_EQ(d.session, Session::kKeep) << now;
    ASSERT_FALSE(d.kick) << now;
    st = d.next;
  }
  EXPECT_EQ(st.health.rebuilds, 0);
  EXPECT_EQ(st.restart_budget, 0);
}

// A mode's request for frames: a visual session that has not shown one is rebuilt at once, once.
TEST(CaptureSupervision, AnExpectedFrameRebuildsASilentVisualSessionOnce) {
  SupervisionFacts f = Steady(10000);
  f.got_frame = false;
  SupervisionState st = SteadyState();
  bool log = false;
  EXPECT_TRUE(ExpectVisualFrame(f, st, &log));
  EXPECT_TRUE(log);
  EXPECT_EQ(st.restart_budget, kRestartBudget);
  f.now = 10100;
  EXPECT_FALSE(ExpectVisualFrame(f, st, &log));
  EXPECT_FALSE(log);
  // A view that shows frames, or a window session, is not rebuilt.
  SupervisionState fresh = SteadyState();
  f.got_frame = true;
  EXPECT_FALSE(ExpectVisualFrame(f, fresh, &log));
  f.got_frame = false;
  f.from_visual = false;
  EXPECT_FALSE(ExpectVisualFrame(f, fresh, &log));
  EXPECT_TRUE(log);  // the expectation is still noted
}

}  // namespace
}  // namespace vyo::capture
