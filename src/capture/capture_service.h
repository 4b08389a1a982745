// CaptureService: frame capture and publishing. Per view it keeps a shared texture (announced to
// the overlay with SharedTextureReady) and its DirtyMap, runs a capture session through the
// capture port, and publishes each frame it accepts: decoded (off the main thread), then on the
// main thread paced, judged full / partial / skip, copied under the keyed mutex, described in the
// DirtyMap. It supervises every session with CaptureHealth (rebuild, fall back to the window
// source, retry the visual one), holds and parks frames, settles resizes and clears a texture that
// has no content yet.
//
// Threads: frames arrive on the source's thread, are decoded there and posted to the main thread
// through a link that Shutdown clears; everything else runs on the main thread. ViewState fields
// are touched under views_lock; the capture port (the browser) and the pipe are called with it
// released.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_port.h"
#include "capture/cell_analyzer.h"
#include "capture/decoded_frame.h"
#include "command_dispatch/command_dispatcher.h"
#include "main_thread/main_thread.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "platform/image_decoder.h"
#include "platform/system.h"
#include "views/host_context.h"
#include "views/view_registry.h"

namespace vyo::capture {

using ImageDecodeFn = std::function<bool(const uint8_t* data, size_t size, platform::DecodedImage* out)>;

// Decodes `frame` into `out` (premultiplying straight alpha, reordering to BGRA). The encoded
// bytes are dropped once decoded; the pool place stays with `out->source`.
bool DecodeFrame(EncodedFrame frame, const ImageDecodeFn& decode, DecodedFrame* out);

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
CopyPlan PlanCopy(host::ViewCaptureState& cap, web::DirtyState& dirty, double zoom, uint32_t now, int32_t w, int32_t h);
// After a published copy: full-copy bookkeeping and the dirty report's remaining lifetime. A
// reported region is copied by the next two published frames whatever their kind.
void CommitCopy(host::ViewCaptureState& cap, web::DirtyState& dirty, const CopyPlan& plan, uint32_t now);

class CaptureService final : public host::IViewObserver {
 public:
  CaptureService(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                 host::OverlayChannel& overlay, host::MainThread& main_thread);
  ~CaptureService() override;
  CaptureService(const CaptureService&) = delete;
  CaptureService& operator=(const CaptureService&) = delete;

  // The engines (the composition root chooses them) and the pipe name the DirtyMaps are named by.
  void SetEngines(platform::GpuDevice* gpu, std::unique_ptr<ICapturePort> port, ImageDecodeFn decode);
  void SetPipeName(const std::u16string& pipe_name) { pipe_name_ = pipe_name; }
  // Where the analysis pipelines of views with a hit mask get their cell analyzer (the CPU one
  // unless set).
  void SetCellAnalyzers(CellAnalyzerFactory analyzers) { analyzers_ = std::move(analyzers); }
  void RegisterCommands(host::CommandDispatcher& dispatcher);

  // The main loop's frame stage: parked frames, supervision of every view's capture.
  void ServiceCaptures();
  // Frames go nowhere from now on; sessions still open are stopped.
  void Shutdown();

  // IViewObserver.
  void OnViewCreated(uint32_t view_id) override { CreateSharedTexture(view_id); }
  void OnViewResized(uint32_t view_id) override { ResizeViewInPlace(view_id); }
  // New content: the analysis pipeline starts over and the next publication is whole.
  void OnViewNavigating(uint32_t view_id) override;
  void OnViewClosing(uint32_t view_id) override;

  // Operations of the overlay's commands and of modules.
  void SetFullFrameMode(uint32_t view_id, bool on);
  void SetLiveMode(uint32_t view_id, bool on);
  void RequestFullFrames(uint32_t view_id, int32_t ms);
  void SetViewFullRefresh(uint32_t view_id, bool enabled);
  // Every view holds its frames (on) or lets them go (off), the newest held frame published.
  void SetHoldAllFrames(bool on);
  // One view holds its frames until `until` (0: until released).
  void HoldViewFrames(uint32_t view_id, uint32_t until);
  void ClearSharedTexture(uint32_t view_id);
  // The view's hit-test mode or threshold changed: its mask is made, given the new threshold or
  // removed.
  void UpdateHitMask(uint32_t view_id);

