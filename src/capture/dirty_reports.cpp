#include "capture/dirty_reports.h"

#include <algorithm>
#include <limits>

namespace vyo::capture {

bool ApplyDirtyReport(DirtyState& state, bool gated, const DirtyReport& report) {
  if (gated) return false;
  if (report.full) {
    state.dirty_info_available = true;
    state.force_full = true;
    state.dirty_lifetime = 2;
    return true;
  }
  if (report.w <= 0 || report.h <= 0) return false;
  // 64-bit edges: x + w may pass the 32-bit range; the rectangle is clamped to it.
  const auto clamp = [](int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
  };
  DirtyRect r;
  r.left = report.x;
  r.top = report.y;
  r.right = clamp(int64_t{report.x} + report.w);
  r.bottom = clamp(int64_t{report.y} + report.h);
  if (r.right <= r.left || r.bottom <= r.top) return false;
  if (state.has_rect) {
    state.dirty_rect.left = std::min(state.dirty_rect.left, r.left);
    state.dirty_rect.top = std::min(state.dirty_rect.top, r.top);
    state.dirty_rect.right = std::max(state.dirty_rect.right, r.right);
    state.dirty_rect.bottom = std::max(state.dirty_rect.bottom, r.bottom);
  } else {
    state.dirty_rect = r;
    state.has_rect = true;
  }
  state.dirty_info_available = true;
  state.dirty_lifetime = 2;
  return true;
}

}  // namespace vyo::capture
