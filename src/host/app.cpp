#include "host/app.h"

#include <algorithm>
#include <limits>

#include "base/text.h"
#include "base/log.h"
#include "host/protocol.h"
#include "qos/sink.h"

namespace vyo::host {
namespace {

int32_t ClampSide(int32_t v) { return std::clamp(v, 1, kMaxViewSide); }

}  // namespace

uint32_t WindowedFreezeMs(const std::optional<std::string>& value) {
  if (!value || value->empty() || value->size() > 31) return 0;
  const std::u16string wide = Utf8ToUtf16(*value);
  // Same conversion as a process id, but keeping the sign so that negatives give 0.
  size_t i = 0;
  while (i < wide.size() && (wide[i] == u' ' || (wide[i] >= u'\t' && wide[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < wide.size() && (wide[i] == u'+' || wide[i] == u'-')) negative = wide[i++] == u'-';
  uint64_t seconds = 0;
  for (; i < wide.size() && wide[i] >= u'0' && wide[i] <= u'9'; ++i) {
    seconds = std::min<uint64_t>(seconds * 10 + static_cast<uint64_t>(wide[i] - u'0'), 1ull << 40);
  }
  if (negative || seconds == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(seconds * 1000, std::numeric_limits<uint32_t>::max()));
}

WebViewHostApp::WebViewHostApp(platform::Clock& clock)
    : clock_(clock), heartbeat_(clock), app_link_(std::make_shared<WebViewHostApp*>(this)) {
  main_thread_id_ = std::this_thread::get_id();
  no_gpu_priority_ = platform::GetEnv("VYO_NO_GPU_PRIORITY").has_value();
  windowed_freeze_ms_ = WindowedFreezeMs(platform::GetEnv("VYO_WINDOWED_FREEZE_MASK"));
  qpc_frequency_ = clock_.PerfFrequency();
  start_tick_ = clock_.TickMs();
}

WebViewHostApp::~WebViewHostApp() {
  Shutdown();
  *app_link_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Initialisation and shutdown

bool WebViewHostApp::Initialise(const HostOptions& options) {
  shut_down_ = false;
  pipe_name_ = options.pipe_name;
  input_map_name_ = options.input_map_name;
  input_event_name_ = options.input_event_name;
  beat_map_name_ = options.beat_map_name;
  module_config_path_ = options.module_config_path;
  parent_pid_ = options.parent_pid;
  windowed_ = options.windowed;
  game_hwnd_ = options.game_hwnd;
  game_pid_ = options.game_pid;

  parent_process_ = platform::ProcessWatch::Open(parent_pid_);  // failure tolerated

  if (!platform::InitMainThreadApartment()) return false;
  com_initialized_ = true;
  main_thread_id_ = std::this_thread::get_id();

  gpu_device_ = platform::GpuDevice::Create();
  if (!gpu_device_) return false;

  if (platform::HasWindowSystem()) {
    host_window_ = platform::HostWindow::Create();
    if (!host_window_) return false;
  }

  main_wait_ = platform::MainThreadWait::Create();
  if (!main_wait_) return false;

  // The web runtime: its absence is reported to the overlay, and the host runs on without it.
  LoadWebView2Loader();

  if (!OpenInputChannels()) return false;
  heartbeat_.PublishStage(Stage::kInit, 0);
  if (!beat_map_name_.empty()) OpenBeatMap();

  if (!OpenPipe()) return false;
  writer_ = std::make_unique<PipeWriter>(pipe_.get(), &pipe_write_lock_, clock_);
  writer_->Start();
  FlushPendingEnvNotice();

  InitFramePacing();

  // No module host yet: the greeting announces no module entries.
  SendHostHello(0);

  SendLog(windowed_ ? "Init success, present=windowed" : "Init success, capture=window");
  running_ = true;
  return true;
}

bool WebViewHostApp::OpenInputChannels() {
  input_map_ = platform::SharedMemory::OpenExisting(input_map_name_, kInputRingSize, platform::MapAccess::kAll);
  if (!input_map_) return false;
  input_event_ = platform::NamedEvent::Open(input_event_name_);
  if (!input_event_) return false;
  input_ring_ = InputRing(input_map_->data());
  main_wait_->WatchInputEvent(input_event_.get());
  return true;
}

void WebViewHostApp::OpenBeatMap() {
  beat_map_ = platform::SharedMemory::OpenExisting(beat_map_name_, kBeatMapSize, platform::MapAccess::kWrite);
  heartbeat_.AttachBeatMap(beat_map_ ? beat_map_->data() : nullptr);
}

bool WebViewHostApp::OpenPipe() {
  pipe_ = platform::PipeServer::Create(pipe_name_);
  if (!pipe_) return false;
  // The wait for the overlay is bounded by the overlay's own life: if its process ends first,
  // nobody will ever connect.
  auto parent_gone = [](void* self) {
    auto* app = static_cast<WebViewHostApp*>(self);
    return app->parent_process_ != nullptr && app->parent_process_->HasExited();
  };
  if (!pipe_->WaitForClient(parent_gone, this)) return false;
  const uint32_t limit = pipe_->MaxMessageSize();
  if (limit < kMaxPayload) {
    max_payload_ = limit;
    HostLogf(LogLevel::kWarning, "pipe message limit below 1 MiB, limit=%u", limit);
  }
  main_wait_->WatchPipe(pipe_.get());
  return true;
}

void WebViewHostApp::AttachPipeForTesting(std::unique_ptr<platform::PipeServer> pipe) {
  pipe_ = std::move(pipe);
  writer_ = std::make_unique<PipeWriter>(pipe_.get(), &pipe_write_lock_, clock_);
  writer_->Start();
  FlushPendingEnvNotice();
}

void WebViewHostApp::FlushPendingEnvNotice() {
  if (!pending_env_notice_.pending) return;
  if (SendToOverlay(kEnvironmentResult, Encode(pending_env_notice_.message))) pending_env_notice_.pending = false;
}

void WebViewHostApp::InitFramePacing() {
  if (main_wait_->CreateFrameTimer()) {
    SendLog("Frame pacing: high-resolution waitable timer enabled");
  } else {
    SendLog("Frame pacing: fallback timer (timeBeginPeriod)");
  }
  pacer_ = std::make_unique<FramePacer>(clock_, main_wait_.get());
}

void WebViewHostApp::SendHostHello(uint32_t module_count) {
  SendToOverlay(kHostHello, Encode(HostHelloMsg{kProtocolVersion, kHostCapabilities, module_count}));
  SendLog(StringPrintf("HostHello sent, caps=0x%x, module_count=%u", kHostCapabilities, module_count));
}

void WebViewHostApp::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  running_ = false;
  if (main_wait_) main_wait_->CloseFrameTimer();
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    for (auto& [id, view] : views_) CloseViewLocked(view);
    views_.clear();
    primary_view_id_ = 0;
  }
  FlushWorkerLogs();
  StopPipeWriter();
  host_window_.reset();
  if (main_wait_) {
    main_wait_->WatchInputEvent(nullptr);
    main_wait_->WatchPipe(nullptr);
  }
  CloseChannels();
  {
    std::lock_guard<std::mutex> lock(pipe_write_lock_);
    if (pipe_) pipe_->Close();
  }
  writer_.reset();
  pipe_.reset();
  parent_process_.reset();
  // The environment goes after every view has closed; late answers find the link cleared.
  *app_link_ = nullptr;
  environment_.reset();
  web_runtime_.reset();
  gpu_device_.reset();
  main_wait_.reset();
  if (com_initialized_) platform::EndMainThreadApartment();
  com_initialized_ = false;
}

void WebViewHostApp::StopPipeWriter() {
  if (!writer_) return;
  // Give frames already queued (the last log lines, ViewDestroyed of a closing module) a short,
  // bounded chance to reach a healthy overlay before the queue is discarded.
  if (writer_->connected() && !writer_->write_failed()) writer_->WaitUntilIdle(200);
  writer_->Stop(2000, [] {
    // A write that cannot be cancelled would hang the exit; end the process instead.
    HostLogf(LogLevel::kError, "%s", "pipe writer did not stop, terminating");
    platform::TerminateCurrentProcess(kExitStall);
  });
}

void WebViewHostApp::CloseChannels() {
  heartbeat_.AttachBeatMap(nullptr);
  input_ring_ = InputRing(nullptr);
  input_map_.reset();
  input_event_.reset();
  beat_map_.reset();
}

// ---------------------------------------------------------------------------------------------
// Main loop

uint32_t WebViewHostApp::RunMainLoop() {
  while (running_) {
    if (writer_ && writer_->write_failed()) {
      if (writer_->peer_gone()) {
        // The overlay went away while we were writing: the same ending as a closed pipe.
        SendLog("Pipe closed by overlay, stopping helper");
        exit_reason_ = "pipe_closed";
      } else {
        exit_reason_ = "pipe_write_failed";
        exit_code_ = kExitPipeWriteFailed;
      }
      running_ = false;
      break;
    }
    if (parent_process_ && parent_process_->HasExited()) {
      SendLog("Parent process exited, stopping helper");
      exit_reason_ = "parent_exit";
      running_ = false;
      break;
    }

    heartbeat_.PublishStage(Stage::kPumpMessages, 0);
    if (main_wait_) main_wait_->PumpMessages(64, 4);

    heartbeat_.PublishStage(Stage::kPumpPipe, 0);
    PumpPipe();
    if (!running_) break;

    heartbeat_.PublishStage(Stage::kPumpInput, 0);
    if (input_ring_.mapped() && input_event_) {
      const uint32_t now = clock_.TickMs();
      if (input_stats_window_start_ == 0 || now - input_stats_window_start_ >= 5000) {
        input_stats_window_start_ = now == 0 ? 1 : now;
      }
      // A drain cut short goes on without waiting for another signal.
      const bool signalled = main_wait_ && main_wait_->ConsumeInputSignal();
      if (signalled || input_drain_pending_) DrainInputEvents();
    }

    heartbeat_.PublishStage(Stage::kPumpFrames, 0);
    PumpViewCreationRetries();
    FlushWorkerLogs();

    heartbeat_.PublishFrameTick();
    heartbeat_.PublishStage(Stage::kWaitFrame, 0);
    if (running_) PacedWait();
  }
  return exit_code_;
}

void WebViewHostApp::DrainInputEvents() {
  bool more = false;
  bool corrupt = false;
  input_ring_.Drain(
      [this](const InputRecord& record) {
        if (input_handler_) input_handler_(record);
      },
      &more, &corrupt);
  input_drain_pending_ = more;
  if (corrupt && !ring_corrupt_logged_) {
    ring_corrupt_logged_ = true;
    SendLog("input ring write index out of range, drain stopped");
  }
}

void WebViewHostApp::PacedWait() {
  if (!pacer_ || !main_wait_) return;
  // Pending work must not sleep: a cut-short drain or frames left in the pipe.
  if (input_drain_pending_) return;
  pacer_->WaitForNextFrame(
      TargetFrameRate(),
      [this] {
        std::lock_guard<std::recursive_mutex> lock(views_lock_);
        return std::any_of(views_.begin(), views_.end(),
                           [](const auto& e) { return e.second.kind != 1 && e.second.analysis_in_flight; });
      },
      [this] {
        heartbeat_.PublishStage(Stage::kPumpFrames, 0);
        heartbeat_.PublishFrameTick();
        heartbeat_.PublishStage(Stage::kWaitFrame, 0);
      });
}

uint32_t WebViewHostApp::TargetFrameRate() {
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  uint32_t rate = 0;
  for (const auto& [id, view] : views_) {
    if (view.kind != 1 && view.visible && !view.web_failed) rate = std::max(rate, view.frame_rate);
  }
  return rate == 0 ? 30 : rate;
}

void WebViewHostApp::PumpPipe() {
  if (!pipe_) return;
  const PumpResult result = PumpPipeFrames(*pipe_, clock_, max_payload_,
                                           [this](uint32_t type, const std::vector<uint8_t>& payload) {
                                             heartbeat_.PublishStage(Stage::kPumpPipe, static_cast<int32_t>(type));
                                             DispatchCommand(type, payload);
                                             return running_.load();
                                           });
  if (result.stop == PumpStop::kClosed) {
    SendLog("Pipe closed by overlay, stopping helper");
    exit_reason_ = "pipe_closed";
    running_ = false;
  } else if (result.stop == PumpStop::kMalformed) {
    running_ = false;
  }
}

// ---------------------------------------------------------------------------------------------
// Log path

bool WebViewHostApp::SendToOverlay(uint32_t type, const std::vector<uint8_t>& payload) {
  return writer_ != nullptr && writer_->Send(type, payload.data(), payload.size());
}

void WebViewHostApp::SendLog(const std::string& text) {
  if (writer_ && writer_->connected() &&
      writer_->Send(kHostLog, reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
    return;  // the writer puts it into the local log when it sends it
  }
  // Before the writer runs, after it stopped or failed, or when the queue refused the line.
  HostLogf(LogLevel::kTrace, "%s", text.c_str());
}

void WebViewHostApp::QueueWorkerLog(std::string text) {
  std::lock_guard<std::mutex> lock(worker_log_mutex_);
  if (worker_log_lines_.size() >= 128) return;
  worker_log_lines_.push_back(std::move(text));
}

void WebViewHostApp::FlushWorkerLogs() {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(worker_log_mutex_);
    lines.swap(worker_log_lines_);
  }
  for (const auto& line : lines) SendLog(line);
}

// ---------------------------------------------------------------------------------------------
// Commands

void WebViewHostApp::DispatchCommand(uint32_t type, const std::vector<uint8_t>& payload) {
  const std::optional<Command> decoded = DecodeCommand(type, payload.data(), payload.size());
  if (!decoded) return;
  // Commands whose operations belong to subsystems that are not part of this host yet (navigation,
  // page messages, focus, frame modes, telemetry, native buttons, modules, popups) are decoded and
  // then left alone, like unknown types.
  std::visit(
      [this](const auto& c) {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, ViewCreateCmd>) {
          EnsureView(c.view_id, c.width, c.height, c.visible, c.url);
          SetViewPosition(c.view_id, c.x, c.y);
        } else if constexpr (std::is_same_v<T, ViewDestroyCmd>) {
          DestroyView(c.view_id, true);
        } else if constexpr (std::is_same_v<T, ViewSetRectCmd>) {
          EnsureView(c.view_id, c.width, c.height, true, u"", true);
          SetViewPosition(c.view_id, c.x, c.y);
        } else if constexpr (std::is_same_v<T, ViewNavigateCmd>) {
          NavigateView(c.view_id, c.url);
        } else if constexpr (std::is_same_v<T, ViewPostMessageCmd>) {
          PostWebMessageToView(c.view_id, c.text);
        } else if constexpr (std::is_same_v<T, ViewSetVisibleCmd>) {
          SetViewVisible(c.view_id, c.visible);
        } else if constexpr (std::is_same_v<T, ViewSetFrameRateCmd>) {
          ApplyFrameRate(c.view_id, c.fps);
        } else if constexpr (std::is_same_v<T, ViewSetBackgroundCmd>) {
          SetViewBackgroundColor(c.view_id, c.argb);
        } else if constexpr (std::is_same_v<T, SurfaceInfoCmd>) {
          ApplySurfaceInfo(c.width, c.height);
        } else if constexpr (std::is_same_v<T, SetPresentationModeCmd>) {
          ApplyPresentationMode(c);
        } else if constexpr (std::is_same_v<T, ViewSetZOrderCmd>) {
          ApplyZOrder(c.view_id, c.z);
        } else if constexpr (std::is_same_v<T, TelemetryContextCmd>) {
          qos::QosContext::Instance().SetBaseInfo(c.text);
        } else if constexpr (std::is_same_v<T, TelemetryUploadCmd>) {
          if (qos::QosHttpSink* sink = qos::ActiveHttpSink()) {
            sink->Submit(std::string(c.bytes.begin(), c.bytes.end()));
          }
        }
      },
      *decoded);
}

void WebViewHostApp::ApplySurfaceInfo(uint32_t width, uint32_t height) {
  {
    std::lock_guard<std::mutex> lock(surface_mutex_);
    if (width == 0 || height == 0 || (width == surface_width_ && height == surface_height_)) return;
    surface_width_ = width;
    surface_height_ = height;
  }
  SendLog(StringPrintf("SurfaceInfo %ux%u", width, height));
}

void WebViewHostApp::ApplyPresentationMode(const SetPresentationModeCmd& c) {
  const uint32_t cmdline_mode = windowed_ ? 1 : 0;
  SendLog(StringPrintf("SetPresentationMode mode=%u, graphics_api=%u, game_hwnd=%llu, game_pid=%u, cmdline_mode=%u",
                       c.mode, c.graphics_api, static_cast<unsigned long long>(c.game_hwnd), c.game_pid,
                       cmdline_mode));
  if (c.mode != cmdline_mode) {
    HostLogf(LogLevel::kError, "presentation mode mismatch, cmdline=%u, message=%u", cmdline_mode, c.mode);
  }
}

void WebViewHostApp::ApplyFrameRate(uint32_t view_id, uint32_t rate) {
  rate = std::clamp<uint32_t>(rate, 1, 60);
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    if (ViewState* view = FindViewLocked(view_id)) view->frame_rate = rate;
  }
  SendLog(StringPrintf("SetViewFrameRate, view_id=%u, frame_rate=%u", view_id, rate));
}

void WebViewHostApp::ApplyZOrder(uint32_t view_id, int32_t z) {
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  if (ViewState* view = FindViewLocked(view_id); view != nullptr && view->z_order != z) view->z_order = z;
}

// ---------------------------------------------------------------------------------------------
// Registry

ViewState* WebViewHostApp::FindViewLocked(uint32_t view_id) {
  auto it = views_.find(view_id);
  return it == views_.end() ? nullptr : &it->second;
}

ViewState& WebViewHostApp::GetOrCreateViewLocked(uint32_t view_id) {
  auto [it, inserted] = views_.try_emplace(view_id);
  if (inserted) it->second.view_id = view_id;
  return it->second;
}

size_t WebViewHostApp::view_count() {
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  return views_.size();
}

std::optional<ViewState> WebViewHostApp::SnapshotView(uint32_t view_id) {
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  if (const ViewState* view = FindViewLocked(view_id)) return *view;
  return std::nullopt;
}

bool WebViewHostApp::IsExtraWebView(const ViewState& view) const {
  return view.kind == 0 && primary_view_id_ != 0 && view.view_id != 0 && view.view_id != primary_view_id_;
}

void WebViewHostApp::EnsureView(uint32_t view_id, int32_t width, int32_t height, bool visible,
                                const std::u16string& url, bool keep_visibility) {
  const uint32_t start = clock_.TickMs();
  bool created = false;
  bool surface_missing = false;
  int32_t final_width = 0, final_height = 0;
  uint32_t count_now = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    const bool existed = views_.count(view_id) != 0;
    ViewState& view = GetOrCreateViewLocked(view_id);
    if (view.kind == 1) return;
    if (view.kind == 0 && primary_view_id_ == 0) primary_view_id_ = view_id;
    width = ClampSide(width);
    height = ClampSide(height);
    const bool size_changed = view.width != width || view.height != height;
    const bool needs_create = !view.has_surface || size_changed;
    if (needs_create && !(view.webview && !view.web_failed)) {
      CloseViewLocked(view);
      view.view_id = view_id;
      view.width = width;
      view.height = height;
      // Re-created by a rectangle change, an existing view keeps its stored visibility: resizing a
      // hidden view never reveals it.
      if (!(keep_visibility && existed)) view.visible = visible;
      view.web_failed = false;
      if (!url.empty()) view.url = url;
      view.created_tick = clock_.TickMs();
      if (platform::HasWindowSystem() && !windowed_) {
        // The view's own off-screen window, which will host its visual tree and controller.
        // Without composition the window itself is captured, so it keeps ordinary styles.
        view.window = platform::HostWindow::CreateViewWindow(width, height, /*tool_window=*/false);
        view.owns_window = true;
        view.view_window = view.window ? view.window->Handle() : 0;
      }
      view.has_surface = true;
      created = true;
      // No shared texture is published yet: every view reports its texture as missing.
      surface_missing = true;
      final_width = width;
      final_height = height;
      count_now = static_cast<uint32_t>(views_.size());
    } else {
      if (size_changed) {
        view.width = width;
        view.height = height;
        if (view.window) view.window->Resize(width, height);
        if (view.webview) {
          view.webview->SetBounds(width, height);
          ApplyZoomFactorLocked(view);
        }
      }
      if (!url.empty()) view.url = url;
    }
  }
  if (created) {
    ++views_created_;
    peak_view_count_ = std::max(peak_view_count_, count_now);
    qos::Report(40, {surface_missing ? 1 : 0, static_cast<int32_t>(clock_.TickMs() - start),
                     static_cast<int32_t>(view_id), final_width, final_height});
    EnsureWebView(view_id);
  }
}

