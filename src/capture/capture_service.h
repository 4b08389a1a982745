// CaptureService: frame capture and publishing. Per view it keeps a shared texture (announced to
// the overlay with SharedTextureReady) and its DirtyMap, runs a capture session through the
// capture port, and publishes each frame it accepts: decoded (off the main thread), then on the
// main thread paced, judged full / partial / skip, copied under the keyed mutex, described in the
// DirtyMap. It supervises every session with CaptureHealth (rebuild, fall back to the window
// source, retry the visual one), holds and parks frames, settles resizes and clears a texture that
// has no content yet.
//
// Threads: frames arrive on the source's thread, are decoded there and posted to the main thread
// through a link that Shutdown clears; everything else runs on the main thread. Each view's capture
// fields (ViewCaptureState) are the service's own, kept by view id on the main thread; the
// registry's record is read as a copy of its facts (a short hold of views_lock), so textures,
// copies, analysis and calls out run with no lock held.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_delegate.h"
#include "capture/capture_port.h"
#include "capture/cell_analyzer.h"
#include "capture/decoded_frame.h"
#include "capture/dirty_reports.h"
#include "capture/view_capture_state.h"
#include "command_dispatch/command_dispatcher.h"
#include "main_thread/main_thread.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "platform/image_decoder.h"
#include "platform/system.h"
#include "views/host_context.h"
#include "views/per_view.h"
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
CopyPlan PlanCopy(ViewCaptureState& cap, DirtyState& dirty, double zoom, uint32_t now, int32_t w, int32_t h);
// After a published copy: full-copy bookkeeping and the dirty report's remaining lifetime. A
// reported region is copied by the next two published frames whatever their kind.
void CommitCopy(ViewCaptureState& cap, DirtyState& dirty, const CopyPlan& plan, uint32_t now);

class CaptureService final : public host::IViewObserver, public IDirtyReports {
 public:
  CaptureService(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                 host::OverlayChannel& overlay, host::MainThread& main_thread, ICaptureDelegate& delegate);
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
  void OnViewCreated(uint32_t view_id) override;
  void OnViewResized(uint32_t view_id) override { ResizeViewInPlace(view_id); }
  // New content: the page's reports are forgotten, the analysis pipeline starts over and the next
  // publication is whole.
  void OnViewNavigating(uint32_t view_id) override;
  void OnViewClosing(uint32_t view_id) override;
  void OnViewDestroyed(uint32_t view_id) override;

  // IDirtyReports: what a page reported as changed.
  void OnDirtyReport(uint32_t view_id, const DirtyReport& report) override;

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
  // The view's hit testing (on or off, alpha threshold 1 to 255): its mask is made, given the new
  // threshold or removed (a mask that could not be made is tried again). Returns whether the
  // setting changed.
  bool SetHitTest(uint32_t view_id, bool on, int32_t threshold);

  // A decoded frame on the main thread (posted by the source's callback).
  void OnFrameArrived(uint32_t view_id, std::shared_ptr<DecodedFrame> frame);

  bool hold_all_frames() const { return hold_all_frames_; }
  // Views that published their first frame since the last call.
  std::vector<uint32_t> TakeFirstFrameViews();

  // Frame rate the paced wait targets: the highest rate of visible, working web views; 30 if none.
  uint32_t TargetFrameRate();
  // Whether any web view has frame analysis in flight (the paced wait is sliced meanwhile).
  bool AnyAnalysisInFlight() const;

  // A whole picture of the texture's size into the view's texture, under its keyed mutex, described
  // in the DirtyMap (native button atlases). `rows` are premultiplied BGRA.
  enum class FillResult { kNoTexture, kBusy, kCopyFailed, kFilled };
  FillResult FillTexture(uint32_t view_id, const uint8_t* rows, size_t stride, int32_t width, int32_t height);
  std::shared_ptr<platform::SharedTexture> TextureOf(uint32_t view_id) const;
  // The view's capture fields (null for an unknown view). Main thread.
  const ViewCaptureState* Find(uint32_t view_id) const { return states_.Find(view_id); }
  ViewCaptureState* Find(uint32_t view_id) { return states_.Find(view_id); }

 private:
  struct Action;
  // One view's step: the registry's facts copied at its start, what it shows, its capture fields.
  struct Slot {
    host::ViewFacts view;
    ViewContent content;
    ViewCaptureState& cap;
  };
  std::optional<Slot> SlotOf(uint32_t view_id);
  void CreateSharedTexture(uint32_t view_id);
  void ResizeViewInPlace(uint32_t view_id);
  bool CreateTexture(Slot& s, host::SharedTextureReadyMsg* announce);
  // `frame` is moved from when the view's analysis pipeline takes it.
  CopyOutcome ProcessCapturedFrame(Slot& s, std::shared_ptr<DecodedFrame>& frame);
  // A copy was published: the view has content, and the bookkeeping of full copies, resizes and
  // first frames.
  void NotePublished(Slot& s, const CopyPlan& plan, bool from_visual, uint32_t now);
  bool Clear(Slot& s);
  void ExpectVisualFrame(Slot& s, uint32_t now, Action& action);
  void ReleaseHeldFrames(Slot& s, bool process_newest);
  void Stop(Slot& s, Action& action);
  void Supervise(Slot& s, uint32_t now, Action& action);
  void DecideSession(Slot& s, uint32_t now, Action& action);
  void Run(uint32_t view_id, Action& action);
  void StartViewCapture(uint32_t view_id, const void* content);
  bool IsCaptureWanted(const Slot& s) const;
  bool NeedsHitMask(const host::ViewFacts& view, const ViewCaptureState& cap) const;
  void EnsureHitMask(Slot& s);
  void DestroyHitMask(Slot& s);
  // One step of the view's analysis pipeline (read back, publish, submit) and what it published.
  void PublishViewPipeline(Slot& s, uint32_t now);
  // A pipeline that failed or could not be configured is configured again, at once for the first
  // three failures in a row and then backing off.
  void RecoverPipeline(Slot& s, uint32_t now);
  void NotePipelineFailure(Slot& s, uint32_t now);
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
  ICaptureDelegate& delegate_;
  host::PerView<ViewCaptureState> states_;
  // Frames a step is done with, let go (back to their pool) when the step ends.
  std::vector<std::shared_ptr<DecodedFrame>> let_go_;
  CellAnalyzerFactory analyzers_ = CreateCpuCellAnalyzer;
  uint32_t last_heartbeat_tick_ = 0;
  bool heartbeat_sent_ = false;
};

}  // namespace vyo::capture
