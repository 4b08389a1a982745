#include "capture/analysis_pipeline.h"

#include <utility>

#include "capture/decoded_frame.h"
#include "protocol/hit_mask_layout.h"
#include "protocol/texture_layout.h"

namespace vyo::capture {

AnalysisPipeline::AnalysisPipeline(std::unique_ptr<CellAnalyzer> analyzer, int64_t perf_frequency)
    : analyzer_(std::move(analyzer)) {
  pacer_.frequency = perf_frequency;
}

AnalysisPipeline::~AnalysisPipeline() = default;

void AnalysisPipeline::Let(std::shared_ptr<DecodedFrame>& frame) {
  if (frame) released_.push_back(std::move(frame));
  frame.reset();
}

void AnalysisPipeline::TakeReleased(std::vector<std::shared_ptr<DecodedFrame>>* out) {
  for (auto& f : released_) out->push_back(std::move(f));
  released_.clear();
}

bool AnalysisPipeline::Configure(const host::HitGrid& grid, int32_t width, int32_t height) {
  Reset();
  width_ = width;
  height_ = height;
  analysis_.Configure(grid, width, height);
  if (grid.cells() == 0 || width < 1 || height < 1 || !analyzer_ || !analyzer_->Configure(grid, width, height)) {
    failed_ = true;
    return false;
  }
  configured_ = true;
  return true;
}

void AnalysisPipeline::TakeFrame(std::shared_ptr<DecodedFrame> frame) {
  if (!configured_) {
    Let(frame);
    return;
  }
  Let(pending_);
  pending_ = std::move(frame);
}

void AnalysisPipeline::ForceNext() {
  analysis_.ForceNext();
  force_ = true;
}

void AnalysisPipeline::SoftReset() {
  Let(pending_);
  FinishFrame();
  pacing_passed_ = false;
  pacer_.Reset();
  ForceNext();
}

void AnalysisPipeline::Reset() {
  SoftReset();
  analysis_ = FrameAnalysis{};
  configured_ = false;
  failed_ = false;
}

void AnalysisPipeline::FinishFrame() {
  Let(in_flight_);
  submitted_ = false;
  result_ready_ = false;
  copied_ = false;
}

PipelineOutcome AnalysisPipeline::Fail() {
  failed_ = true;
  Let(pending_);
  FinishFrame();
  PipelineOutcome out;
  out.kind = PipelineOutcome::kFailed;
  return out;
}

CellAnalyzer::Read AnalysisPipeline::ReadResult() {
  const CellAnalyzer::Read r = analyzer_->TryRead(analysis_.next_mask(), analysis_.next_signatures());
  if (r == CellAnalyzer::Read::kBusy) return r;
  submitted_ = false;
  if (r == CellAnalyzer::Read::kDone) {
    analysis_.Compare();
    result_ready_ = true;
  }
  return r;
}

PipelineOutcome AnalysisPipeline::Tick(const PipelineTarget& target) {
  PipelineOutcome out;
  if (!usable()) return Fail();
  if (!result_ready_ && submitted_) {
    const CellAnalyzer::Read r = ReadResult();
    if (r == CellAnalyzer::Read::kBusy) {
      out.kind = PipelineOutcome::kBusy;
      return out;
    }
    if (r == CellAnalyzer::Read::kFailed) return Fail();
  }
  if (result_ready_) {
    out = Publish(target);
    // A busy keyed mutex keeps the result for the next step; after a publication the pending frame
    // of an analyzer that works in Submit waits for the next step too (one publication per step).
    if (result_ready_ || out.kind == PipelineOutcome::kFailed || analyzer_->Synchronous()) return out;
  }
  if (!pending_) return out;
  const PipelineOutcome submitted = Submit(target);
  // An earlier result published in this step is what the step reports.
  if (submitted.kind == PipelineOutcome::kIdle ||
      (submitted.kind == PipelineOutcome::kBusy && out.kind != PipelineOutcome::kIdle)) {
    return out;
  }
  return submitted;
}

PipelineOutcome AnalysisPipeline::Submit(const PipelineTarget& target) {
  PipelineOutcome out;
  if (!force_ && !pacing_passed_ && !pacer_.Accept(target.rate, target.perf_now, false)) return out;
  pacing_passed_ = true;  // a frame refused by the keyed mutex below does not wait for another slot
  const bool synchronous = analyzer_->Synchronous();
  uint8_t* copy_to = nullptr;
  size_t copy_stride = 0;
  if (synchronous && target.texture != nullptr) {
    // The analysis runs only when its result can be published: the key is taken first, and where
    // the texture is in memory the frame is copied as the analysis reads it.
    if (!target.texture->AcquireSync(host::kHostKey, 0)) {
      out.kind = PipelineOutcome::kMutexBusy;
      return out;
    }
    copy_to = target.texture->MappedRows(&copy_stride);
  }
  force_ = false;
  pacing_passed_ = false;
  in_flight_ = std::move(pending_);
  const DecodedFrame& frame = *in_flight_;
  copied_ = false;
  const bool ok = frame.width >= width_ && frame.height >= height_ &&
                  analyzer_->Submit(frame.bgra.data(), static_cast<size_t>(frame.width) * 4, copy_to, copy_stride,
                                    &copied_);
  if (ok) submitted_ = true;
  if (ok && !synchronous) {
    out.kind = PipelineOutcome::kBusy;
    return out;
  }
  if (ok && ReadResult() == CellAnalyzer::Read::kDone) return Publish(target);
  if (synchronous && target.texture != nullptr) target.texture->ReleaseSync(host::kHostKey);
  return Fail();
}

PipelineOutcome AnalysisPipeline::Publish(const PipelineTarget& target) {
  PipelineOutcome out;
  out.from_visual = in_flight_ && in_flight_->from_visual;
  // Whether the key is already held: taken before a synchronous analysis.
  const bool holding = analyzer_->Synchronous() && target.texture != nullptr;
  const FrameAnalysis::Plan plan = analysis_.Decide(target.now, target.force_full);
  const uint32_t cells = static_cast<uint32_t>(analysis_.grid().cells());
  if (plan.kind == FrameAnalysis::Plan::kUnchanged) {
    if (holding) target.texture->ReleaseSync(host::kHostKey);  // nothing new for the overlay
    FinishFrame();
    out.kind = PipelineOutcome::kUnchanged;
    return out;
  }
  uint32_t seq = (target.hit_seq != nullptr ? *target.hit_seq : 0) + 1;
  if (target.texture != nullptr) {
    if (!holding && !target.texture->AcquireSync(host::kHostKey, 0)) {
      out.kind = PipelineOutcome::kMutexBusy;
      return out;
    }
    const DecodedFrame& frame = *in_flight_;
    const bool copied =
        copied_ || target.texture->CopyRegion(frame.bgra.data(), static_cast<size_t>(frame.width) * 4, plan.left,
                                              plan.top, plan.right - plan.left, plan.bottom - plan.top);
    if (!copied) {
      target.texture->ReleaseSync(host::kHostKey);
      return Fail();
    }
    // The DirtyMap and the hit mask carry the same update number.
    if (target.dirty_map != nullptr) {
      seq = host::PublishDirty(target.dirty_map, plan.kind == FrameAnalysis::Plan::kFull, plan.left, plan.top,
                               plan.right - plan.left, plan.bottom - plan.top);
    }
    host::WriteHitMask(target.hit_mask, analysis_.mask().data(), cells, target.threshold, seq);
    target.texture->ReleaseSync(host::kOverlayKey);
  } else {
    host::WriteHitMask(target.hit_mask, analysis_.mask().data(), cells, target.threshold, seq);
  }
  if (target.hit_seq != nullptr) *target.hit_seq = seq;
  analysis_.NotePublished(plan, target.now);
  FinishFrame();
  out.kind = PipelineOutcome::kPublished;
  out.plan = plan;
  out.seq = seq;
  return out;
}

}  // namespace vyo::capture