void WebViewHostApp::SetViewPosition(uint32_t view_id, int32_t x, int32_t y) {
  if (!windowed_) return;  // the overlay places textures itself
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  if (ViewState* view = FindViewLocked(view_id)) {
    view->x = x;
    view->y = y;
  }
}

void WebViewHostApp::CloseViewLocked(ViewState& view) {
  ReleaseWebObjectsLocked(view);
  // A new incarnation: answers to requests of the old one can never attach to it.
  ++view.creation_epoch;
  view.creating = false;
  view.retry_left = 8;
  view.last_failure_tick = 0;
  view.last_create_hr = 0;
  view.has_surface = false;
  view.window.reset();
  view.view_window = 0;
}

void WebViewHostApp::DestroyView(uint32_t view_id, bool /*notify_modules*/) {
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    if (primary_view_id_ == view_id) primary_view_id_ = 0;
    auto it = views_.find(view_id);
    if (it == views_.end()) return;
    CloseViewLocked(it->second);
    views_.erase(it);
  }
  // The view's page state goes with it (after the lock: these may notify the overlay).
  input_focus_.ClearInputFocus(view_id);
  selection_store_.Clear(view_id);
}

void WebViewHostApp::SetViewVisible(uint32_t view_id, bool visible) {
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  if (ViewState* view = FindViewLocked(view_id)) view->visible = visible;
}

