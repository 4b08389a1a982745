// SharedSurfaces: what the overlay reads of every view's frames. Per view (in its
// ViewCaptureState) the shared texture and its DirtyMap, the plan of each copy (full / partial /
// skip) and its bookkeeping, the pacer, frames held back and the frame parked while the pacer or
// the keyed mutex refuses it, clears and whole-picture fills. Main thread; textures and copies run
// with no registry lock held (checked in debug builds at each entry that touches the GPU).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/decoded_frame.h"
#include "capture/view_capture_state.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "protocol/protocol.h"
#include "views/view_registry.h"

namespace vyo::capture {

// How a frame was handled by the copy.
enum class CopyOutcome {
  kPublished,  // copied and described in the DirtyMap
  kSkipped,    // nothing to copy (nothing changed, wrong size, no texture): the frame is done with
  kParked,     // refused for now (pacer or keyed mutex): kept and published as soon as it may be
  kTaken,      // the view's analysis pipeline holds the frame
};

// What the copy of one frame will rewrite.
struct CopyPlan {
  enum Kind { kSkip, kFull, kPartial } kind = kSkip;
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// The full / partial / skip decision for a frame of w x h (already clipped to the view), with the
// expiry of a full-frame period. Pure apart from that expiry.
CopyPlan PlanCopy(ViewCaptureState& cap, DirtyState& dirty, double zoom, uint32_t now, int32_t w, int32_t h);
// After a published copy: full-copy bookkeeping and the dirty report's remaining lifetime. A
// reported region is copied by the next two published frames whatever their kind.
void CommitCopy(ViewCaptureState& cap, DirtyState& dirty, const CopyPlan& plan, uint32_t now);

constexpr uint32_t kMaxHeldFrames = 3;

class SharedSurfaces {
 public:
  // `gpu` gives the device textures are made on (null: none now).
  SharedSurfaces(platform::Clock& clock, host::OverlayChannel& overlay, std::function<platform::GpuDevice*()> gpu)
      : clock_(clock), overlay_(overlay), gpu_(std::move(gpu)) {}
  void SetPipeName(const std::u16string& pipe_name) { pipe_name_ = pipe_name; }

  // A new texture (and DirtyMap) of the view's size, the next copy whole; what to announce. False
  // (and none) without a device or a size, or when the device refuses.
  bool Create(const host::ViewFacts& view, ViewCaptureState& cap, host::SharedTextureReadyMsg* announce);
  // The texture and DirtyMap go (their names are unlinked); an overlay that mapped them keeps its
  // mapping.
  static void Release(ViewCaptureState& cap);

  // Clears the texture under its keyed mutex (a busy mutex leaves the clear pending).
  // `on_cleared` runs while the mutex is held, with the DirtyMap's new update number (none
  // without a DirtyMap).
  bool Clear(const host::ViewFacts& view, ViewCaptureState& cap,
             const std::function<void(std::optional<uint32_t> dirty_seq)>& on_cleared);

  enum class FillResult { kNoTexture, kBusy, kCopyFailed, kFilled };
  FillResult Fill(ViewCaptureState& cap, const uint8_t* rows, size_t stride, int32_t width, int32_t height);

  // Whether the frame has the view's size; a mismatch is noted (supervision rebuilds a lasting
  // one) and logged once per size.
  bool CheckSize(const host::ViewFacts& view, ViewCaptureState& cap, const DecodedFrame& frame, uint32_t now);
  // The plain copy of a frame of the view's size: paced, planned, copied under the keyed mutex and
  // described in the DirtyMap. `plan` is what was published.
  CopyOutcome Copy(const host::ViewFacts& view, double zoom, ViewCaptureState& cap, DecodedFrame& frame,
                   uint32_t now, CopyPlan* plan);

  // Frames held back: at most kMaxHeldFrames stay out of the pool (which stops the source); a
  // further one goes to `let_go`.
  static void Hold(ViewCaptureState& cap, uint32_t until);
  static void HoldFrame(ViewCaptureState& cap, std::shared_ptr<DecodedFrame> frame,
                        std::vector<std::shared_ptr<DecodedFrame>>* let_go);
  // Ends the hold: the newest held frame (null when none), the older ones to the pool.
  static std::shared_ptr<DecodedFrame> Unhold(ViewCaptureState& cap);
  // The latest refused frame is kept (a parked one it replaces goes to `let_go`).
  static void Park(ViewCaptureState& cap, std::shared_ptr<DecodedFrame> frame,
                   std::vector<std::shared_ptr<DecodedFrame>>* let_go);
  // Held and parked frames go to `out`, the pacer starts over (a stopped session).
  static void DropFrames(ViewCaptureState& cap, std::vector<std::shared_ptr<DecodedFrame>>* out);

 private:
  platform::Clock& clock_;
  host::OverlayChannel& overlay_;
  std::function<platform::GpuDevice*()> gpu_;
  std::u16string pipe_name_;
};

}  // namespace vyo::capture
