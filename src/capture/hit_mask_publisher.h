// HitMaskPublisher: the hit masks of views that ask for one (or of every web view in windowed
// presentation). Per view (in its ViewCaptureState) the block `<pipe>_hitmask_<id>`, its grid and
// update number, the view's AnalysisPipeline and the back-off of a pipeline that keeps failing;
// each step the pipeline reads back, publishes the analysed frame (texture, DirtyMap and mask) and
// submits the next. It tells the overlay, at most every 100 ms, that every visible view needing a
// mask has one (the heartbeat). Main thread; analysis runs with no registry lock held.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/cell_analyzer.h"
#include "capture/decoded_frame.h"
#include "capture/shared_surfaces.h"
#include "capture/view_capture_state.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "views/host_context.h"
#include "views/per_view.h"
#include "views/view_registry.h"

namespace vyo::capture {

class HitMaskPublisher {
 public:
  HitMaskPublisher(platform::Clock& clock, const host::HostSettings& settings, host::OverlayChannel& overlay,
                   CellAnalyzerFactory analyzers)
      : clock_(clock), settings_(settings), overlay_(overlay), analyzers_(std::move(analyzers)) {}
  void SetPipeName(const std::u16string& pipe_name) { pipe_name_ = pipe_name; }

  // Whether the view needs a mask now: a web view with a texture, hit testing on or windowed.
  bool Needs(const host::ViewFacts& view, const ViewCaptureState& cap) const;
  // Makes, keeps or removes the view's mask to match Needs (a new grid for a new size). Frames the
  // pipeline lets go go to `let_go`.
  void Ensure(const host::ViewFacts& view, ViewCaptureState& cap, std::vector<std::shared_ptr<DecodedFrame>>* let_go);
  void Destroy(ViewCaptureState& cap, std::vector<std::shared_ptr<DecodedFrame>>* let_go);
  // The view's hit testing (on or off, threshold 1 to 255). Returns whether the setting changed.
  bool SetHitTest(const host::ViewFacts& view, ViewCaptureState& cap, bool on, int32_t threshold,
                  std::vector<std::shared_ptr<DecodedFrame>>* let_go);

  // The frame goes to the view's analysis when its pipeline is working (true: `frame` is moved
  // from); a view whose pipeline fails takes the plain copy.
  static bool TakeFrame(ViewCaptureState& cap, std::shared_ptr<DecodedFrame>& frame);
  // One step of the view's pipeline (read back, publish, submit); a failed pipeline is configured
  // again, backing off. Returns what was published, and whether it came from the visual source.
  struct Published {
    CopyPlan plan;
    bool from_visual = false;
  };
  std::optional<Published> Publish(const host::ViewFacts& view, double zoom, ViewCaptureState& cap, uint32_t now,
                                   std::vector<std::shared_ptr<DecodedFrame>>* let_go);
  // The view's texture was cleared (under its keyed mutex): the mask says so, with the DirtyMap's
  // update number, and the next analysis is whole.
  static void OnCleared(ViewCaptureState& cap, std::optional<uint32_t> dirty_seq);
  // Frames of a stopped session or of an old document go; the device objects stay.
  static void StartOver(ViewCaptureState& cap, std::vector<std::shared_ptr<DecodedFrame>>* let_go);
  static void ForceNext(ViewCaptureState& cap) {
    if (cap.pipeline) cap.pipeline->ForceNext();
  }

  // The heartbeat, when due (the registry's facts are read only then).
  void SendHeartbeat(uint32_t now, host::ViewRegistry& views, const host::PerView<ViewCaptureState>& states);

 private:
  void RecoverPipeline(const host::ViewFacts& view, ViewCaptureState& cap, uint32_t now);
  void NotePipelineFailure(const host::ViewFacts& view, ViewCaptureState& cap, uint32_t now);
  void WorkerLogView(const char* text, uint32_t view_id, const SourceLocation& where = SourceLocation::Current());

  platform::Clock& clock_;
  const host::HostSettings& settings_;
  host::OverlayChannel& overlay_;
  CellAnalyzerFactory analyzers_;
  std::u16string pipe_name_;
  uint32_t last_heartbeat_tick_ = 0;
  bool heartbeat_sent_ = false;
};

}  // namespace vyo::capture