// ---------------------------------------------------------------------------------------------
// Services for modules and popups

bool WebViewHostApp::OnMainThread() const { return std::this_thread::get_id() == main_thread_id_; }

void WebViewHostApp::RunOnMain(std::function<void()> task) {
  if (OnMainThread() || !main_wait_) {
    task();
  } else {
    main_wait_->Post(std::move(task));
  }
}

void WebViewHostApp::NotifyViewChanged(const ViewChangedMsg& msg) { SendToOverlay(kViewChanged, Encode(msg)); }

bool WebViewHostApp::CreateView(uint32_t view_id, uint32_t owner_module, const char16_t* url, int32_t x, int32_t y,
                                int32_t width, int32_t height, bool visible) {
  ViewCreatedMsg msg{view_id, owner_module, 0, x, y, width, height, visible, 0, true, false};
  if (!SendToOverlay(kViewCreated, Encode(msg))) return false;
  std::u16string url_text = url != nullptr ? std::u16string(url) : std::u16string();
  RunOnMain([this, view_id, owner_module, url_text, x, y, width, height, visible] {
    {
      std::lock_guard<std::recursive_mutex> lock(views_lock_);
      ViewState& view = GetOrCreateViewLocked(view_id);
      view.x = x;
      view.y = y;
      view.owner_module = owner_module;
      view.relay_flag_a = true;
      view.relay_flag_b = false;
    }
    EnsureView(view_id, width, height, visible, url_text);
    SetViewPosition(view_id, x, y);
  });
  return true;
}

