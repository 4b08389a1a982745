// AnalysisPipeline: the frame path of a view with a hit mask. The newest captured frame waits as
// the pending frame; when the view's pacing allows, it is submitted to the cell analyzer, its
// result is read back without waiting on a later step (or at once where the analyzer works when
// read), compared with the previous analysis, and then the frame, whole or only its changed
// cell-aligned rectangle, is copied into the shared texture under the keyed mutex with the
// DirtyMap and the hit mask written with one update number. In windowed presentation (no texture)
// only the mask is written.
//
// States: unconfigured -> (Configure) idle -> (TakeFrame) pending -> (submit) submitted -> (read)
// result ready -> (publish) idle; a failed device step leaves it failed until configured again.
// One analysis at a time; a newer frame replaces the pending one. A busy read-back keeps the
// submission and a busy keyed mutex keeps the result, so neither loses the analysis. Main thread:
// frames it lets go are collected by TakeReleased and let go by the capture service at the end of
// the view's step.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/cell_analyzer.h"
#include "capture/frame_analysis.h"
#include "capture/frame_pacer.h"
#include "platform/system.h"

namespace vyo::capture {

struct DecodedFrame;

// Where and how one step publishes.
struct PipelineTarget {
  platform::SharedTexture* texture = nullptr;  // null: windowed presentation, only the mask
  uint8_t* dirty_map = nullptr;                // its block, when the view has one
  uint8_t* hit_mask = nullptr;                 // the mask's block
  uint32_t* hit_seq = nullptr;                 // the mask's update number (without a DirtyMap)
  uint32_t threshold = 32;
  uint32_t rate = 30;       // analyses per second (0 counts as 30)
  bool force_full = false;  // publish the whole view (modes, zoom, deadlines)
  int64_t perf_now = 0;     // performance counter
  uint32_t now = 0;         // tick in ms
};

struct PipelineOutcome {
  enum Kind {
    kIdle,       // nothing to do, or the pacing holds the pending frame back
    kBusy,       // an analysis is on the device
    kUnchanged,  // the analysed frame equals the previous one: nothing published
    kMutexBusy,  // the overlay holds the texture: published on a later step
    kPublished,
    kFailed,     // a device step failed: the pipeline must be configured again
  } kind = kIdle;
  FrameAnalysis::Plan plan;  // what was published
  uint32_t seq = 0;
  bool from_visual = false;
};

class AnalysisPipeline {
 public:
  AnalysisPipeline(std::unique_ptr<CellAnalyzer> analyzer, int64_t perf_frequency);
  ~AnalysisPipeline();

  // Frames and results go; the analyzer prepares for width x height on `grid`. False (and
  // failed) when an argument is 0 or the device refuses.
  bool Configure(const host::HitGrid& grid, int32_t width, int32_t height);
  // The newest frame (ignored unless configured); an older pending one is let go unanalysed.
  void TakeFrame(std::shared_ptr<DecodedFrame> frame);
  // One step: reads a submitted analysis, publishes a ready result, submits the pending frame.
  PipelineOutcome Tick(const PipelineTarget& target);

  // A pending frame, a submitted analysis or a result waiting to be published.
  bool HasWork() const { return pending_ || in_flight_ || submitted_ || result_ready_; }
  // The next analysis ignores the pacing and publishes the whole view.
  void ForceNext();
  // Frames and results go, the device objects stay (capture stop, content loss).
  void SoftReset();
  // Everything goes: unconfigured until Configure.
  void Reset();

  bool usable() const { return configured_ && !failed_; }
  bool configured() const { return configured_; }
  bool failed() const { return failed_; }
  const host::HitGrid& grid() const { return analysis_.grid(); }
  const std::vector<uint8_t>& mask() const { return analysis_.mask(); }
  CellAnalyzer& analyzer() { return *analyzer_; }

  // Frames let go since the last call are appended to `out`.
  void TakeReleased(std::vector<std::shared_ptr<DecodedFrame>>* out);

 private:
  PipelineOutcome Submit(const PipelineTarget& target);
  // kDone, kBusy, or kFailed (the pipeline is then failed).
  CellAnalyzer::Read ReadResult();
  PipelineOutcome Publish(const PipelineTarget& target);
  PipelineOutcome Fail();
  void FinishFrame();
  void Let(std::shared_ptr<DecodedFrame>& frame);

  std::unique_ptr<CellAnalyzer> analyzer_;
  FrameAnalysis analysis_;
  FramePacer pacer_;
  int32_t width_ = 0, height_ = 0;
  bool configured_ = false, failed_ = false;
  std::shared_ptr<DecodedFrame> pending_, in_flight_;
  bool submitted_ = false, result_ready_ = false;
  bool force_ = false;
  bool pacing_passed_ = false;  // the pending frame passed the pacing and waits for the keyed mutex
  // The analysis wrote the frame into the texture as it read it (the keyed mutex is held from the
  // synchronous submission to the publication, within one step).
  bool copied_ = false;
  std::vector<std::shared_ptr<DecodedFrame>> released_;
};

}  // namespace vyo::capture
