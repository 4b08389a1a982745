#include "capture/capture_health.h"

#include <algorithm>

namespace vyo::capture {

bool CaptureHealth::NoteExpectFrame(uint32_t now) {
  if (expect_since != 0) return false;
  expect_since = now;
  return true;
}

bool CaptureHealth::TryImmediateRebuild(uint32_t now) {
  if (rebuilds >= 1) return false;
  expect_since = now;
  rebuilds += 1;
  return true;
}

void CaptureHealth::NoteVisualFailure() {
  fell_back = 1;
  window_ready_since = 0;
  retry_allowed = fallbacks < 3 ? 1 : 0;
  gave_up = fallbacks >= 3 ? 1 : 0;
}

void CaptureHealth::NoteActivity(uint32_t now) {
  if (last_activity != 0 && TickDiff(now, last_activity) < static_cast<int32_t>(kActivityDebounceMs)) return;
  last_activity = now;
  if (gave_up != 0) {
    fallbacks = 0;
    gave_up = 0;
    retry_allowed = fell_back;
    window_ready_since = 0;
  }
}

void CaptureHealth::NoteFrame(bool from_visual, uint32_t now) {
  if (from_visual) {
    const uint32_t activity = last_activity;
    Reset();
    last_activity = activity;
  } else if (fell_back != 0 && window_ready_since == 0) {
    window_ready_since = now;
  }
}

HealthVerdict CaptureHealth::Evaluate(const HealthSnapshot& s) {
  // No frame from a visual session: rebuild it once, then fall back to the window.
  if (s.active && s.from_visual && !s.has_frame) {
    bool have_base = false;
    uint32_t base = 0, limit = 0;
    if (s.had_content) {
      base = expect_since != 0 ? expect_since : s.capture_start_tick;
      limit = kNoFrameWithContentMs;
      have_base = true;
    } else if (expect_since != 0) {
      base = expect_since;
      limit = kNoFrameFreshMs;
      have_base = true;
    }
    if (have_base) {
      if (s.capture_start_tick != 0 && TickDiff(s.capture_start_tick, base) > 0) base = s.capture_start_tick;
      if (TickDiff(s.now, base) >= static_cast<int32_t>(limit)) {
        if (rebuilds < 1) {
          expect_since = s.now;
          rebuilds += 1;
          return HealthVerdict::kRebuild;
        }
        NoteVisualFailure();
        return HealthVerdict::kFallBack;
      }
    }
  }
  // On the window source that delivers frames: try the visual again after 2, 4, 8, 8 ... s.
  if (fell_back != 0 && retry_allowed != 0 && s.visual_possible && s.active && !s.from_visual && s.has_frame &&
      !s.restart_pending) {
    if (window_ready_since == 0) window_ready_since = s.now;
    const uint32_t delay = std::min<uint32_t>(8000, 2000u << std::min(fallbacks, 2));
    if (TickDiff(s.now, window_ready_since) >= static_cast<int32_t>(delay)) {
      fell_back = 0;
      retry_allowed = 0;
      fallbacks += 1;
      rebuilds = 1;
      gave_up = fallbacks >= 3 ? 1 : 0;
      expect_since = s.now;
      window_ready_since = 0;
      return HealthVerdict::kRetryVisual;
    }
  }
  return HealthVerdict::kNone;
}

}  // namespace vyo::capture