void WebViewHostApp::RemoveView(uint32_t view_id) {
  RunOnMain([this, view_id] {
    uint32_t owner = 0;
    {
      std::lock_guard<std::recursive_mutex> lock(views_lock_);
      if (const ViewState* view = FindViewLocked(view_id)) owner = view->owner_module;
    }
    DestroyView(view_id, true);
    SendToOverlay(kViewDestroyed, Encode(ViewDestroyedMsg{view_id, owner}));
  });
}

void WebViewHostApp::SetViewRect(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height) {
  ViewChangedMsg msg{};
  msg.view_id = view_id;
  msg.mask = kChangeRect;
  msg.x = x, msg.y = y, msg.width = width, msg.height = height;
  NotifyViewChanged(msg);
  RunOnMain([this, view_id, x, y, width, height] {
    bool native = false;
    {
      std::lock_guard<std::recursive_mutex> lock(views_lock_);
      if (ViewState* view = FindViewLocked(view_id); view != nullptr && view->kind == 1) {
        native = true;
        view->x = x;
        view->y = y;
      }
    }
    if (native) return;
    EnsureView(view_id, width, height, true, u"", true);
    SetViewPosition(view_id, x, y);
  });
}

void WebViewHostApp::ShowView(uint32_t view_id, bool visible) {
  ViewChangedMsg msg{};
  msg.view_id = view_id;
  msg.mask = kChangeVisible;
  msg.visible = visible ? 1 : 0;
  NotifyViewChanged(msg);
  ShowViewQuietly(view_id, visible);
}

