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

constexpr int32_t kRestartBudget = 40;
constexpr uint32_t kRestartSpacingMs = 500;
constexpr int32_t kMaxKicks = 20;
constexpr uint32_t kKickSpacingMs = 200;
constexpr uint32_t kMaxHeldFrames = 3;
constexpr uint32_t kLiveModeTailMs = 3000;
constexpr uint32_t kFullCopyEveryMs = 999;

uint32_t NonZero(uint32_t tick) { return tick == 0 ? 1 : tick; }

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

CopyPlan PlanCopy(ViewCaptureState& cap, DirtyState& dirty, double zoom, uint32_t now, int32_t w, int32_t h) {
  CopyPlan plan;
  if (cap.full_until != 0 && TickDiff(now, cap.full_until) >= 0) {
    cap.full_until = 0;
    dirty.force_full = true;
  }
  // A view whose frames are analysed (its mask is built) takes whole frames here too: this plain
  // copy serves it only while its analysis is failing, and the page's reports are ignored meanwhile.
  const bool full = cap.TakesWholeFrames() || dirty.force_full || !dirty.dirty_info_available ||
                    TickDiff(now, cap.last_full_tick) > static_cast<int32_t>(kFullCopyEveryMs) || zoom < 0.99 ||
                    zoom > 1.01;
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
                               ICaptureDelegate& delegate)
    : clock_(clock),
      settings_(settings),
      views_(views),
      overlay_(overlay),
      main_thread_(main_thread),
      link_(std::make_shared<std::atomic<CaptureService*>>(this)),
      delegate_(delegate) {}

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

