#include "capture/capture_service.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "base/lock_checks.h"
#include "base/log.h"
#include "capture/pixel_convert.h"
#include "protocol/commands.h"
#include "protocol/hit_mask_layout.h"
#include "protocol/protocol.h"
#include "protocol/texture_layout.h"

namespace vyo::capture {


namespace {

constexpr uint32_t kLiveModeTailMs = 3000;

// Frames per second → the polling interval of a window source.
uint32_t IntervalMs(uint32_t rate) { return rate == 0 ? 1000 : std::max<uint32_t>(1, 1000 / std::min<uint32_t>(rate, 60)); }

// The page's pending reports are dropped and the next frame is copied whole.
void ForgetReports(DirtyState& dirty) {
  dirty.has_rect = false;
  dirty.dirty_lifetime = 0;
  dirty.force_full = true;
}

// Whole frames until `deadline` (a later deadline already set is kept); the page's reports are
// dropped meanwhile.
void ExtendFullFrames(ViewCaptureState& cap, DirtyState& dirty, uint32_t deadline) {
  if (cap.full_until != 0 && TickDiff(cap.full_until, deadline) >= 0) return;
  cap.full_until = deadline;
  ForgetReports(dirty);
}

}  // namespace

bool DecodeFrame(EncodedFrame frame, const ImageDecodeFn& decode, DecodedFrame* out) {
  platform::DecodedImage image;
  image.pixels = std::move(out->bgra);  // reuse a buffer the caller may give
  const std::vector<uint8_t>& png = frame.png();
  if (!decode || png.empty() || !decode(png.data(), png.size(), &image)) return false;
  if (image.width < 1 || image.height < 1 || image.width > host::kMaxViewSide || image.height > host::kMaxViewSide ||
      image.pixels.size() != static_cast<size_t>(image.width) * image.height * 4) {
    return false;
  }
  const size_t pixels = static_cast<size_t>(image.width) * image.height;
  uint8_t* p = image.pixels.data();
  if (frame.alpha() == FrameAlpha::kStraight) {
    Premultiply(p, p, pixels, image.order == platform::ChannelOrder::kRgba);
  } else if (image.order == platform::ChannelOrder::kRgba) {
    SwapRedBlue(p, p, pixels);
  }
  out->width = static_cast<int32_t>(image.width);
  out->height = static_cast<int32_t>(image.height);
  out->bgra = std::move(image.pixels);
  frame.png().clear();
  frame.png().shrink_to_fit();
  out->source = std::move(frame);
  return true;
}

// What one view's step decided, done at the end of the step (sessions stopped and started, frames
// let go, the pipe written).
struct CaptureService::Action {
  std::vector<std::shared_ptr<ICaptureSession>> stop;  // sessions to end
  bool start = false;
  const void* content = nullptr;  // the content to capture when `start`
  std::shared_ptr<ICaptureSession> kick;
  std::vector<std::shared_ptr<DecodedFrame>> done;  // frames to release
  std::optional<host::SharedTextureReadyMsg> announce;
  std::vector<std::string> logs;
};

CaptureService::CaptureService(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                               host::OverlayChannel& overlay, host::MainThread& main_thread,
                               ICaptureDelegate& delegate, CaptureEngines engines)
    : clock_(clock),
      views_(views),
      overlay_(overlay),
      main_thread_(main_thread),
      port_(std::move(engines.port)),
      decode_(std::move(engines.decode)),
      surfaces_(clock, overlay, engines.gpu),
      masks_(clock, settings, overlay, engines.analyzers ? std::move(engines.analyzers) : CreateCpuCellAnalyzer),
      link_(std::make_shared<std::atomic<CaptureService*>>(this)),
      delegate_(delegate) {}

void CaptureService::SetPipeName(const std::u16string& pipe_name) {
  surfaces_.SetPipeName(pipe_name);
  masks_.SetPipeName(pipe_name);
}

std::optional<CaptureService::Slot> CaptureService::SlotOf(uint32_t view_id) {
  ViewCaptureState* cap = states_.Find(view_id);
  if (cap == nullptr) return std::nullopt;
  std::optional<host::ViewFacts> facts = views_.Facts(view_id);
  if (!facts) return std::nullopt;
  return Slot{*facts, facts->kind == host::ViewKind::kWeb ? delegate_.ContentOf(view_id) : ViewContent{}, *cap};
}

std::shared_ptr<platform::SharedTexture> CaptureService::TextureOf(uint32_t view_id) const {
  const ViewCaptureState* cap = states_.Find(view_id);
  return cap != nullptr ? cap->texture : nullptr;
}

uint32_t CaptureService::TargetFrameRate() {
  uint32_t rate = 0;
  for (const host::ViewFacts& view : views_.AllFacts()) {
    if (view.kind == host::ViewKind::kNative || !view.visible || delegate_.ContentOf(view.view_id).failed) continue;
    rate = std::max(rate, view.frame_rate);
  }
  return rate == 0 ? 30 : rate;
}

bool CaptureService::AnyAnalysisInFlight() const {
  return std::any_of(states_.begin(), states_.end(), [](const auto& e) { return e.second.AnalysisInFlight(); });
}

CaptureService::~CaptureService() { Shutdown(); }

void CaptureService::RegisterCommands(host::CommandDispatcher& dispatcher) {
  dispatcher.On<host::ViewFullFrameModeCmd>(
      [this](const host::ViewFullFrameModeCmd& c) { SetFullFrameMode(c.view_id, c.on); });
  dispatcher.On<host::ViewLiveModeCmd>([this](const host::ViewLiveModeCmd& c) { SetLiveMode(c.view_id, c.on); });
}

void CaptureService::Shutdown() {
  link_->store(nullptr);
  std::vector<std::shared_ptr<ICaptureSession>> sessions;
  std::vector<std::shared_ptr<DecodedFrame>> frames;
  for (auto& [id, cap] : states_) {
    if (cap.session) sessions.push_back(std::move(cap.session));
    SharedSurfaces::DropFrames(cap, &frames);
    if (cap.pipeline) {
      cap.pipeline->Reset();
      cap.pipeline->TakeReleased(&frames);
    }
  }
  sessions.clear();
  frames.clear();
  port_.reset();
}

void CaptureService::LogView(const char* text, uint32_t view_id, const SourceLocation& where) {
  overlay_.SendLog(ViewForm(text, view_id), where);
}
void CaptureService::WorkerLogView(const char* text, uint32_t view_id, const SourceLocation& where) {
  overlay_.QueueWorkerLog(ViewForm(text, view_id), where);
}

std::vector<uint32_t> CaptureService::TakeFirstFrameViews() { return std::exchange(first_frame_views_, {}); }

// ---------------------------------------------------------------------------------------------
// Textures

bool CaptureService::CreateTexture(Slot& s, host::SharedTextureReadyMsg* announce) {
  if (!surfaces_.Create(s.view, s.cap, announce)) return false;
  masks_.Ensure(s.view, s.cap, &let_go_);
  return true;
}

void CaptureService::OnViewCreated(uint32_t view_id) {
  states_.Add(view_id);
  CreateSharedTexture(view_id);
}

void CaptureService::OnViewDestroyed(uint32_t view_id) {
  ViewCaptureState* cap = states_.Find(view_id);
  if (cap == nullptr) return;
  // Closing has stopped the session and released the texture; whatever is left goes now.
  Action action;
  host::ViewFacts facts;  // the registry's record is gone by now
  facts.view_id = view_id;
  Slot s{facts, ViewContent{}, *cap};
  Stop(s, action);
  masks_.Destroy(*cap, &let_go_);
  states_.Erase(view_id);
  Run(view_id, action);
}

void CaptureService::CreateSharedTexture(uint32_t view_id) {
  main_thread_.CheckOnMainThread();
  host::SharedTextureReadyMsg announce;
  std::optional<Slot> s = SlotOf(view_id);
  if (!s) return;
  s->cap.pacer.frequency = clock_.PerfFrequency();
  const bool created = CreateTexture(*s, &announce);
  let_go_.clear();
  if (!created) return;
  overlay_.SendToOverlay(host::kSharedTextureReady, host::Encode(announce));
  LogView("CreateSharedTexture ready", view_id);
}

void CaptureService::ResizeViewInPlace(uint32_t view_id) {
  main_thread_.CheckOnMainThread();
  Action action;
  const uint32_t now = clock_.TickMs();
  {
    std::optional<Slot> s = SlotOf(view_id);
    if (!s) return;
    ViewCaptureState& cap = s->cap;
    SupervisionState& sup = cap.supervision;
    sup.health.NoteActivity(now);
    host::SharedTextureReadyMsg announce;
    if (CreateTexture(*s, &announce)) action.announce = announce;
    ForgetReports(cap.dirty);
    cap.mismatch_logged = false;
    cap.size_mismatch_since = 0;
    cap.mismatch_width = cap.mismatch_height = 0;
    cap.got_frame = false;
    sup.health.NoteExpectFrame(now);
    cap.pacer.Reset();
    if (cap.parked_frame) action.done.push_back(std::move(cap.parked_frame));
    sup.restart_budget = kRestartBudget;
    sup.last_restart_tick = 0;
    cap.resize_settling = true;
    sup.last_kick_tick = 0;
    sup.kick_count = 0;
    // The session captures at the view's size: a new one at the new size (the frame pool made
    // again), or none when capture is not wanted.
    const bool had_session = cap.session != nullptr;
    Stop(*s, action);
    if (had_session && IsCaptureWanted(*s)) {
      action.start = true;
      action.content = s->content.content;
    }
  }
  if (action.announce) {
    overlay_.SendToOverlay(host::kSharedTextureReady, host::Encode(*action.announce));
    LogView("CreateSharedTexture ready", view_id);
    action.announce.reset();
  }
  Run(view_id, action);
  LogView("view resized in place", view_id);
}

CaptureService::FillResult CaptureService::FillTexture(uint32_t view_id, const uint8_t* rows, size_t stride,
                                                      int32_t width, int32_t height) {
  ViewCaptureState* cap = states_.Find(view_id);
  if (cap == nullptr) return FillResult::kNoTexture;
  return surfaces_.Fill(*cap, rows, stride, width, height);
}

bool CaptureService::Clear(Slot& s) {
  ViewCaptureState& cap = s.cap;
  return surfaces_.Clear(s.view, cap, [&cap](std::optional<uint32_t> seq) { HitMaskPublisher::OnCleared(cap, seq); });
}

void CaptureService::ClearSharedTexture(uint32_t view_id) {
  if (std::optional<Slot> s = SlotOf(view_id)) Clear(*s);
}

// ---------------------------------------------------------------------------------------------
// Frames

CopyOutcome CaptureService::ProcessCapturedFrame(Slot& s, std::shared_ptr<DecodedFrame>& taken) {
  ViewCaptureState& cap = s.cap;
  DecodedFrame& frame = *taken;
  const uint32_t now = clock_.TickMs();
  if (!surfaces_.CheckSize(s.view, cap, frame, now) || !cap.texture) return CopyOutcome::kSkipped;
  // A view with a hit mask takes the analysis pipeline: the analysis decides the copy, the page's
  // reports do not. While its pipeline is failing, frames take the plain copy (whole frames).
  if (HitMaskPublisher::TakeFrame(cap, taken)) {
    PublishViewPipeline(s, now);
    return CopyOutcome::kTaken;
  }
  CopyPlan plan;
  const CopyOutcome outcome = surfaces_.Copy(s.view, s.content.zoom, cap, frame, now, &plan);
  if (outcome == CopyOutcome::kPublished) NotePublished(s, plan, frame.from_visual, now);
  return outcome;
}

void CaptureService::PublishViewPipeline(Slot& s, uint32_t now) {
  if (std::optional<HitMaskPublisher::Published> published = masks_.Publish(s.view, s.content.zoom, s.cap, now, &let_go_)) {
    NotePublished(s, published->plan, published->from_visual, now);
  }
}

void CaptureService::NotePublished(Slot& s, const CopyPlan& plan, bool from_visual, uint32_t now) {
  ViewCaptureState& cap = s.cap;
  cap.got_frame = true;
  cap.has_content = true;
  cap.clear_pending = false;
  cap.supervision.health.NoteFrame(from_visual, now);
  CommitCopy(cap, cap.dirty, plan, now);
  if (plan.kind == CopyPlan::kFull && cap.resize_settling) {
    if (cap.supervision.kick_count < 1) {
      cap.dirty.force_full = true;  // stay settling until a kick has been sent
    } else {
      cap.resize_settling = false;
      WorkerLogView("resize frame settled", s.view.view_id);
    }
  }
  if (!cap.first_frame_noted) {
    cap.first_frame_noted = true;
    WorkerLogView("GraphicsCapture frame copied", s.view.view_id);
    first_frame_views_.push_back(s.view.view_id);
  }
}

void CaptureService::OnFrameArrived(uint32_t view_id, std::shared_ptr<DecodedFrame> frame) {
  main_thread_.CheckOnMainThread();
  {
    const ViewCaptureState* known = states_.Find(view_id);
    std::optional<Slot> s =
        known != nullptr && known->session_serial == frame->session_serial ? SlotOf(view_id) : std::nullopt;
    if (!s) {
      let_go_.push_back(std::move(frame));
    } else if (ViewCaptureState& cap = s->cap; cap.frames_held) {
      // Held frames stay out of the pool, which stops the source; a fourth is dropped.
      SharedSurfaces::HoldFrame(cap, std::move(frame), &let_go_);
    } else {
      const CopyOutcome outcome = ProcessCapturedFrame(*s, frame);
      if (outcome == CopyOutcome::kParked) {
        SharedSurfaces::Park(cap, std::move(frame), &let_go_);
      } else if (frame) {
        let_go_.push_back(std::move(frame));
      }
    }
  }
  let_go_.clear();  // back to the pool
  overlay_.FlushWorkerLogs();
}

void CaptureService::ReleaseHeldFrames(Slot& s, bool process_newest) {
  std::shared_ptr<DecodedFrame> newest = SharedSurfaces::Unhold(s.cap);
  if (!newest || !process_newest) return;
  // The newest held frame is what the view shows now: publish it, or park it when refused.
  if (ProcessCapturedFrame(s, newest) == CopyOutcome::kParked) {
    s.cap.parked_frame = std::move(newest);
  } else if (newest) {
    let_go_.push_back(std::move(newest));
  }
}

void CaptureService::SetHoldAllFrames(bool on) {
  if (hold_all_frames_ == on) return;
  hold_all_frames_ = on;
  for (auto& [id, cap] : states_) {
    if (on) {
      SharedSurfaces::Hold(cap, 0);
    } else if (std::optional<Slot> s = SlotOf(id)) {
      ReleaseHeldFrames(*s, true);
    }
  }
  let_go_.clear();
}

void CaptureService::HoldViewFrames(uint32_t view_id, uint32_t until) {
  if (ViewCaptureState* cap = states_.Find(view_id)) SharedSurfaces::Hold(*cap, until);
}

// ---------------------------------------------------------------------------------------------
// Modes

void CaptureService::ExpectVisualFrame(Slot& s, uint32_t now, Action& action) {
  bool log_expecting = false;
  const bool rebuild = capture::ExpectVisualFrame(FactsOf(s, now), s.cap.supervision, &log_expecting);
  if (log_expecting) WorkerLogView("Visual capture expecting frame", s.view.view_id);
  if (!rebuild) return;
  action.logs.push_back(ViewForm("Visual capture produced no frame, rebuild session", s.view.view_id));
  Stop(s, action);
  action.start = IsCaptureWanted(s);
  action.content = s.content.content;
}

void CaptureService::SetFullFrameMode(uint32_t view_id, bool on) {
  std::optional<Slot> s = SlotOf(view_id);
  if (!s) return;
  Action action;
  ViewCaptureState& cap = s->cap;
  DirtyState& dirty = cap.dirty;
  if (on) {
    if (!cap.full_frame_mode) {
      cap.full_frame_saved = dirty.dirty_info_available;
      cap.full_frame_mode = true;
    }
    ExpectVisualFrame(*s, clock_.TickMs(), action);
  } else if (cap.full_frame_mode) {
    cap.full_frame_mode = false;
    dirty.dirty_info_available = cap.full_frame_saved;
    cap.full_frame_saved = false;
  } else {
    return;
  }
  dirty.has_rect = false;
  dirty.dirty_lifetime = 0;
  Run(view_id, action);
}

void CaptureService::SetLiveMode(uint32_t view_id, bool on) {
  std::optional<Slot> s = SlotOf(view_id);
  if (!s) return;
  Action action;
  ViewCaptureState& cap = s->cap;
  DirtyState& dirty = cap.dirty;
  const uint32_t now = clock_.TickMs();
  if (cap.live_mode == on) {
    dirty.force_full = true;
    return;
  }
  cap.live_mode = on;
  if (cap.pipeline) cap.pipeline->ForceNext();
  if (on) {
    cap.supervision.health.NoteActivity(now);
    ExpectVisualFrame(*s, now, action);
    ForgetReports(dirty);
    if (cap.frames_held && !hold_all_frames_) ReleaseHeldFrames(*s, true);
  } else {
    // Full copies go on for a while after live mode ends.
    ExtendFullFrames(cap, dirty, NonZeroTick(now + kLiveModeTailMs));
  }
  Run(view_id, action);
}

void CaptureService::RequestFullFrames(uint32_t view_id, int32_t ms) {
  std::optional<Slot> s = SlotOf(view_id);
  if (!s) return;
  Action action;
  ViewCaptureState& cap = s->cap;
  const uint32_t now = clock_.TickMs();
  ExpectVisualFrame(*s, now, action);
  if (ms > 0) {
    ExtendFullFrames(cap, cap.dirty, NonZeroTick(now + static_cast<uint32_t>(ms)));
  } else if (cap.full_until != 0) {
    cap.full_until = 0;
    cap.dirty.force_full = true;
  }
  Run(view_id, action);
}

void CaptureService::SetViewFullRefresh(uint32_t view_id, bool enabled) {
  std::optional<Slot> s = SlotOf(view_id);
  if (!s || s->cap.full_refresh == enabled) return;
  Action action;
  s->cap.full_refresh = enabled;
  ForgetReports(s->cap.dirty);
  if (enabled) ExpectVisualFrame(*s, clock_.TickMs(), action);
  Run(view_id, action);
  overlay_.SendLog(StringPrintf("SetViewFullRefresh, view_id=%u, enabled=%d", view_id, enabled ? 1 : 0));
}

void CaptureService::OnDirtyReport(uint32_t view_id, const DirtyReport& report) {
  // Ignored while the view takes whole frames anyway.
  if (ViewCaptureState* cap = states_.Find(view_id)) ApplyDirtyReport(cap->dirty, cap->TakesWholeFrames(), report);
}

// ---------------------------------------------------------------------------------------------
// Sessions and supervision

bool CaptureService::IsCaptureWanted(const Slot& s) const {
  // Native buttons have no web content; a hidden view produces nothing the overlay shows.
  return s.view.kind == host::ViewKind::kWeb && s.view.visible && s.content.content != nullptr && !s.content.failed &&
         s.cap.texture != nullptr;
}

void CaptureService::Stop(Slot& s, Action& action) {
  ViewCaptureState& cap = s.cap;
  SharedSurfaces::DropFrames(cap, &action.done);
  HitMaskPublisher::StartOver(cap, &action.done);  // the device objects stay
  if (cap.session) action.stop.push_back(std::move(cap.session));
  cap.session_serial = 0;  // frames still on their way are dropped
  cap.captured_view = nullptr;
  cap.session_ended = false;
  cap.capture_from_visual = false;
  cap.capture_start_tick = 0;
  cap.frames_held = false;
  cap.hold_until = 0;
}

void CaptureService::OnViewNavigating(uint32_t view_id) {
  ViewCaptureState* cap = states_.Find(view_id);
  if (cap == nullptr) return;
  cap->supervision.health.NoteActivity(clock_.TickMs());
  // The new document reports its own changes, or not: what the old one reported is forgotten.
  cap->dirty = DirtyState{};
  cap->dirty.force_full = true;
  HitMaskPublisher::StartOver(*cap, &let_go_);
  let_go_.clear();
}

void CaptureService::OnViewClosing(uint32_t view_id) {
  std::optional<Slot> s = SlotOf(view_id);
  if (!s) return;
  Action action;
  Stop(*s, action);
  SharedSurfaces::Release(s->cap);
  masks_.Destroy(s->cap, &let_go_);
  Run(view_id, action);
}

void CaptureService::StartViewCapture(uint32_t view_id, const void* content) {
  if (!port_ || content == nullptr) return;
  std::optional<Slot> s = SlotOf(view_id);
  if (!s || s->content.content != content || !IsCaptureWanted(*s)) return;
  const int32_t width = s->view.width, height = s->view.height;
  const uint32_t rate = s->view.frame_rate;
  const bool visual = s->cap.supervision.health.fell_back == 0;
  if (!port_->IsSupported(view_id)) {
    s->cap.supervision.restart_budget = 0;
    LogView("GraphicsCapture not supported", view_id);
    return;
  }
  const uint64_t serial = next_serial_++;
  const CaptureSource source = visual ? CaptureSource::kVisual : CaptureSource::kWindow;
  std::weak_ptr<std::atomic<CaptureService*>> weak = link_;
  host::MainThread* main = &main_thread_;
  ImageDecodeFn decode = decode_;
  platform::Clock* clock = &clock_;
  // Both callbacks may run on the port's threads: they touch nothing of the service there and post
  // what they bring to the main thread.
  const auto service_of = [](const std::weak_ptr<std::atomic<CaptureService*>>& w) -> CaptureService* {
    auto link = w.lock();
    return link ? link->load() : nullptr;
  };
  FrameCallback on_frame = [weak, main, decode, clock, view_id, serial, visual, service_of](EncodedFrame encoded) {
    if (service_of(weak) == nullptr) return;
    auto frame = std::make_shared<DecodedFrame>();
    frame->session_serial = serial;
    frame->from_visual = visual;
    if (!DecodeFrame(std::move(encoded), decode, frame.get())) return;  // back to the pool
    frame->arrived = clock->PerfCounter();
    main->PostTask([weak, view_id, frame, service_of]() mutable {
      if (CaptureService* service = service_of(weak)) service->OnFrameArrived(view_id, std::move(frame));
    });
  };
  EndCallback on_end = [weak, main, view_id, serial, service_of] {
    if (service_of(weak) == nullptr) return;
    main->RunOrPost([weak, view_id, serial, service_of] {
      CaptureService* service = service_of(weak);
      if (service == nullptr) return;
      ViewCaptureState* cap = service->states_.Find(view_id);
      if (cap != nullptr && cap->session_serial == serial) cap->session_ended = true;
    });
  };
  std::shared_ptr<ICaptureSession> session =
      port_->Start(view_id, source, width, height, IntervalMs(rate), std::move(on_frame), std::move(on_end));
  // The view is looked up again: the call went out to the browser.
  const std::optional<Slot> after = SlotOf(view_id);
  if (!session) {
    LogView("StartCapture failed", view_id);
    if (visual && after) after->cap.supervision.health.NoteVisualFailure();
    return;
  }
  if (!after || after->content.content != content || after->cap.session) return;  // the session ends here
  ViewCaptureState& cap = after->cap;
  cap.session = session;
  cap.session_serial = serial;
  cap.captured_view = content;
  cap.session_ended = false;
  cap.capture_from_visual = visual;
  cap.frames_held = hold_all_frames_;
  cap.hold_until = 0;
  cap.supervision.restart_budget = 0;
  cap.capture_start_tick = NonZeroTick(clock_.TickMs());
  LogView(visual ? "GraphicsCapture started from visual" : "GraphicsCapture started from window", view_id);
}

SupervisionFacts CaptureService::FactsOf(const Slot& s, uint32_t now) const {
  const ViewCaptureState& cap = s.cap;
  SupervisionFacts f;
  f.now = now;
  f.wanted = IsCaptureWanted(s);
  f.visible = s.view.visible;
  f.content = s.content.content;
  f.has_session = cap.session != nullptr;
  f.session_ended = cap.session_ended;
  f.from_visual = cap.capture_from_visual;
  f.capture_start_tick = cap.capture_start_tick;
  f.frames_held = cap.frames_held;
  f.got_frame = cap.got_frame;
  f.analysis_in_flight = cap.AnalysisInFlight();
  f.has_content = cap.has_content;
  f.has_pipeline = cap.pipeline != nullptr;
  f.size_mismatch_since = cap.size_mismatch_since;
  f.resize_settling = cap.resize_settling;
  return f;
}

void CaptureService::Supervise(Slot& s, uint32_t now, Action& action) {
  ViewCaptureState& cap = s.cap;
  const uint32_t id = s.view.view_id;
  if (s.view.kind != host::ViewKind::kWeb || s.content.failed || !cap.texture) return;

  // Held frames come out when their time is up (or at once in live mode).
  if (cap.frames_held && !hold_all_frames_ &&
      (cap.live_mode || cap.hold_until == 0 || TickDiff(now, cap.hold_until) >= 0)) {
    ReleaseHeldFrames(s, true);
  }

  // What the view's session does: decided over a copy of its facts, carried out here.
  const SupervisionDecision d = capture::Supervise(FactsOf(s, now), cap.supervision);
  cap.supervision = d.next;
  if (d.force_analysis) HitMaskPublisher::ForceNext(cap);
  if (d.log_expecting) WorkerLogView("Visual capture expecting frame", id);
  if (d.mismatch_rebuild) {
    overlay_.QueueWorkerLog(StringPrintf(
        "capture size still mismatched, rebuild visual session, view_id=%u, requested=%dx%d, captured=%dx%d", id,
        s.view.width, s.view.height, cap.mismatch_width, cap.mismatch_height));
    cap.size_mismatch_since = 0;
  }
  if (d.retry_visual) {
    cap.got_frame = false;
    cap.has_content = false;
    cap.first_frame_noted = false;
  }
  using Session = SupervisionDecision::Session;
  if (d.rebuild_line != nullptr) action.logs.push_back(ViewForm(d.rebuild_line, id));
  if (d.session == Session::kStop || d.session == Session::kRebuild) Stop(s, action);
  if (d.session == Session::kStart || d.session == Session::kRebuild) {
    action.start = true;
    action.content = s.content.content;
  }
  if (d.kick) action.kick = cap.session;

  // Before any content: the texture is cleared once (retried while the overlay holds it).
  if ((!cap.has_content && !cap.blank_cleared) || cap.clear_pending) {
    if (Clear(s)) cap.blank_cleared = true;
  }

  // A view without a frame yet would be asked for a preview at its frame interval; every view here
  // is hosted by a composition controller, which gives none, so the preview is switched off once.
  if (s.content.content && !cap.got_frame && !cap.preview_disabled &&
      static_cast<uint32_t>(now - cap.last_preview_tick) >= IntervalMs(s.view.frame_rate)) {
    cap.last_preview_tick = now;
    cap.preview_disabled = true;
    WorkerLogView("CapturePreview disabled on CompositionController", id);
  }
}

void CaptureService::Run(uint32_t view_id, Action& action) {
  action.done.clear();
  let_go_.clear();
  action.stop.clear();  // sessions end here
  for (const std::string& line : action.logs) overlay_.SendLog(line);
  action.logs.clear();
  if (action.announce) {
    overlay_.SendToOverlay(host::kSharedTextureReady, host::Encode(*action.announce));
    LogView("CreateSharedTexture ready", view_id);
  }
  if (action.kick) action.kick->Kick();
  action.kick.reset();
  if (action.start) StartViewCapture(view_id, action.content);
  action.start = false;
  action.content = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Hit masks

bool CaptureService::SetHitTest(uint32_t view_id, bool on, int32_t threshold) {
  main_thread_.CheckOnMainThread();
  std::optional<Slot> s = SlotOf(view_id);
  if (!s) return false;
  const bool changed = masks_.SetHitTest(s->view, s->cap, on, threshold, &let_go_);
  let_go_.clear();
  overlay_.FlushWorkerLogs();
  return changed;
}

void CaptureService::ServiceCaptures() {
  main_thread_.CheckOnMainThread();
  const uint32_t now = clock_.TickMs();
  for (uint32_t id : states_.Ids()) {
    std::optional<Slot> s = SlotOf(id);
    if (!s) continue;
    Action action;
    ViewCaptureState& cap = s->cap;
    if (cap.parked_frame && !cap.frames_held) {
      std::shared_ptr<DecodedFrame> parked = std::move(cap.parked_frame);
      if (ProcessCapturedFrame(*s, parked) == CopyOutcome::kParked && !cap.parked_frame) {
        cap.parked_frame = std::move(parked);
      } else if (parked) {
        action.done.push_back(std::move(parked));
      }
    }
    PublishViewPipeline(*s, now);
    Supervise(*s, now, action);
    Run(id, action);
    overlay_.FlushWorkerLogs();
  }
  masks_.SendHeartbeat(now, views_, states_);
}

}  // namespace vyo::capture