void WebViewHostApp::ShowViewQuietly(uint32_t view_id, bool visible) {
  RunOnMain([this, view_id, visible] { SetViewVisible(view_id, visible); });
}

void WebViewHostApp::SetViewZOrder(uint32_t view_id, int32_t z) {
  ViewChangedMsg msg{};
  msg.view_id = view_id;
  msg.mask = kChangeZOrder;
  msg.z_order = z;
  NotifyViewChanged(msg);
  RunOnMain([this, view_id, z] { ApplyZOrder(view_id, z); });
}

void WebViewHostApp::SetRelayFlag(uint32_t view_id, bool on, bool flag_b) {
  ViewChangedMsg msg{};
  msg.view_id = view_id;
  msg.mask = flag_b ? kChangeRelayB : kChangeRelayA;
  (flag_b ? msg.relay_b : msg.relay_a) = on ? 1 : 0;
  NotifyViewChanged(msg);
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  if (ViewState* view = FindViewLocked(view_id)) (flag_b ? view->relay_flag_b : view->relay_flag_a) = on;
}

void WebViewHostApp::SetViewHitTest(uint32_t view_id, int32_t mode, int32_t alpha_threshold) {
  const int32_t threshold = alpha_threshold <= 0 ? 32 : std::min(alpha_threshold, 255);
  bool changed = false;
  bool on = false;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    ViewState* view = FindViewLocked(view_id);
    if (view == nullptr) return;
    on = mode == 1 && !(windowed_ && IsExtraWebView(*view));
    changed = view->hit_test != on || view->hit_alpha_threshold != threshold;
    view->hit_test = on;
    view->hit_alpha_threshold = threshold;
  }
  if (!changed) return;
  ViewChangedMsg msg{};
  msg.view_id = view_id;
  msg.mask = kChangeHitTest;
  msg.hit_test = on ? 1 : 0;
  msg.alpha_threshold = static_cast<uint32_t>(threshold);
  NotifyViewChanged(msg);
}

