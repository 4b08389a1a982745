// CaptureHealth: the per-view record that decides, from whether frames arrive, when a capture
// session is rebuilt, when the view falls back to its window source, and when the visual source is
// tried again. Ticks are u32 milliseconds compared by signed difference.
#pragma once
#include <cstdint>

namespace vyo::capture {

struct HealthSnapshot {
  uint32_t now = 0;
  uint32_t capture_start_tick = 0;
  bool visual_possible = false;  // the view's visual source can be captured
  bool active = false;           // a session exists or frames are held
  bool from_visual = false;      // the session captures the visual source
  bool has_frame = false;        // a frame of the current capture was published
  bool had_content = false;      // a frame was published since creation or the last visual retry
  bool restart_pending = false;  // a deferred start is waiting
};

enum class HealthVerdict : int { kNone = 0, kRebuild = 1, kFallBack = 2, kRetryVisual = 3 };

struct CaptureHealth {
  uint32_t expect_since = 0;
  uint32_t window_ready_since = 0;
  uint32_t last_activity = 0;
  int32_t rebuilds = 0;
  int32_t fallbacks = 0;
  uint8_t fell_back = 0;
  uint8_t retry_allowed = 0;
  uint8_t gave_up = 0;

  static constexpr uint32_t kNoFrameWithContentMs = 2000;
  static constexpr uint32_t kNoFrameFreshMs = 8000;
  static constexpr uint32_t kActivityDebounceMs = 500;

  bool NoteExpectFrame(uint32_t now);
  bool TryImmediateRebuild(uint32_t now);
  void NoteVisualFailure();
  void NoteActivity(uint32_t now);
  void NoteFrame(bool from_visual, uint32_t now);
  void Reset() { *this = CaptureHealth{}; }
  HealthVerdict Evaluate(const HealthSnapshot& s);
};

// Signed difference of two ticks (wrap-safe).
inline int32_t TickDiff(uint32_t later, uint32_t earlier) { return static_cast<int32_t>(later - earlier); }

}  // namespace vyo::capture
