// CaptureService: frame capture and publishing, the one face of capture to the host. Per view it
// runs a capture session through the capture port and publishes each frame it accepts: decoded
// (off the main thread), then on the main thread handed to the view's analysis or copied by the
// shared surfaces. It wires three pieces, each the only writer of its own per-view fields:
//   SharedSurfaces (shared_surfaces.h)      textures, DirtyMaps, the copy plan, held and parked
//                                           frames, clears and fills;
//   Supervise (capture_supervision.h)       the pure decision of what a view's session does
//                                           (start, stop, rebuild, kick), carried out here;
//   HitMaskPublisher (hit_mask_publisher.h) hit masks, analysis pipelines and their recovery, and
//                                           the heartbeat.
//
// Threads: frames arrive on the source's thread, are decoded there and posted to the main thread
// through a link that Shutdown clears; everything else runs on the main thread. Each view's capture
// fields (ViewCaptureState) are kept by view id on the main thread; the registry's record is read
// as a copy of its facts (a short hold of views_lock), so textures, copies, analysis and calls out
// run with no lock held.
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
#include "capture/hit_mask_publisher.h"
#include "capture/shared_surfaces.h"
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

// What the composition root chooses for capture: the device textures are made on, as the host has
// it when a texture is made (null: none yet, or none any more), where frames come from (null: no
// capture), how frame images are decoded, and where the analysis pipelines of views with a hit
// mask get their cell analyzer.
struct CaptureEngines {
  std::function<platform::GpuDevice*()> gpu;
  std::unique_ptr<ICapturePort> port;
  ImageDecodeFn decode;
  CellAnalyzerFactory analyzers = CreateCpuCellAnalyzer;
};

class CaptureService final : public host::IViewObserver, public IDirtyReports {
 public:
  CaptureService(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                 host::OverlayChannel& overlay, host::MainThread& main_thread, ICaptureDelegate& delegate,
                 CaptureEngines engines);
  ~CaptureService() override;
  CaptureService(const CaptureService&) = delete;
  CaptureService& operator=(const CaptureService&) = delete;

  // The pipe name the DirtyMaps and hit masks are named by.
  void SetPipeName(const std::u16string& pipe_name);
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
  using FillResult = SharedSurfaces::FillResult;
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
  // One step of the view's analysis pipeline and what it published.
  void PublishViewPipeline(Slot& s, uint32_t now);
  // A copy was published: the view has content, and the bookkeeping of full copies, resizes and
  // first frames.
  void NotePublished(Slot& s, const CopyPlan& plan, bool from_visual, uint32_t now);
  bool Clear(Slot& s);
  // What supervision sees of the view now.
  SupervisionFacts FactsOf(const Slot& s, uint32_t now) const;
  // A mode asked for a frame: supervision's expectation, and a silent visual session rebuilt.
  void ExpectVisualFrame(Slot& s, uint32_t now, Action& action);
  void ReleaseHeldFrames(Slot& s, bool process_newest);
  void Stop(Slot& s, Action& action);
  void Supervise(Slot& s, uint32_t now, Action& action);
  void Run(uint32_t view_id, Action& action);
  void StartViewCapture(uint32_t view_id, const void* content);
  bool IsCaptureWanted(const Slot& s) const;
  void LogView(const char* text, uint32_t view_id, const SourceLocation& where = SourceLocation::Current());
  void WorkerLogView(const char* text, uint32_t view_id, const SourceLocation& where = SourceLocation::Current());

  platform::Clock& clock_;
  host::ViewRegistry& views_;
  host::OverlayChannel& overlay_;
  host::MainThread& main_thread_;
  std::unique_ptr<ICapturePort> port_;
  ImageDecodeFn decode_;
  SharedSurfaces surfaces_;
  HitMaskPublisher masks_;
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
};

}  // namespace vyo::capture