void WebViewHostApp::SetViewBackgroundColor(uint32_t view_id, uint32_t argb) {
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    if (ViewState* view = FindViewLocked(view_id)) {
      view->background_color = argb;
      ApplyBackgroundColorLocked(*view);
    }
  }
  SendLog(StringPrintf("SetViewBackgroundColor, view_id=%u, argb=0x%x", view_id, argb));
}

void WebViewHostApp::SetViewFrameRate(uint32_t view_id, int32_t fps) {
  const uint32_t rate = fps < 1 ? 1u : static_cast<uint32_t>(fps);
  RunOnMain([this, view_id, rate] { ApplyFrameRate(view_id, rate); });
}

void WebViewHostApp::NavigateView(uint32_t view_id, const char16_t* url) {
  std::u16string text = url != nullptr ? std::u16string(url) : std::u16string();
  RunOnMain([this, view_id, text] { NavigateView(view_id, text); });
}

void WebViewHostApp::PostWebMessageToView(uint32_t view_id, const char* utf8_json) {
  std::string text = utf8_json != nullptr ? std::string(utf8_json) : std::string();
  RunOnMain([this, view_id, text] { PostWebMessageToView(view_id, text); });
}

bool WebViewHostApp::GetSurfaceSize(uint32_t* width, uint32_t* height) {
  std::lock_guard<std::mutex> lock(surface_mutex_);
  if (surface_width_ == 0 || surface_height_ == 0) return false;
  *width = surface_width_;
  *height = surface_height_;
  return true;
}