  // A decoded frame on the main thread (posted by the source's callback).
  void OnFrameArrived(uint32_t view_id, std::shared_ptr<DecodedFrame> frame);

  bool hold_all_frames() const { return hold_all_frames_; }
  // Views that published their first frame since the last call.
  std::vector<uint32_t> TakeFirstFrameViews();

 private:
  struct Action;
  void CreateSharedTexture(uint32_t view_id);
  void ResizeViewInPlace(uint32_t view_id);
  bool CreateTextureLocked(host::ViewState& view, host::SharedTextureReadyMsg* announce);
  // `frame` is moved from when the view's analysis pipeline takes it.
  CopyOutcome ProcessCapturedFrameLocked(host::ViewState& view, std::shared_ptr<DecodedFrame>& frame);
  // A copy was published: the view has content, and the bookkeeping of full copies, resizes and
  // first frames.
  void NotePublishedLocked(host::ViewState& view, const CopyPlan& plan, bool from_visual, uint32_t now);
  bool ClearLocked(host::ViewState& view);
  void ExpectVisualFrameLocked(host::ViewState& view, uint32_t now, Action& action);
  void ReleaseHeldFramesLocked(host::ViewState& view, bool process_newest);
  void StopLocked(host::ViewState& view, Action& action);
  void SuperviseLocked(host::ViewState& view, uint32_t now, Action& action);
  void DecideSessionLocked(host::ViewState& view, uint32_t now, Action& action);
  void Run(uint32_t view_id, Action& action);
  void StartViewCapture(uint32_t view_id, const std::shared_ptr<web::IWebView>& webview);
  bool IsCaptureWantedLocked(const host::ViewState& view) const;
  bool NeedsHitMaskLocked(const host::ViewState& view) const;
  void EnsureHitMaskLocked(host::ViewState& view);
  void DestroyHitMaskLocked(host::ViewState& view);
  // One step of the view's analysis pipeline (read back, publish, submit) and what it published.
  void PublishViewPipelineLocked(host::ViewState& view, uint32_t now);
  // A pipeline that failed or could not be configured is configured again, at once for the first
  // three failures in a row and then backing off.
  void RecoverPipelineLocked(host::ViewState& view, uint32_t now);
  void NotePipelineFailureLocked(host::ViewState& view, uint32_t now);
  void SendHitMaskHeartbeat(uint32_t now);
  void LogView(const char* text, uint32_t view_id, const SourceLocation& where = SourceLocation::Current());
  void WorkerLogView(const char* text, uint32_t view_id, const SourceLocation& where = SourceLocation::Current());

  platform::Clock& clock_;
  const host::HostSettings& settings_;
  host::ViewRegistry& views_;
  host::OverlayChannel& overlay_;
  host::MainThread& main_thread_;
  platform::GpuDevice* gpu_ = nullptr;
  std::unique_ptr<ICapturePort> port_;
  ImageDecodeFn decode_;
  std::u16string pipe_name_;
  // What frame callbacks hold: cleared by Shutdown, so a late frame does nothing. Read on the
  // capture port's threads, hence atomic; they only read it to decide whether to post work to the
  // main thread, which reads it again there.
  std::shared_ptr<std::atomic<CaptureService*>> link_;
  uint64_t next_serial_ = 1;
  bool hold_all_frames_ = false;
  std::vector<uint32_t> first_frame_views_;
  // Frames done with under views_lock, let go (back to their pool) once it is released.
  std::vector<std::shared_ptr<DecodedFrame>> let_go_;
  CellAnalyzerFactory analyzers_ = CreateCpuCellAnalyzer;
  uint32_t last_heartbeat_tick_ = 0;
  bool heartbeat_sent_ = false;
};

}  // namespace vyo::capture
