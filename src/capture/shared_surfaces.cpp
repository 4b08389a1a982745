#include "capture/shared_surfaces.h"

#include <algorithm>
#include <utility>

#include "base/lock_checks.h"
#include "base/log.h"
#include "protocol/texture_layout.h"

namespace vyo::capture {

namespace {
constexpr uint32_t kFullCopyEveryMs = 999;
}  // namespace

CopyPlan PlanCopy(ViewCaptureState& cap, DirtyState& dirty, double zoom, uint32_t now, int32_t w, int32_t h) {
  CopyPlan plan;
  cap.ExpireFullFrames(dirty, now);
  // A view whose frames are analysed (its mask is built) takes whole frames here too: this plain
  // copy serves it only while its analysis is failing, and the page's reports are ignored meanwhile.
  const bool full = cap.TakesWholeFrames() || cap.WholeFrameDue(dirty, zoom) || !dirty.dirty_info_available ||
                    TickDiff(now, cap.last_full_tick) > static_cast<int32_t>(kFullCopyEveryMs);
  if (full) {
    plan.kind = CopyPlan::kFull;
    plan.right = w;
    plan.bottom = h;
    return plan;
  }
  if (!dirty.has_rect || dirty.dirty_lifetime < 1) return plan;
  // 64-bit clamping: the page's rectangle may lie anywhere.
  const auto clamp = [](int64_t v, int64_t hi) { return static_cast<int32_t>(std::clamp<int64_t>(v, 0, hi)); };
  plan.left = clamp(dirty.dirty_rect.left, w);
  plan.top = clamp(dirty.dirty_rect.top, h);
  plan.right = clamp(dirty.dirty_rect.right, w);
  plan.bottom = clamp(dirty.dirty_rect.bottom, h);
  if (plan.right <= plan.left || plan.bottom <= plan.top) return CopyPlan{};
  plan.kind = CopyPlan::kPartial;
  return plan;
}

void CommitCopy(ViewCaptureState& cap, DirtyState& dirty, const CopyPlan& plan, uint32_t now) {
  if (plan.kind == CopyPlan::kFull) {
    dirty.force_full = false;
    cap.last_full_tick = now;
  }
  // Each published frame uses up one of the two the report asked for: a full copy made before the
  // page drew its change must not end the report early.
  if (dirty.dirty_lifetime > 0) dirty.dirty_lifetime -= 1;
  if (dirty.dirty_lifetime < 1) {
    dirty.has_rect = false;
    dirty.dirty_rect = DirtyRect{};
  }
}

bool SharedSurfaces::Create(const host::ViewFacts& view, ViewCaptureState& cap,
                            host::SharedTextureReadyMsg* announce) {
  CheckNoRegistryLock("create a texture");
  Release(cap);
  platform::GpuDevice* gpu = gpu_ ? gpu_() : nullptr;
  if (gpu == nullptr || view.width < 1 || view.height < 1) return false;
  std::unique_ptr<platform::SharedTexture> texture =
      gpu->CreateSharedTexture(static_cast<uint32_t>(view.width), static_cast<uint32_t>(view.height));
  if (!texture) return false;  // no texture, no message: supervision leaves the view alone
  cap.texture = std::move(texture);
  if (!pipe_name_.empty()) {
    cap.dirty_map = platform::SharedMemory::Create(host::DirtyMapName(pipe_name_, view.view_id), host::kDirtyMapSize);
    if (cap.dirty_map) host::ResetDirtyMap(cap.dirty_map->data());
  }
  cap.dirty.force_full = true;
  cap.blank_cleared = false;
  cap.clear_pending = false;
  announce->view_id = view.view_id;
  announce->width = cap.texture->Width();
  announce->height = cap.texture->Height();
  announce->format = host::kTextureFormatBgra;
  announce->shared_handle = cap.texture->SharedHandle();
  return true;
}

void SharedSurfaces::Release(ViewCaptureState& cap) {
  cap.texture.reset();
  cap.dirty_map.reset();
}

bool SharedSurfaces::Clear(const host::ViewFacts& view, ViewCaptureState& cap,
                           const std::function<void(std::optional<uint32_t> dirty_seq)>& on_cleared) {
  CheckNoRegistryLock("clear a texture");
  if (!cap.texture) return false;
  if (!cap.texture->AcquireSync(host::kHostKey, 0)) {
    cap.clear_pending = true;  // retried by supervision until it happens
    return false;
  }
  const bool cleared = cap.texture->Clear();
  if (cleared) {
    std::optional<uint32_t> seq;
    if (cap.dirty_map) seq = host::PublishDirty(cap.dirty_map->data(), true, 0, 0, view.width, view.height);
    if (on_cleared) on_cleared(seq);
  }
  cap.texture->ReleaseSync(host::kOverlayKey);
  if (!cleared) return false;
  cap.clear_pending = false;
  cap.dirty.force_full = true;
  return true;
}

SharedSurfaces::FillResult SharedSurfaces::Fill(ViewCaptureState& cap, const uint8_t* rows, size_t stride,
                                                int32_t width, int32_t height) {
  CheckNoRegistryLock("fill a texture");
  if (!cap.texture) return FillResult::kNoTexture;
  if (!cap.texture->AcquireSync(host::kHostKey, 0)) return FillResult::kBusy;
  FillResult result = FillResult::kCopyFailed;
  if (cap.texture->CopyRegion(rows, stride, 0, 0, width, height)) {
    if (cap.dirty_map) host::PublishDirty(cap.dirty_map->data(), true, 0, 0, width, height);
    cap.has_content = true;
    result = FillResult::kFilled;
  }
  cap.texture->ReleaseSync(result == FillResult::kFilled ? host::kOverlayKey : host::kHostKey);
  return result;
}

bool SharedSurfaces::CheckSize(const host::ViewFacts& view, ViewCaptureState& cap, const DecodedFrame& frame,
                               uint32_t now) {
  // Frames of another size are not published; a lasting mismatch is rebuilt by supervision.
  if (frame.width != view.width || frame.height != view.height) {
    if (cap.size_mismatch_since == 0) cap.size_mismatch_since = NonZeroTick(now);
    if (!cap.mismatch_logged || frame.width != cap.mismatch_width || frame.height != cap.mismatch_height) {
      cap.mismatch_logged = true;
      cap.mismatch_width = frame.width;
      cap.mismatch_height = frame.height;
      overlay_.QueueWorkerLog(StringPrintf("[DIAG] capture size mismatch, view_id=%u, requested=%dx%d, captured=%dx%d",
                                           view.view_id, view.width, view.height, frame.width, frame.height));
    }
    return false;
  }
  cap.size_mismatch_since = 0;
  cap.mismatch_logged = false;
  return true;
}

CopyOutcome SharedSurfaces::Copy(const host::ViewFacts& view, double zoom, ViewCaptureState& cap,
                                 DecodedFrame& frame, uint32_t now, CopyPlan* published) {
  CheckNoRegistryLock("copy a frame");
  if (!cap.texture) return CopyOutcome::kSkipped;
  // A frame the pacer accepted and the keyed mutex then refused does not wait for another slot.
  if (!cap.pacer.Accept(view.frame_rate, clock_.PerfCounter(), frame.paced)) return CopyOutcome::kParked;
  const int32_t w = std::min<int32_t>(view.width, static_cast<int32_t>(cap.texture->Width()));
  const int32_t h = std::min<int32_t>(view.height, static_cast<int32_t>(cap.texture->Height()));
  if (w < 1 || h < 1) return CopyOutcome::kSkipped;
  const CopyPlan plan = PlanCopy(cap, cap.dirty, zoom, now, w, h);
  if (plan.kind == CopyPlan::kSkip) return CopyOutcome::kSkipped;
  if (!cap.texture->AcquireSync(host::kHostKey, 0)) {
    frame.paced = true;
    return CopyOutcome::kParked;
  }
  const bool copied = cap.texture->CopyRegion(frame.bgra.data(), static_cast<size_t>(frame.width) * 4, plan.left,
                                              plan.top, plan.right - plan.left, plan.bottom - plan.top);
  if (copied && cap.dirty_map) {
    host::PublishDirty(cap.dirty_map->data(), plan.kind == CopyPlan::kFull, plan.left, plan.top,
                       plan.right - plan.left, plan.bottom - plan.top);
  }
  cap.texture->ReleaseSync(host::kOverlayKey);
  if (!copied) return CopyOutcome::kSkipped;
  *published = plan;
  return CopyOutcome::kPublished;
}

void SharedSurfaces::Hold(ViewCaptureState& cap, uint32_t until) {
  cap.frames_held = true;
  cap.hold_until = until;
}

void SharedSurfaces::HoldFrame(ViewCaptureState& cap, std::shared_ptr<DecodedFrame> frame,
                               std::vector<std::shared_ptr<DecodedFrame>>* let_go) {
  if (cap.held_frames.size() < kMaxHeldFrames) {
    cap.held_frames.push_back(std::move(frame));
  } else {
    let_go->push_back(std::move(frame));
  }
}

std::shared_ptr<DecodedFrame> SharedSurfaces::Unhold(ViewCaptureState& cap) {
  cap.frames_held = false;
  cap.hold_until = 0;
  if (cap.held_frames.empty()) return nullptr;
  std::shared_ptr<DecodedFrame> newest = std::move(cap.held_frames.back());
  cap.held_frames.clear();  // the older ones go back to the pool
  return newest;
}

void SharedSurfaces::Park(ViewCaptureState& cap, std::shared_ptr<DecodedFrame> frame,
                          std::vector<std::shared_ptr<DecodedFrame>>* let_go) {
  if (cap.parked_frame) let_go->push_back(std::move(cap.parked_frame));
  cap.parked_frame = std::move(frame);
}

void SharedSurfaces::DropFrames(ViewCaptureState& cap, std::vector<std::shared_ptr<DecodedFrame>>* out) {
  for (auto& f : cap.held_frames) out->push_back(std::move(f));
  cap.held_frames.clear();
  if (cap.parked_frame) out->push_back(std::move(cap.parked_frame));
  cap.pacer.Reset();
}

}  // namespace vyo::capture
