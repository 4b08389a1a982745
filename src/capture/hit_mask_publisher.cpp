#include "capture/hit_mask_publisher.h"

#include <utility>

#include "base/lock_checks.h"
#include "base/log.h"
#include "protocol/hit_mask_layout.h"
#include "protocol/protocol.h"

namespace vyo::capture {

void HitMaskPublisher::WorkerLogView(const char* text, uint32_t view_id, const SourceLocation& where) {
  overlay_.QueueWorkerLog(ViewForm(text, view_id), where);
}

bool HitMaskPublisher::Needs(const host::ViewFacts& view, const ViewCaptureState& cap) const {
  return view.kind == host::ViewKind::kWeb && cap.texture != nullptr && (settings_.windowed || cap.hit_test);
}

void HitMaskPublisher::Destroy(ViewCaptureState& cap, std::vector<std::shared_ptr<DecodedFrame>>* let_go) {
  cap.hit_mask.reset();  // the name goes with it; an overlay that mapped it keeps its mapping
  cap.hit_grid = host::HitGrid{};
  cap.hit_mask_ready = false;
  cap.hit_seq = 0;
  if (cap.pipeline) {
    cap.pipeline->Reset();
    cap.pipeline->TakeReleased(let_go);
  }
  cap.pipeline_backoff = RetryBackoff{};
}

void HitMaskPublisher::Ensure(const host::ViewFacts& view, ViewCaptureState& cap,
                              std::vector<std::shared_ptr<DecodedFrame>>* let_go) {
  CheckNoRegistryLock("configure frame analysis");
  if (!Needs(view, cap)) {
    Destroy(cap, let_go);
    return;
  }
  const host::HitGrid grid = host::GridFor(view.width, view.height);
  if (!grid.FitsBlock()) {
    // Even the largest cell gives more cells than the block holds: no mask rather than an overflow.
    Destroy(cap, let_go);
    if (!cap.hit_grid_refused) {
      cap.hit_grid_refused = true;
      overlay_.QueueWorkerLog(StringPrintf("hit mask grid too large, view_id=%u, grid=%ux%u, cell=%u", view.view_id,
                                           grid.cols, grid.rows, grid.cell));
    }
    return;
  }
  const uint32_t threshold = static_cast<uint32_t>(cap.hit_alpha_threshold);
  const uint64_t needed = grid.cells() * 2 + host::kHitMaskHeaderSize;
  if (!cap.hit_mask) {
    cap.hit_mask = platform::SharedMemory::Create(host::HitMaskName(pipe_name_, view.view_id), host::kHitMaskBlockSize);
    if (!cap.hit_mask) {
      Destroy(cap, let_go);
      overlay_.QueueWorkerLog(StringPrintf(
          "hit mask shared memory create failed, view_id=%u, alloc=%zu, needed=%llu, map=0, map_err=0, view_err=0",
          view.view_id, host::kHitMaskBlockSize, static_cast<unsigned long long>(needed)));
      return;
    }
    overlay_.QueueWorkerLog(StringPrintf("hit mask created, view_id=%u, grid=%ux%u, cell=%u, threshold=%u, alloc=%zu",
                                         view.view_id, grid.cols, grid.rows, grid.cell, threshold,
                                         host::kHitMaskBlockSize));
  }
  host::InitHitMaskHeader(cap.hit_mask->data(), grid, threshold);
  cap.hit_grid = grid;
  cap.hit_seq = 0;
  cap.hit_mask_ready = true;
  if (!cap.pipeline) cap.pipeline = std::make_shared<AnalysisPipeline>(analyzers_(), clock_.PerfFrequency());
  cap.pipeline_backoff = RetryBackoff{};
  // A pipeline that cannot be configured now is configured again by the next publish step; the
  // mask stays, in state 0, until an analysis is published.
  if (cap.pipeline->Configure(grid, view.width, view.height)) {
    cap.pipeline->ForceNext();
  } else {
    WorkerLogView("capture frame pipeline configure failed", view.view_id);
    NotePipelineFailure(view, cap, clock_.TickMs());
  }
  cap.pipeline->TakeReleased(let_go);
}

bool HitMaskPublisher::SetHitTest(const host::ViewFacts& view, ViewCaptureState& cap, bool on, int32_t threshold,
                                  std::vector<std::shared_ptr<DecodedFrame>>* let_go) {
  const bool changed = cap.hit_test != on || cap.hit_alpha_threshold != threshold;
  cap.hit_test = on;
  cap.hit_alpha_threshold = threshold;
  if (!Needs(view, cap)) {
    Destroy(cap, let_go);
  } else if (cap.hit_mask_ready) {
    host::SetHitMaskThreshold(cap.hit_mask->data(), static_cast<uint32_t>(cap.hit_alpha_threshold));
  } else {
    Ensure(view, cap, let_go);
  }
  return changed;
}

bool HitMaskPublisher::TakeFrame(ViewCaptureState& cap, std::shared_ptr<DecodedFrame>& frame) {
  if (!cap.hit_mask_ready || !cap.pipeline || !cap.pipeline->usable()) return false;
  cap.pipeline->TakeFrame(std::move(frame));
  return true;
}

void HitMaskPublisher::OnCleared(ViewCaptureState& cap, std::optional<uint32_t> dirty_seq) {
  if (!cap.hit_mask_ready) return;
  const uint32_t seq = dirty_seq.value_or(cap.hit_seq + 1);
  host::WriteZeroHitMask(cap.hit_mask->data(), static_cast<uint32_t>(cap.hit_grid.cells()),
                         static_cast<uint32_t>(cap.hit_alpha_threshold), seq);
  cap.hit_seq = seq;
  ForceNext(cap);
}

void HitMaskPublisher::StartOver(ViewCaptureState& cap, std::vector<std::shared_ptr<DecodedFrame>>* let_go) {
  if (!cap.pipeline) return;
  cap.pipeline->SoftReset();
  cap.pipeline->TakeReleased(let_go);
}

void HitMaskPublisher::NotePipelineFailure(const host::ViewFacts& view, ViewCaptureState& cap, uint32_t now) {
  cap.dirty.force_full = true;  // the next publication is whole
  if (cap.pipeline_backoff.NoteFailure(now)) {
    overlay_.QueueWorkerLog(StringPrintf("capture frame analysis keeps failing, view_id=%u, failures=%u, retry_ms=%u",
                                         view.view_id, cap.pipeline_backoff.failures, cap.pipeline_backoff.interval));
  }
}

void HitMaskPublisher::RecoverPipeline(const host::ViewFacts& view, ViewCaptureState& cap, uint32_t now) {
  if (!cap.pipeline_backoff.MayRetry(now)) return;
  // Backing off, the attempts are not logged one by one: the back-off's start and end are.
  const bool quiet = cap.pipeline_backoff.backing_off();
  if (!quiet) WorkerLogView("capture frame analysis failed, reconfigure pipeline", view.view_id);
  if (cap.pipeline->Configure(cap.hit_grid, view.width, view.height)) {
    cap.pipeline->ForceNext();
    cap.dirty.force_full = true;
    return;
  }
  if (!quiet) WorkerLogView("capture frame analysis reconfigure failed", view.view_id);
  NotePipelineFailure(view, cap, now);
}

std::optional<HitMaskPublisher::Published> HitMaskPublisher::Publish(
    const host::ViewFacts& view, double zoom, ViewCaptureState& cap, uint32_t now,
    std::vector<std::shared_ptr<DecodedFrame>>* let_go) {
  CheckNoRegistryLock("analyse a frame");
  if (!cap.hit_mask_ready || !cap.pipeline || !cap.texture) return std::nullopt;
  AnalysisPipeline& pipeline = *cap.pipeline;
  if (!pipeline.usable()) {
    RecoverPipeline(view, cap, now);
    pipeline.TakeReleased(let_go);
    return std::nullopt;
  }
  cap.ExpireFullFrames(cap.dirty, now);
  PipelineTarget target;
  // In windowed presentation the view is drawn from its window: only the mask is published.
  if (!settings_.windowed) {
    target.texture = cap.texture.get();
    target.dirty_map = cap.dirty_map ? cap.dirty_map->data() : nullptr;
  }
  target.hit_mask = cap.hit_mask->data();
  target.hit_seq = &cap.hit_seq;
  target.threshold = static_cast<uint32_t>(cap.hit_alpha_threshold);
  target.rate = view.frame_rate;
  target.force_full = cap.WholeFrameDue(cap.dirty, zoom);
  target.perf_now = clock_.PerfCounter();
  target.now = now;
  const PipelineOutcome outcome = pipeline.Tick(target);
  pipeline.TakeReleased(let_go);
  if (outcome.kind == PipelineOutcome::kFailed) {
    NotePipelineFailure(view, cap, now);
    return std::nullopt;
  }
  if (outcome.kind != PipelineOutcome::kPublished && outcome.kind != PipelineOutcome::kUnchanged) return std::nullopt;
  if (cap.pipeline_backoff.NoteSuccess()) WorkerLogView("capture frame analysis recovered", view.view_id);
  if (outcome.kind != PipelineOutcome::kPublished) return std::nullopt;
  Published published;
  published.plan.kind = outcome.plan.kind == FrameAnalysis::Plan::kFull ? CopyPlan::kFull : CopyPlan::kPartial;
  published.plan.left = outcome.plan.left;
  published.plan.top = outcome.plan.top;
  published.plan.right = outcome.plan.right;
  published.plan.bottom = outcome.plan.bottom;
  published.from_visual = outcome.from_visual;
  return published;
}

// Tells the overlay that every view needing a mask has one, at most every 100 ms.
void HitMaskPublisher::SendHeartbeat(uint32_t now, host::ViewRegistry& views,
                                     const host::PerView<ViewCaptureState>& states) {
  if (heartbeat_sent_ && TickDiff(now, last_heartbeat_tick_) <= 99) return;
  uint32_t count = 0;
  bool all_ready = true;
  for (const host::ViewFacts& view : views.AllFacts()) {
    const ViewCaptureState* cap = states.Find(view.view_id);
    if (cap == nullptr || !view.visible || !Needs(view, *cap)) continue;
    ++count;
    all_ready = all_ready && cap->hit_mask_ready && cap->pipeline && cap->pipeline->usable();
  }
  if (!all_ready) return;
  heartbeat_sent_ = true;
  last_heartbeat_tick_ = now;
  overlay_.SendToOverlay(host::kHitMaskHeartbeat, host::Encode(host::HitMaskHeartbeatMsg{now, count, 100}));
}

}  // namespace vyo::capture
