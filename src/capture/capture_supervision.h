// Capture supervision: the decision, for one view at one step, of what its capture session does
// (keep, stop, start, rebuild), whether the page is kicked and what is logged. It is a pure
// function over a snapshot of the view's facts and capture state; the capture service copies the
// snapshot, applies the decision (stops and starts sessions, kicks, writes the new
// SupervisionState back) and keeps nothing of the decision's own.
#pragma once
#include <cstdint>

#include "capture/capture_health.h"

namespace vyo::capture {

// What supervision alone writes in a view's capture fields (the events that restart a view's
// supervision, a resize or a started session, set some of them through the service).
struct SupervisionState {
  const void* seen_webview = nullptr;  // the web view supervision last saw (a new one starts capture)
  bool was_visible = false;            // a view shown again starts capture at once
  int32_t restart_budget = 40;         // deferred starts left (a start that fails is tried again)
  uint32_t last_restart_tick = 0;
  int32_t kick_count = 0;  // kicks of a resized view since its resize
  uint32_t last_kick_tick = 0;
  CaptureHealth health;
};

// The view and its capture as one step found them.
struct SupervisionFacts {
  uint32_t now = 0;
  bool wanted = false;              // a visible web view with content and a texture
  bool visible = false;
  const void* content = nullptr;    // the web view it shows
  bool has_session = false;
  bool session_ended = false;       // the source ended by itself
  bool from_visual = false;         // the session captures the visual source
  uint32_t capture_start_tick = 0;
  bool frames_held = false;
  bool got_frame = false;           // a frame of the current capture was published
  bool analysis_in_flight = false;  // a frame is with the view's analysis
  bool has_content = false;         // a frame was published since creation or the last visual retry
  bool has_pipeline = false;
  uint32_t size_mismatch_since = 0;  // frames of another size arrive since (0: none)
  bool resize_settling = false;     // a resized view waits for a whole frame of its new size
};

struct SupervisionDecision {
  enum class Session { kKeep, kStop, kStart, kRebuild };
  Session session = Session::kKeep;
  // The log line of a rebuild (null: none).
  const char* rebuild_line = nullptr;
  bool log_expecting = false;       // "Visual capture expecting frame"
  bool mismatch_rebuild = false;    // the rebuild is for frames of a lasting wrong size
  bool force_analysis = false;      // the view was shown again: its next analysis is whole
  bool retry_visual = false;        // back to the visual source: the view starts over without content
  bool kick = false;
  SupervisionState next;            // the view's supervision state after this step
};

constexpr int32_t kRestartBudget = 40;
constexpr uint32_t kRestartSpacingMs = 500;
constexpr int32_t kMaxKicks = 20;
constexpr uint32_t kKickSpacingMs = 200;
constexpr uint32_t kMismatchRebuildMs = 500;

// A view that should now show a frame and has none: the expectation is noted in `state`'s health,
// and a visual session that has not been rebuilt yet is rebuilt at once. Returns whether to
// rebuild; `log_expecting` tells whether the expectation is new.
bool ExpectVisualFrame(const SupervisionFacts& facts, SupervisionState& state, bool* log_expecting);

// The step's decision. Pure: everything it changes is in the returned `next`.
SupervisionDecision Supervise(const SupervisionFacts& facts, SupervisionState state);

// Signed-difference ticks are never 0 when stored as "set".
inline uint32_t NonZeroTick(uint32_t tick) { return tick == 0 ? 1 : tick; }

}  // namespace vyo::capture