bool WebViewHostApp::SendRawMessage(uint32_t type, const uint8_t* bytes, uint32_t length) {
  return writer_ != nullptr && writer_->Send(type, bytes, bytes == nullptr ? 0 : length);
}

void WebViewHostApp::ModuleLog(int32_t level, const char* text) {
  if (level <= 0) return;
  const char* prefix = level == 1 ? "MOD-INFO" : level == 2 ? "MOD-WARN" : "MOD-ERROR";
  SendLog(std::string(prefix) + ": " + (text != nullptr ? text : ""));
}

uint64_t WebViewHostApp::Now() { return clock_.Tick64(); }

uint32_t WebViewHostApp::GetParentProcessId() { return parent_pid_; }

void WebViewHostApp::GetHostDirectory(std::u16string* out) {
  std::u16string dir = platform::ExecutableDirectory();
  if (dir.size() > 260) dir.clear();
  *out = dir;
}

void WebViewHostApp::DestroyViewNotifyAll(uint32_t view_id, uint32_t owner_module) {
  RunOnMain([this, view_id, owner_module] {
    DestroyView(view_id, true);
    SendToOverlay(kViewDestroyed, Encode(ViewDestroyedMsg{view_id, owner_module}));
  });
}

void WebViewHostApp::DestroyViewNotifyOverlay(uint32_t view_id, uint32_t owner_module) {
  RunOnMain([this, view_id, owner_module] {
    DestroyView(view_id, false);
    SendToOverlay(kViewDestroyed, Encode(ViewDestroyedMsg{view_id, owner_module}));
  });
}

void WebViewHostApp::SendPopupState(const uint32_t values[25]) {
  PopupStateMsg msg;
  std::copy(values, values + 25, msg.values);
  SendToOverlay(kPopupState, Encode(msg));
}

void WebViewHostApp::LogView(uint32_t view_id, const char* text) {
  SendLog(StringPrintf("%s, view_id=%u", text != nullptr ? text : "popup", view_id));
}

}  // namespace vyo::host
