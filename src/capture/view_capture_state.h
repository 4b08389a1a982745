// The per-view fields of frame capture, copying and hit testing. The capture service
// (capture_service.h) keeps one per view, on the main thread, from the view's creation to its end;
// its pieces write their own groups: SharedSurfaces the texture, DirtyMap, pacer, held and parked
// frames; HitMaskPublisher the mask and analysis pipeline; supervision's decision `supervision`
// (which the service also notes events in: a resize, a started session, a published frame).
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/capture_supervision.h"
#include "capture/dirty_reports.h"
#include "capture/analysis_pipeline.h"
#include "capture/frame_pacer.h"
#include "capture/retry_backoff.h"
#include "platform/shared_memory.h"
#include "platform/system.h"

namespace vyo::capture {

class ICaptureSession;
struct DecodedFrame;

struct ViewCaptureState {
  // Hit testing: on when the mode is 1; alpha threshold 1 to 255.
  bool hit_test = false;
  int32_t hit_alpha_threshold = 32;
  // Frame copying modes that take whole frames whatever the page reports (set by the overlay's
  // commands and the frame copy).
  bool full_frame_mode = false;
  bool full_frame_saved = false;  // dirty_info_available when full-frame mode was switched on
  bool live_mode = false;
  uint32_t full_until = 0;  // tick until which whole frames are copied; 0 = none
  bool full_refresh = false;
  bool hit_mask_ready = false;  // the mask's header describes the view's grid: frames are analysed
  // What the page reported as changed (its reports are ignored while whole frames are taken).
  DirtyState dirty;

  // The copy modes that take whole frames whatever the page reports.
  bool WholeFramesByMode() const { return full_frame_mode || live_mode || full_until != 0 || full_refresh; }
  // Whole frames are copied anyway: the page's own dirty reports are ignored (a view whose frames
  // are analysed has its copy decided by the analysis).
  bool TakesWholeFrames() const { return WholeFramesByMode() || hit_mask_ready; }

  // A whole frame is due whatever the page reports or the analysis finds: a copy mode, a forced
  // whole copy (a new texture, a navigation, a failed analysis ...) or a zoom other than 1.
  bool WholeFrameDue(const DirtyState& d, double zoom) const {
    return WholeFramesByMode() || d.force_full || zoom < 0.99 || zoom > 1.01;
  }
  // A whole-frame period that has run out ends, and its end is copied whole.
  void ExpireFullFrames(DirtyState& d, uint32_t now) {
    if (full_until != 0 && TickDiff(now, full_until) >= 0) {
      full_until = 0;
      d.force_full = true;
    }
  }

  // ---- The shared texture the overlay draws and the DirtyMap describing each update.
  std::shared_ptr<platform::SharedTexture> texture;
  std::shared_ptr<platform::SharedMemory> dirty_map;
  uint32_t last_full_tick = 0;
  bool blank_cleared = false;  // cleared once before any content (only set when the clear happened)
  bool clear_pending = false;  // a clear could not take the keyed mutex and is retried
  FramePacer pacer;

  // ---- The hit mask (views that asked for one): the block the overlay reads, the grid it was
  // initialised with, its update number when there is no DirtyMap, the analysis pipeline its
  // frames take, and the back-off of a pipeline that keeps failing.
  std::shared_ptr<platform::SharedMemory> hit_mask;
  host::HitGrid hit_grid;
  uint32_t hit_seq = 0;
  bool hit_grid_refused = false;  // a grid too large for the block was reported once
  std::shared_ptr<AnalysisPipeline> pipeline;
  // Frame analysis work is in flight: the main loop's paced wait is cut into short slices.
  bool AnalysisInFlight() const { return pipeline && pipeline->HasWork(); }
  RetryBackoff pipeline_backoff;

  // ---- Previews of a view that has no frame yet: never taken from a composition controller, so
  // switched off for the view the first time one is due.
  bool preview_disabled = false;
  uint32_t last_preview_tick = 0;

  // ---- The capture session.
  std::shared_ptr<ICaptureSession> session;
  uint64_t session_serial = 0;     // frames of older sessions are dropped
  const void* captured_view = nullptr;  // the web view the session captures
  bool session_ended = false;      // the source ended by itself: rebuilt by supervision
  bool capture_from_visual = false;
  uint32_t capture_start_tick = 0;
  uint32_t size_mismatch_since = 0;
  bool mismatch_logged = false;
  int32_t mismatch_width = 0, mismatch_height = 0;

  // ---- Frames held back (at most 3) and the latest frame left for the main thread.
  bool frames_held = false;
  uint32_t hold_until = 0;  // 0 = only an explicit release
  std::vector<std::shared_ptr<DecodedFrame>> held_frames;
  std::shared_ptr<DecodedFrame> parked_frame;

  bool got_frame = false;
  bool has_content = false;
  bool first_frame_noted = false;
  bool resize_settling = false;
  // Restarts, kicks and the session's health (capture_supervision.h).
  SupervisionState supervision;
};

}  // namespace vyo::capture
