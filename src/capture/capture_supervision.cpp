#include "capture/capture_supervision.h"

namespace vyo::capture {

bool ExpectVisualFrame(const SupervisionFacts& f, SupervisionState& state, bool* log_expecting) {
  *log_expecting = false;
  if (f.got_frame) return false;
  if (state.health.NoteExpectFrame(f.now)) {
    *log_expecting = true;
  } else if (state.health.rebuilds != 0) {
    return false;
  }
  if (!f.has_session || !f.from_visual || !state.health.TryImmediateRebuild(f.now)) return false;
  state.restart_budget = kRestartBudget;
  state.last_restart_tick = 0;
  return true;
}

namespace {

using Session = SupervisionDecision::Session;

// Whether the view's session starts, stops or is rebuilt.
void DecideSession(const SupervisionFacts& f, SupervisionDecision& d) {
  SupervisionState& st = d.next;
  if (!f.wanted) {
    if (!f.visible) st.was_visible = false;
    if (f.has_session) d.session = Session::kStop;
    return;
  }
  const auto rebuild = [&](const char* line) {
    d.session = Session::kRebuild;
    d.rebuild_line = line;
    st.restart_budget = kRestartBudget;
    st.last_restart_tick = 0;
  };
  // A new web view (the first, or one made again) or a view shown again: capture it now.
  const bool shown = !st.was_visible;
  st.was_visible = true;
  d.force_analysis = shown && f.has_pipeline;
  if (st.seen_webview != f.content || shown) {
    st.seen_webview = f.content;
    if (shown) {
      st.health.NoteActivity(f.now);
      if (ExpectVisualFrame(f, st, &d.log_expecting)) {
        rebuild("Visual capture produced no frame, rebuild session");
        return;
      }
    }
    rebuild(nullptr);
    return;
  }
  // The source ended by itself (its page went away, the browser exited): capture again.
  if (f.has_session && f.session_ended) {
    rebuild("capture source ended, rebuild session");
    return;
  }
  if (f.has_session && f.from_visual && f.size_mismatch_since != 0 &&
      TickDiff(f.now, f.size_mismatch_since) >= static_cast<int32_t>(kMismatchRebuildMs)) {
    d.mismatch_rebuild = true;
    rebuild("Visual capture produced no frame, rebuild session");
    return;
  }
  HealthSnapshot snap;
  snap.now = f.now;
  snap.capture_start_tick = f.capture_start_tick;
  snap.visual_possible = true;
  snap.active = f.has_session || f.frames_held;
  snap.from_visual = f.from_visual;
  snap.has_frame = f.got_frame || f.analysis_in_flight;
  snap.had_content = f.has_content;
  snap.restart_pending = false;
  switch (st.health.Evaluate(snap)) {
    case HealthVerdict::kRebuild:
      rebuild("Visual capture produced no frame, rebuild session");
      return;
    case HealthVerdict::kFallBack:
      rebuild("Visual capture produced no frame, fall back to window capture");
      return;
    case HealthVerdict::kRetryVisual:
      d.retry_visual = true;
      rebuild("Window capture ready, retry visual capture");
      return;
    case HealthVerdict::kNone:
      break;
  }
  if (!f.has_session && !f.frames_held && st.restart_budget > 0 &&
      TickDiff(f.now, st.last_restart_tick) >= static_cast<int32_t>(kRestartSpacingMs)) {
    st.last_restart_tick = NonZeroTick(f.now);
    st.restart_budget -= 1;
    d.session = Session::kStart;
  }
}

}  // namespace

SupervisionDecision Supervise(const SupervisionFacts& f, SupervisionState state) {
  SupervisionDecision d;
  d.next = state;
  DecideSession(f, d);
  // A resized view is kicked until a whole frame of the new size is published; only a session
  // that goes on is kicked (a quiet, healthy session with no resize pending is left alone).
  SupervisionState& st = d.next;
  if (d.session == Session::kKeep && f.has_session && f.resize_settling && st.kick_count < kMaxKicks &&
      (st.last_kick_tick == 0 || TickDiff(f.now, st.last_kick_tick) >= static_cast<int32_t>(kKickSpacingMs))) {
    d.kick = true;
    st.kick_count += 1;
    st.last_kick_tick = NonZeroTick(f.now);
  }
  return d;
}

}  // namespace vyo::capture
