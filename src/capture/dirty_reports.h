// What pages report as changed ("vyo-dirty" control messages), as the frame copy keeps it per view:
// the whole page from now on, or rectangles united until two published frames have copied them.
// The page policy hands each report to capture through IDirtyReports.
#pragma once
#include <cstdint>

namespace vyo::capture {

struct DirtyRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

struct DirtyState {
  // The page reports its own changes: copy only what it reported.
  bool dirty_info_available = false;
  bool force_full = false;
  int32_t dirty_lifetime = 0;
  bool has_rect = false;
  DirtyRect dirty_rect;
};

// One report of a page: everything changed, or the rectangle x, y, w, h (w and h above 0).
struct DirtyReport {
  bool full = false;
  int32_t x = 0, y = 0, w = 0, h = 0;
};

// Applies a report. `gated`: the view copies whole frames anyway (full-frame or live mode, a
// full-frame period, full refresh, or a hit mask being built) and ignores page reports. Returns
// whether the state changed; only the full form and a valid rectangle change it.
bool ApplyDirtyReport(DirtyState& state, bool gated, const DirtyReport& report);

// Where pages' reports go (the capture service).
class IDirtyReports {
 public:
  virtual ~IDirtyReports() = default;
  virtual void OnDirtyReport(uint32_t view_id, const DirtyReport& report) = 0;
};

}  // namespace vyo::capture