void CaptureService::SetEngines(platform::GpuDevice* gpu, std::unique_ptr<ICapturePort> port, ImageDecodeFn decode) {
  gpu_ = gpu;
  port_ = std::move(port);
  decode_ = std::move(decode);
}

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
    for (auto& f : cap.held_frames) frames.push_back(std::move(f));
    cap.held_frames.clear();
    if (cap.parked_frame) frames.push_back(std::move(cap.parked_frame));
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
  CheckNoRegistryLock("create a texture");
  ViewCaptureState& cap = s.cap;
  cap.texture.reset();
  cap.dirty_map.reset();
  if (gpu_ == nullptr || s.view.width < 1 || s.view.height < 1) return false;
  std::unique_ptr<platform::SharedTexture> texture =
      gpu_->CreateSharedTexture(static_cast<uint32_t>(s.view.width), static_cast<uint32_t>(s.view.height));
  if (!texture) return false;  // no texture, no message: supervision leaves the view alone
  cap.texture = std::move(texture);
  if (!pipe_name_.empty()) {
    cap.dirty_map = platform::SharedMemory::Create(host::DirtyMapName(pipe_name_, s.view.view_id), host::kDirtyMapSize);
    if (cap.dirty_map) host::ResetDirtyMap(cap.dirty_map->data());
  }
  s.cap.dirty.force_full = true;
  cap.blank_cleared = false;
  cap.clear_pending = false;
  EnsureHitMask(s);
  announce->view_id = s.view.view_id;
  announce->width = cap.texture->Width();
  announce->height = cap.texture->Height();
  announce->format = host::kTextureFormatBgra;
  announce->shared_handle = cap.texture->SharedHandle();
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
  DestroyHitMask(s);
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
  bool restart = false;
  {
    std::optional<Slot> s = SlotOf(view_id);
    if (!s) return;
    ViewCaptureState& cap = s->cap;
    cap.health.NoteActivity(now);
    host::SharedTextureReadyMsg announce;
    if (CreateTexture(*s, &announce)) action.announce = announce;
    ForgetReports(cap.dirty);
    cap.mismatch_logged = false;
    cap.size_mismatch_since = 0;
    cap.mismatch_width = cap.mismatch_height = 0;
    cap.got_frame = false;
    cap.health.NoteExpectFrame(now);
    cap.pacer.Reset();
    if (cap.parked_frame) action.done.push_back(std::move(cap.parked_frame));
    cap.restart_budget = kRestartBudget;
    cap.last_restart_tick = 0;
    cap.resize_settling = true;
    cap.last_kick_tick = 0;
    cap.kick_count = 0;
    // The session captures at the view's size: a new one at the new size (the frame pool made
    // again), or none when capture is not wanted.
    const bool had_session = cap.session != nullptr;
    Stop(*s, action);
    restart = had_session && IsCaptureWanted(*s);
    if (restart) {
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
  CheckNoRegistryLock("fill a texture");
  ViewCaptureState* cap = states_.Find(view_id);
  if (cap == nullptr || !cap->texture) return FillResult::kNoTexture;
  if (!cap->texture->AcquireSync(host::kHostKey, 0)) return FillResult::kBusy;
  FillResult result = FillResult::kCopyFailed;
  if (cap->texture->CopyRegion(rows, stride, 0, 0, width, height)) {
    if (cap->dirty_map) host::PublishDirty(cap->dirty_map->data(), true, 0, 0, width, height);
    cap->has_content = true;
    result = FillResult::kFilled;
  }
  cap->texture->ReleaseSync(result == FillResult::kFilled ? host::kOverlayKey : host::kHostKey);
  return result;
}

bool CaptureService::Clear(Slot& s) {
  ViewCaptureState& cap = s.cap;
  if (!cap.texture) return false;
  if (!cap.texture->AcquireSync(host::kHostKey, 0)) {
    cap.clear_pending = true;  // retried by supervision until it happens
    return false;
  }
  const bool cleared = cap.texture->Clear();
  if (cleared) {
    const uint32_t seq = cap.dirty_map ? host::PublishDirty(cap.dirty_map->data(), true, 0, 0, s.view.width, s.view.height)
                                       : cap.hit_seq + 1;
    if (cap.hit_mask_ready) {
      host::WriteZeroHitMask(cap.hit_mask->data(), static_cast<uint32_t>(cap.hit_grid.cells()),
                             static_cast<uint32_t>(cap.hit_alpha_threshold), seq);
      cap.hit_seq = seq;
      if (cap.pipeline) cap.pipeline->ForceNext();
    }
  }
  cap.texture->ReleaseSync(host::kOverlayKey);
  if (!cleared) return false;
  cap.clear_pending = false;
  s.cap.dirty.force_full = true;
  return true;
}

void CaptureService::ClearSharedTexture(uint32_t view_id) {
  if (std::optional<Slot> s = SlotOf(view_id)) Clear(*s);
}

// ---------------------------------------------------------------------------------------------
// Frames

CopyOutcome CaptureService::ProcessCapturedFrame(Slot& s, std::shared_ptr<DecodedFrame>& taken) {
  CheckNoRegistryLock("copy a frame");
  ViewCaptureState& cap = s.cap;
  DecodedFrame& frame = *taken;
  const uint32_t now = clock_.TickMs();
  // Frames of another size are not published; a lasting mismatch is rebuilt by supervision.
  if (frame.width != s.view.width || frame.height != s.view.height) {
    if (cap.size_mismatch_since == 0) cap.size_mismatch_since = NonZero(now);
    if (!cap.mismatch_logged || frame.width != cap.mismatch_width || frame.height != cap.mismatch_height) {
      cap.mismatch_logged = true;
      cap.mismatch_width = frame.width;
      cap.mismatch_height = frame.height;
      overlay_.QueueWorkerLog(StringPrintf(
          "[DIAG] capture size mismatch, view_id=%u, requested=%dx%d, captured=%dx%d", s.view.view_id, s.view.width,
          s.view.height, frame.width, frame.height));
    }
    return CopyOutcome::kSkipped;
  }
  cap.size_mismatch_since = 0;
  cap.mismatch_logged = false;
  if (!cap.texture) return CopyOutcome::kSkipped;
  // A view with a hit mask takes the analysis pipeline: the analysis decides the copy, the page's
  // reports do not. While its pipeline is failing, frames take the plain copy (whole frames).
  if (cap.hit_mask_ready && cap.pipeline && cap.pipeline->usable()) {
    cap.pipeline->TakeFrame(std::move(taken));
    PublishViewPipeline(s, now);
    return CopyOutcome::kTaken;
  }
  // A frame the pacer accepted and the keyed mutex then refused does not wait for another slot.
  if (!cap.pacer.Accept(s.view.frame_rate, clock_.PerfCounter(), frame.paced)) return CopyOutcome::kParked;
  const int32_t w = std::min<int32_t>(s.view.width, static_cast<int32_t>(cap.texture->Width()));
  const int32_t h = std::min<int32_t>(s.view.height, static_cast<int32_t>(cap.texture->Height()));
  if (w < 1 || h < 1) return CopyOutcome::kSkipped;
  const CopyPlan plan = PlanCopy(cap, s.cap.dirty, s.content.zoom, now, w, h);
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
  NotePublished(s, plan, frame.from_visual, now);
  return CopyOutcome::kPublished;
}

void CaptureService::NotePublished(Slot& s, const CopyPlan& plan, bool from_visual, uint32_t now) {
  ViewCaptureState& cap = s.cap;
  cap.got_frame = true;
  cap.has_content = true;
  cap.clear_pending = false;
  cap.health.NoteFrame(from_visual, now);
  CommitCopy(cap, s.cap.dirty, plan, now);
  if (plan.kind == CopyPlan::kFull && cap.resize_settling) {
    if (cap.kick_count < 1) {
      s.cap.dirty.force_full = true;  // stay settling until a kick has been sent
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
      if (cap.held_frames.size() < kMaxHeldFrames) {
        cap.held_frames.push_back(std::move(frame));
      } else {
        let_go_.push_back(std::move(frame));
      }
    } else {
      const CopyOutcome outcome = ProcessCapturedFrame(*s, frame);
      if (outcome == CopyOutcome::kParked) {
        if (cap.parked_frame) let_go_.push_back(std::move(cap.parked_frame));
        cap.parked_frame = std::move(frame);
      } else if (frame) {
        let_go_.push_back(std::move(frame));
      }
    }
  }
  let_go_.clear();  // back to the pool
  overlay_.FlushWorkerLogs();
}

void CaptureService::ReleaseHeldFrames(Slot& s, bool process_newest) {
  ViewCaptureState& cap = s.cap;
  cap.frames_held = false;
  cap.hold_until = 0;
  if (cap.held_frames.empty()) return;
  std::shared_ptr<DecodedFrame> newest = std::move(cap.held_frames.back());
  cap.held_frames.clear();  // the older ones go back to the pool
  if (!process_newest) return;
  // The newest held frame is what the view shows now: publish it, or park it when refused.
  if (ProcessCapturedFrame(s, newest) == CopyOutcome::kParked) {
    cap.parked_frame = std::move(newest);
  } else if (newest) {
    let_go_.push_back(std::move(newest));
  }
}

void CaptureService::SetHoldAllFrames(bool on) {
  if (hold_all_frames_ == on) return;
  hold_all_frames_ = on;
  for (auto& [id, cap] : states_) {
    if (on) {
      cap.frames_held = true;
      cap.hold_until = 0;
    } else if (std::optional<Slot> s = SlotOf(id)) {
      ReleaseHeldFrames(*s, true);
    }
  }
  let_go_.clear();
}

void CaptureService::HoldViewFrames(uint32_t view_id, uint32_t until) {
  if (ViewCaptureState* cap = states_.Find(view_id)) {
    cap->frames_held = true;
    cap->hold_until = until;
  }
}

// ---------------------------------------------------------------------------------------------
// Modes

void CaptureService::ExpectVisualFrame(Slot& s, uint32_t now, Action& action) {
  ViewCaptureState& cap = s.cap;
  if (cap.got_frame) return;
  if (cap.health.NoteExpectFrame(now)) {
    WorkerLogView("Visual capture expecting frame", s.view.view_id);
  } else if (cap.health.rebuilds != 0) {
    return;
  }
  if (cap.session && cap.capture_from_visual && cap.health.TryImmediateRebuild(now)) {
    action.logs.push_back(ViewForm("Visual capture produced no frame, rebuild session", s.view.view_id));
    Stop(s, action);
    cap.restart_budget = kRestartBudget;
    cap.last_restart_tick = 0;
    action.start = IsCaptureWanted(s);
    action.content = s.content.content;
  }
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
    cap.health.NoteActivity(now);
    ExpectVisualFrame(*s, now, action);
    ForgetReports(dirty);
    if (cap.frames_held && !hold_all_frames_) ReleaseHeldFrames(*s, true);
  } else {
    // Full copies go on for a while after live mode ends.
    ExtendFullFrames(cap, dirty, NonZero(now + kLiveModeTailMs));
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
    ExtendFullFrames(cap, cap.dirty, NonZero(now + static_cast<uint32_t>(ms)));
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
  for (auto& f : cap.held_frames) action.done.push_back(std::move(f));
  cap.held_frames.clear();
  if (cap.parked_frame) action.done.push_back(std::move(cap.parked_frame));
  cap.pacer.Reset();
  if (cap.pipeline) {
    cap.pipeline->SoftReset();  // frames of the stopped session go; the device objects stay
    cap.pipeline->TakeReleased(&action.done);
  }
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
  cap->health.NoteActivity(clock_.TickMs());
  // The new document reports its own changes, or not: what the old one reported is forgotten.
  cap->dirty = DirtyState{};
  cap->dirty.force_full = true;
  if (cap->pipeline) {
    cap->pipeline->SoftReset();
    cap->pipeline->TakeReleased(&let_go_);
  }
  let_go_.clear();
}

void CaptureService::OnViewClosing(uint32_t view_id) {
  std::optional<Slot> s = SlotOf(view_id);
  if (!s) return;
  Action action;
  Stop(*s, action);
  // The texture and DirtyMap go (their names are unlinked); an overlay that mapped them keeps its
  // mapping.
  s->cap.texture.reset();
  s->cap.dirty_map.reset();
  DestroyHitMask(*s);
  Run(view_id, action);
}

void CaptureService::StartViewCapture(uint32_t view_id, const void* content) {
  if (!port_ || content == nullptr) return;
  std::optional<Slot> s = SlotOf(view_id);
  if (!s || s->content.content != content || !IsCaptureWanted(*s)) return;
  const int32_t width = s->view.width, height = s->view.height;
  const uint32_t rate = s->view.frame_rate;
  const bool visual = s->cap.health.fell_back == 0;
  if (!port_->IsSupported(view_id)) {
    s->cap.restart_budget = 0;
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
    if (visual && after) after->cap.health.NoteVisualFailure();
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
  cap.restart_budget = 0;
  cap.capture_start_tick = NonZero(clock_.TickMs());
  LogView(visual ? "GraphicsCapture started from visual" : "GraphicsCapture started from window", view_id);
}

// Whether the view's session starts, stops or is rebuilt (done by Run, at the end of the step).
void CaptureService::DecideSession(Slot& s, uint32_t now, Action& action) {
  const uint32_t id = s.view.view_id;
  ViewCaptureState& cap = s.cap;
  if (IsCaptureWanted(s)) {
    const auto rebuild = [&](const char* line) {
      if (line != nullptr) action.logs.push_back(ViewForm(line, id));
      Stop(s, action);
      cap.restart_budget = kRestartBudget;
      cap.last_restart_tick = 0;
      action.start = true;
      action.content = s.content.content;
    };
    // A new web view (the first, or one made again) or a view shown again: capture it now.
    const bool shown = !cap.was_visible;
    cap.was_visible = true;
    if (shown && cap.pipeline) cap.pipeline->ForceNext();
    if (cap.seen_webview != s.content.content || shown) {
      cap.seen_webview = s.content.content;
      if (shown) {
        cap.health.NoteActivity(now);
        ExpectVisualFrame(s, now, action);
        if (action.start) return;
      }
      rebuild(nullptr);
      return;
    }
    // The source ended by itself (its page went away, the browser exited): capture again.
    if (cap.session && cap.session_ended) {
      rebuild("capture source ended, rebuild session");
      return;
    }
    if (cap.session && cap.capture_from_visual && cap.size_mismatch_since != 0 &&
        TickDiff(now, cap.size_mismatch_since) >= 500) {
      overlay_.QueueWorkerLog(StringPrintf(
          "capture size still mismatched, rebuild visual session, view_id=%u, requested=%dx%d, captured=%dx%d", id,
          s.view.width, s.view.height, cap.mismatch_width, cap.mismatch_height));
      cap.size_mismatch_since = 0;
      rebuild("Visual capture produced no frame, rebuild session");
      return;
    }
    HealthSnapshot snap;
    snap.now = now;
    snap.capture_start_tick = cap.capture_start_tick;
    snap.visual_possible = true;
    snap.active = cap.session != nullptr || cap.frames_held;
    snap.from_visual = cap.capture_from_visual;
    snap.has_frame = cap.got_frame || cap.AnalysisInFlight();
    snap.had_content = cap.has_content;
    snap.restart_pending = false;
    switch (cap.health.Evaluate(snap)) {
      case HealthVerdict::kRebuild:
        rebuild("Visual capture produced no frame, rebuild session");
        return;
      case HealthVerdict::kFallBack:
        rebuild("Visual capture produced no frame, fall back to window capture");
        return;
      case HealthVerdict::kRetryVisual:
        cap.got_frame = false;
        cap.has_content = false;
        cap.first_frame_noted = false;
        rebuild("Window capture ready, retry visual capture");
        return;
      case HealthVerdict::kNone:
        break;
    }
    if (!cap.session && !cap.frames_held && cap.restart_budget > 0 &&
        TickDiff(now, cap.last_restart_tick) >= static_cast<int32_t>(kRestartSpacingMs)) {
      cap.last_restart_tick = NonZero(now);
      cap.restart_budget -= 1;
      action.start = true;
      action.content = s.content.content;
    }
  } else {
    if (!s.view.visible) cap.was_visible = false;
    if (cap.session) Stop(s, action);
  }

}

void CaptureService::Supervise(Slot& s, uint32_t now, Action& action) {
  ViewCaptureState& cap = s.cap;
  if (s.view.kind != host::ViewKind::kWeb || s.content.failed || !cap.texture) return;

  // Held frames come out when their time is up (or at once in live mode).
  if (cap.frames_held && !hold_all_frames_ &&
      (cap.live_mode || cap.hold_until == 0 || TickDiff(now, cap.hold_until) >= 0)) {
    ReleaseHeldFrames(s, true);
  }

  DecideSession(s, now, action);

  // A resized view is kicked until a full frame of the new size is published.
  if (cap.resize_settling && cap.session && cap.kick_count < kMaxKicks &&
      (cap.last_kick_tick == 0 || TickDiff(now, cap.last_kick_tick) >= static_cast<int32_t>(kKickSpacingMs))) {
    action.kick = cap.session;
    cap.kick_count += 1;
    cap.last_kick_tick = NonZero(now);
  }

  // Before any content: the texture is cleared once (retried while the overlay holds it).
  if ((!cap.has_content && !cap.blank_cleared) || cap.clear_pending) {
    if (Clear(s)) cap.blank_cleared = true;
  }

  // A view without a frame yet would be asked for a preview at its frame interval; every view here
  // is hosted by a composition controller, which gives none, so the preview is switched off once.
  const uint32_t interval = s.view.frame_rate == 0 ? 1000 : std::max(1u, 1000 / std::min(s.view.frame_rate, 60u));
  if (s.content.content && !cap.got_frame && !cap.preview_disabled &&
      static_cast<uint32_t>(now - cap.last_preview_tick) >= interval) {
    cap.last_preview_tick = now;
    cap.preview_disabled = true;
    WorkerLogView("CapturePreview disabled on CompositionController", s.view.view_id);
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

bool CaptureService::NeedsHitMask(const host::ViewFacts& view, const ViewCaptureState& cap) const {
  return view.kind == host::ViewKind::kWeb && cap.texture != nullptr && (settings_.windowed || cap.hit_test);
}

void CaptureService::DestroyHitMask(Slot& s) {
  ViewCaptureState& cap = s.cap;
  cap.hit_mask.reset();  // the name goes with it; an overlay that mapped it keeps its mapping
  cap.hit_grid = host::HitGrid{};
  cap.hit_mask_ready = false;
  cap.hit_seq = 0;
  if (cap.pipeline) {
    cap.pipeline->Reset();
    cap.pipeline->TakeReleased(&let_go_);
  }
  cap.pipeline_backoff = RetryBackoff{};
}

void CaptureService::EnsureHitMask(Slot& s) {
  ViewCaptureState& cap = s.cap;
  if (!NeedsHitMask(s.view, s.cap)) {
    DestroyHitMask(s);
    return;
  }
  const host::HitGrid grid = host::GridFor(s.view.width, s.view.height);
  if (!grid.FitsBlock()) {
    // Even the largest cell gives more cells than the block holds: no mask rather than an overflow.
    DestroyHitMask(s);
    if (!cap.hit_grid_refused) {
      cap.hit_grid_refused = true;
      overlay_.QueueWorkerLog(StringPrintf("hit mask grid too large, view_id=%u, grid=%ux%u, cell=%u", s.view.view_id,
                                           grid.cols, grid.rows, grid.cell));
    }
    return;
  }
  const uint32_t threshold = static_cast<uint32_t>(cap.hit_alpha_threshold);
  const uint64_t needed = grid.cells() * 2 + host::kHitMaskHeaderSize;
  if (!cap.hit_mask) {
    cap.hit_mask = platform::SharedMemory::Create(host::HitMaskName(pipe_name_, s.view.view_id), host::kHitMaskBlockSize);
    if (!cap.hit_mask) {
      DestroyHitMask(s);
      overlay_.QueueWorkerLog(StringPrintf(
          "hit mask shared memory create failed, view_id=%u, alloc=%zu, needed=%llu, map=0, map_err=0, view_err=0",
          s.view.view_id, host::kHitMaskBlockSize, static_cast<unsigned long long>(needed)));
      return;
    }
    overlay_.QueueWorkerLog(StringPrintf("hit mask created, view_id=%u, grid=%ux%u, cell=%u, threshold=%u, alloc=%zu",
                                         s.view.view_id, grid.cols, grid.rows, grid.cell, threshold,
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
  if (cap.pipeline->Configure(grid, s.view.width, s.view.height)) {
    cap.pipeline->ForceNext();
  } else {
    WorkerLogView("capture frame pipeline configure failed", s.view.view_id);
    NotePipelineFailure(s, clock_.TickMs());
  }
  cap.pipeline->TakeReleased(&let_go_);
}

bool CaptureService::SetHitTest(uint32_t view_id, bool on, int32_t threshold) {
  main_thread_.CheckOnMainThread();
  std::optional<Slot> s = SlotOf(view_id);
  if (!s) return false;
  ViewCaptureState& cap = s->cap;
  const bool changed = cap.hit_test != on || cap.hit_alpha_threshold != threshold;
  cap.hit_test = on;
  cap.hit_alpha_threshold = threshold;
  if (!NeedsHitMask(s->view, s->cap)) {
    DestroyHitMask(*s);
  } else if (cap.hit_mask_ready) {
    host::SetHitMaskThreshold(cap.hit_mask->data(), static_cast<uint32_t>(cap.hit_alpha_threshold));
  } else {
    EnsureHitMask(*s);
  }
  let_go_.clear();
  overlay_.FlushWorkerLogs();
  return changed;
}

void CaptureService::NotePipelineFailure(Slot& s, uint32_t now) {
  ViewCaptureState& cap = s.cap;
  s.cap.dirty.force_full = true;  // the next publication is whole
  if (cap.pipeline_backoff.NoteFailure(now)) {
    overlay_.QueueWorkerLog(StringPrintf("capture frame analysis keeps failing, view_id=%u, failures=%u, retry_ms=%u",
                                         s.view.view_id, cap.pipeline_backoff.failures, cap.pipeline_backoff.interval));
  }
}

void CaptureService::RecoverPipeline(Slot& s, uint32_t now) {
  ViewCaptureState& cap = s.cap;
  if (!cap.pipeline_backoff.MayRetry(now)) return;
  // Backing off, the attempts are not logged one by one: the back-off's start and end are.
  const bool quiet = cap.pipeline_backoff.backing_off();
  if (!quiet) WorkerLogView("capture frame analysis failed, reconfigure pipeline", s.view.view_id);
  if (cap.pipeline->Configure(cap.hit_grid, s.view.width, s.view.height)) {
    cap.pipeline->ForceNext();
    s.cap.dirty.force_full = true;
    return;
  }
  if (!quiet) WorkerLogView("capture frame analysis reconfigure failed", s.view.view_id);
  NotePipelineFailure(s, now);
}

void CaptureService::PublishViewPipeline(Slot& s, uint32_t now) {
  CheckNoRegistryLock("analyse a frame");
  ViewCaptureState& cap = s.cap;
  if (!cap.hit_mask_ready || !cap.pipeline || !cap.texture) return;
  AnalysisPipeline& pipeline = *cap.pipeline;
  if (!pipeline.usable()) {
    RecoverPipeline(s, now);
    pipeline.TakeReleased(&let_go_);
    return;
  }
  DirtyState& dirty = s.cap.dirty;
  if (cap.full_until != 0 && TickDiff(now, cap.full_until) >= 0) {
    cap.full_until = 0;
    dirty.force_full = true;
  }
  const double zoom = s.content.zoom;
  PipelineTarget target;
  // In windowed presentation the view is drawn from its window: only the mask is published.
  if (!settings_.windowed) {
    target.texture = cap.texture.get();
    target.dirty_map = cap.dirty_map ? cap.dirty_map->data() : nullptr;
  }
  target.hit_mask = cap.hit_mask->data();
  target.hit_seq = &cap.hit_seq;
  target.threshold = static_cast<uint32_t>(cap.hit_alpha_threshold);
  target.rate = s.view.frame_rate;
  target.force_full = cap.full_frame_mode || cap.live_mode || cap.full_until != 0 || cap.full_refresh ||
                      dirty.force_full || zoom < 0.99 || zoom > 1.01;
  target.perf_now = clock_.PerfCounter();
  target.now = now;
  const PipelineOutcome outcome = pipeline.Tick(target);
  pipeline.TakeReleased(&let_go_);
  if (outcome.kind == PipelineOutcome::kFailed) {
    NotePipelineFailure(s, now);
    return;
  }
  if (outcome.kind != PipelineOutcome::kPublished && outcome.kind != PipelineOutcome::kUnchanged) return;
  if (cap.pipeline_backoff.NoteSuccess()) {
    WorkerLogView("capture frame analysis recovered", s.view.view_id);
  }
  if (outcome.kind != PipelineOutcome::kPublished) return;
  CopyPlan plan;
  plan.kind = outcome.plan.kind == FrameAnalysis::Plan::kFull ? CopyPlan::kFull : CopyPlan::kPartial;
  plan.left = outcome.plan.left;
  plan.top = outcome.plan.top;
  plan.right = outcome.plan.right;
  plan.bottom = outcome.plan.bottom;
  NotePublished(s, plan, outcome.from_visual, now);
}

// Tells the overlay that every view needing a mask has one, at most every 100 ms.
void CaptureService::SendHitMaskHeartbeat(uint32_t now) {
  if (heartbeat_sent_ && TickDiff(now, last_heartbeat_tick_) <= 99) return;
  uint32_t count = 0;
  bool all_ready = true;
  for (const host::ViewFacts& view : views_.AllFacts()) {
    const ViewCaptureState* cap = states_.Find(view.view_id);
    if (cap == nullptr || !view.visible || !NeedsHitMask(view, *cap)) continue;
    ++count;
    all_ready = all_ready && cap->hit_mask_ready && cap->pipeline && cap->pipeline->usable();
  }
  if (!all_ready) return;
  heartbeat_sent_ = true;
  last_heartbeat_tick_ = now;
  overlay_.SendToOverlay(host::kHitMaskHeartbeat, host::Encode(host::HitMaskHeartbeatMsg{now, count, 100}));
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
  SendHitMaskHeartbeat(now);
}

}  // namespace vyo::capture
