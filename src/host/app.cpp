#include "host/app.h"

#include "qos/events.h"

#include <algorithm>
#include <limits>

#include "base/log.h"
#include "base/text.h"
#include "protocol/protocol.h"
#include "qos/sink.h"

namespace vyo::host {

namespace {
// The capture service's engines, chosen by the backends: the GPU device as the host has it (made by
// Initialise, released by Shutdown), the capture port (its calls reach the main thread and the web
// views only once the host runs), the image decoder and the cell analyzers.
capture::CaptureEngines CaptureEnginesOf(HostBackends& backends, const std::unique_ptr<platform::GpuDevice>& gpu,
                                         MainThread& main_thread, web::WebViewManager& web) {
  capture::CaptureEngines engines;
  engines.gpu = [&gpu] { return gpu.get(); };
  if (backends.capture_port) {
    engines.port = backends.capture_port([&main_thread](std::function<void()> task) { main_thread.PostTask(std::move(task)); },
                                         [&web](uint32_t view_id) { return web.WebViewOf(view_id); });
  }
  engines.decode = backends.image_decoder;
  if (backends.cell_analyzers) engines.analyzers = backends.cell_analyzers;
  return engines;
}
}  // namespace

HostBackends PlatformBackends() {
  HostBackends backends;
  backends.main_wait = &platform::MainThreadWait::Create;
  backends.gpu_device = &platform::GpuDevice::Create;
  backends.window_system = platform::HasWindowSystem();
  backends.user_data_fs = &platform::CreateUserDataFs;
  backends.pipe_server = &platform::PipeServer::Create;
  backends.watchdog = true;
  backends.keyboard_layout = &CreateSystemKeyboardLayout;
  backends.image_decoder = &platform::DecodePng;
  backends.cell_analyzers = [] {
    std::unique_ptr<capture::CellAnalyzer> gpu = capture::CreateGpuCellAnalyzer();
    return gpu ? std::move(gpu) : capture::CreateCpuCellAnalyzer();
  };
  return backends;
}

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

WebViewHostApp::WebViewHostApp(platform::Clock& clock, HostBackends backends)
    : clock_(clock),
      backends_(std::move(backends)),
      overlay_(clock),
      shared_channels_(clock, overlay_, delegates_),
      capture_(clock, settings_, views_, overlay_, main_thread_, delegates_,
               CaptureEnginesOf(backends_, gpu_device_, main_thread_, web_)),
      web_(clock, settings_, views_, overlay_, main_thread_, delegates_),
      pages_(clock, settings_, views_, overlay_, web_, capture_, counters_, delegates_),
      view_service_(clock, settings_, counters_, views_, main_thread_, overlay_, web_, pages_, capture_, delegates_),
      input_(clock, settings_, views_, overlay_, web_, pages_,
             backends_.keyboard_layout ? backends_.keyboard_layout() : CreateUsKeyboardLayout(), delegates_),
      focus_(settings_, counters_, views_, overlay_, web_, pages_, delegates_),
      buttons_(clock, settings_, views_, overlay_, main_thread_, capture_, delegates_) {
  settings_.window_system = backends_.window_system;
  // The registry tells the list of live ids first, the input router next (buttons held in a closing
  // page go up while it is there), then the web view manager (a closing view loses its web objects), the page policy (a
  // destroyed view loses its page state), the focus controller, capture (a view's texture comes
  // after its web objects, and goes after them) and the native buttons.
  views_.AddObserver(&view_ids_);
  views_.AddObserver(&input_);
  views_.AddObserver(&web_);
  views_.AddObserver(&pages_);
  views_.AddObserver(&focus_);
  views_.AddObserver(&capture_);
  views_.AddObserver(&buttons_);
  view_service_.RegisterCommands(dispatcher_);
  focus_.RegisterCommands(dispatcher_);
  capture_.RegisterCommands(dispatcher_);
  buttons_.RegisterCommands(dispatcher_);
  RegisterHostCommands();
  no_gpu_priority_ = platform::GetEnv("VYO_NO_GPU_PRIORITY").has_value();
  windowed_freeze_ms_ = WindowedFreezeMs(platform::GetEnv("VYO_WINDOWED_FREEZE_MASK"));
  start_tick_ = clock_.TickMs();
}

WebViewHostApp::~WebViewHostApp() {
  Shutdown();
  if (watchdog_) watchdog_->Stop();
}

void WebViewHostApp::StartModules(const std::vector<modules::ModuleEntry>& entries, uint32_t config_result) {
  modules::ModuleHostDeps deps;
  deps.report_event = [](qos::QosEvent event) { qos::Report(std::move(event)); };
  deps.view_id_in_use = [this](uint32_t view_id) { return view_ids_.Contains(view_id); };
  deps.parent_pid = settings_.parent_pid;
  // Module threads may ask for frames: the capture service runs on the main thread.
  deps.request_full_frames = [this](uint32_t view_id, int32_t ms) {
    main_thread_.RunOrPost([this, view_id, ms] { capture_.RequestFullFrames(view_id, ms); });
  };
  deps.set_full_refresh = [this](uint32_t view_id, bool on) {
    main_thread_.RunOrPost([this, view_id, on] { capture_.SetViewFullRefresh(view_id, on); });
  };
  module_host_ = std::make_unique<modules::ModuleHost>(view_service_, std::move(deps));
  modules::ModuleHost* host = module_host_.get();
  for (const modules::ModuleEntry& entry : entries) {
    host->LoadModule(entry.module_path, entry.module_config, entry.module_name);
  }
  if (entries.empty() && (config_result == modules::kModuleConfigReadFailed ||
                          config_result == modules::kModuleConfigNoEntries)) {
    host->ReportConfigResult(config_result);
  }
}

void WebViewHostApp::RegisterHostCommands() {
  dispatcher_.On<ModuleMessageCmd>([this](const ModuleMessageCmd& c) {
    if (module_host_) module_host_->RouteHostMessage(c.module_id, c.text);
  });
  dispatcher_.On<TelemetryContextCmd>(
      [](const TelemetryContextCmd& c) { qos::QosContext::Instance().SetBaseInfo(c.text); });
  dispatcher_.On<TelemetryUploadCmd>([](const TelemetryUploadCmd& c) {
    if (qos::QosHttpSink* sink = qos::ActiveHttpSink()) sink->Submit(std::string(c.bytes.begin(), c.bytes.end()));
  });
}

// ---------------------------------------------------------------------------------------------
// Initialisation and shutdown

bool WebViewHostApp::Initialise(const HostOptions& options) {
  shut_down_ = false;
  options_ = options;
  settings_.windowed = options.windowed;
  settings_.parent_pid = options.parent_pid;

  parent_process_ = platform::ProcessWatch::Open(options.parent_pid);  // failure tolerated

  if (!platform::InitMainThreadApartment()) return false;
  com_initialized_ = true;

  gpu_device_ = backends_.gpu_device ? backends_.gpu_device() : nullptr;
  if (!gpu_device_) return false;
  capture_.SetPipeName(options.pipe_name);

  if (settings_.window_system) {
    host_window_ = platform::HostWindow::Create();
    if (!host_window_) return false;
    pages_.SetClipboardOwner(host_window_->Handle());
  }

  std::unique_ptr<platform::MainThreadWait> wait = backends_.main_wait ? backends_.main_wait() : nullptr;
  if (!wait) return false;
  main_thread_.Attach(std::move(wait));

  // The web runtime: its absence is reported to the overlay, and the host runs on without it.
  if (backends_.web_runtime) {
    web_.SetRuntime(backends_.web_runtime([this](std::function<void()> task) { main_thread_.PostTask(std::move(task)); }),
                    backends_.user_data_fs ? backends_.user_data_fs() : nullptr);
  }
  web_.LoadWebView2Loader();

  if (!shared_channels_.OpenInput(options.input_map_name, options.input_event_name, *main_thread_.wait())) {
    return false;
  }
  shared_channels_.heartbeat().PublishStage(Stage::kInit, 0);
  if (!options.beat_map_name.empty()) shared_channels_.OpenBeatMap(options.beat_map_name);

  // The wait for the overlay is bounded by the overlay's own life: if its process ends first,
  // nobody will ever connect.
  if (!backends_.pipe_server ||
      !overlay_.Open(backends_.pipe_server(options.pipe_name),
                     [this] { return parent_process_ != nullptr && parent_process_->HasExited(); })) {
    return false;
  }
  main_thread_.wait()->WatchPipe(overlay_.pipe());

  if (main_thread_.wait()->CreateFrameTimer()) {
    overlay_.SendLog("Frame pacing: high-resolution waitable timer enabled");
  } else {
    overlay_.SendLog("Frame pacing: fallback timer (timeBeginPeriod)");
  }
  pacer_ = std::make_unique<MainLoopPacer>(clock_, main_thread_.wait());

  std::vector<modules::ModuleEntry> module_entries;
  std::u16string module_config_file;
  const uint32_t module_config_result = modules::LoadModuleConfig(
      options.module_config_path, platform::ExecutableDirectory(), &module_entries, &module_config_file);
  overlay_.SendLog(StringPrintf("Module config result=%u, entries=%zu", module_config_result, module_entries.size()));
  const uint32_t module_count = static_cast<uint32_t>(module_entries.size());
  overlay_.SendToOverlay(kHostHello, Encode(HostHelloMsg{kProtocolVersion, kHostCapabilities, module_count}));
  overlay_.SendLog(StringPrintf("HostHello sent, caps=0x%x, module_count=%u", kHostCapabilities, module_count));

  // The watchdog watches from here on (before anything that could hang in start-up's later steps,
  // such as modules).
  if (backends_.watchdog) StartWatchdog();
  StartModules(module_entries, module_config_result);

  overlay_.SendLog(settings_.windowed ? "Init success, present=windowed" : "Init success, capture=window");
  running_ = true;
  return true;
}

void WebViewHostApp::StartWatchdog() {
  watchdog_source_ = std::make_unique<HostWatchdogSource>(shared_channels_.heartbeat(), shared_channels_.input_map(),
                                                          overlay_, parent_process_, settings_.parent_pid);
  stall_reports_ =
      std::make_unique<watchdog::StallReportWriter>(platform::ExecutableDirectory(), watchdog::HostStallLog());
  watchdog_ = std::make_unique<watchdog::Watchdog>(clock_, *watchdog_source_, *stall_reports_,
                                                   platform::CurrentProcessId());
  if (!watchdog_->Start()) watchdog_.reset();  // the host runs on without it (logged)
}

void WebViewHostApp::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  // From here on the watchdog judges only the shutdown's own deadline: an overlay that exits
  // during an orderly shutdown is not a stall.
  if (watchdog_) watchdog_->Disarm();
  running_ = false;
  platform::MainThreadWait* wait = main_thread_.wait();
  if (wait != nullptr) wait->CloseFrameTimer();
  // Modules end first: each gets its shutdown call and its views go while the browser still runs.
  if (module_host_) module_host_->ShutdownModules();
  // Every view closes (its web objects are released) while the browser still runs.
  view_service_.DestroyAllViews();
  overlay_.FlushWorkerLogs();
  // The pipe: no longer watched, the writer stopped (its last frames get a bounded chance), closed.
  if (wait != nullptr) wait->WatchPipe(nullptr);
  overlay_.Stop([this] {
    // A write that cannot be cancelled would hang the exit; end the process instead, with a stall
    // report when the watchdog has not made one.
    HostLogf(LogLevel::kError, "%s", "pipe writer did not stop, terminating");
    if (watchdog_) watchdog_->ReportPipeShutdownStall();
    platform::TerminateCurrentProcess(kExitStall);
  });
  host_window_.reset();
  shared_channels_.Close(wait);
  parent_process_.reset();
  // Frames still on their way go nowhere; then the browser goes after every view has closed: late
  // answers find the web view manager's link cleared, and the runtime's threads end with it.
  capture_.Shutdown();
  web_.Shutdown();
  pacer_.reset();
  gpu_device_.reset();
  // Last: the wait and its queue. Tasks posted from now on are refused.
  main_thread_.Detach();
  if (com_initialized_) platform::EndMainThreadApartment();
  com_initialized_ = false;
}

// ---------------------------------------------------------------------------------------------
// Main loop

uint32_t WebViewHostApp::RunMainLoop() {
  Heartbeat& heartbeat = shared_channels_.heartbeat();
  while (running_) {
    if (overlay_.write_failed()) {
      if (overlay_.peer_gone()) {
        // The overlay went away while we were writing: the same ending as a closed pipe.
        overlay_.SendLog("Pipe closed by overlay, stopping helper");
        exit_reason_ = "pipe_closed";
      } else {
        exit_reason_ = "pipe_write_failed";
        exit_code_ = kExitPipeWriteFailed;
      }
      running_ = false;
      break;
    }
    if (parent_process_ && parent_process_->HasExited()) {
      overlay_.SendLog("Parent process exited, stopping helper");
      exit_reason_ = "parent_exit";
      running_ = false;
      break;
    }

    heartbeat.PublishStage(Stage::kPumpMessages, 0);
    if (platform::MainThreadWait* wait = main_thread_.wait()) wait->PumpMessages(64, 4);

    heartbeat.PublishStage(Stage::kPumpPipe, 0);
    const PumpResult pumped = overlay_.Pump([this](uint32_t type, const std::vector<uint8_t>& payload) {
      Dispatch(type, payload);
      return running_.load();
    });
    if (pumped.stop == PumpStop::kClosed) {
      overlay_.SendLog("Pipe closed by overlay, stopping helper");
      exit_reason_ = "pipe_closed";
      running_ = false;
    } else if (pumped.stop == PumpStop::kMalformed) {
      running_ = false;
    }
    if (!running_) break;

    heartbeat.PublishStage(Stage::kPumpInput, 0);
    platform::MainThreadWait* wait = main_thread_.wait();
    input_.BeginInputStage();
    shared_channels_.PumpInput(wait != nullptr && wait->ConsumeInputSignal());
    input_.FlushPendingPointerMoves();

    heartbeat.PublishStage(Stage::kModuleTick, 0);
    if (module_host_) module_host_->TickModules(clock_.Tick64());

    heartbeat.PublishStage(Stage::kPumpFrames, 0);
    web_.PumpViewCreationRetries();
    capture_.ServiceCaptures();
    for (uint32_t view_id : capture_.TakeFirstFrameViews()) {
      delegates_.OnModuleViewEvent(view_id, web::kModuleViewFirstFrame, 0);
    }
    overlay_.FlushWorkerLogs();

    heartbeat.PublishFrameTick();
    heartbeat.PublishStage(Stage::kWaitFrame, 0);
    if (running_) PacedWait();
  }
  return exit_code_;
}

void WebViewHostApp::Dispatch(uint32_t type, const std::vector<uint8_t>& payload) {
  shared_channels_.heartbeat().PublishStage(Stage::kPumpPipe, static_cast<int32_t>(type));
  dispatcher_.Dispatch(type, payload);
}

void WebViewHostApp::PacedWait() {
  if (!pacer_) return;
  // Pending work must not sleep: a cut-short drain.
  if (shared_channels_.drain_pending()) return;
  Heartbeat& heartbeat = shared_channels_.heartbeat();
  pacer_->WaitForNextFrame(
      capture_.TargetFrameRate(), [this] { return capture_.AnyAnalysisInFlight(); },
      [&heartbeat] {
        heartbeat.PublishStage(Stage::kPumpFrames, 0);
        heartbeat.PublishFrameTick();
        heartbeat.PublishStage(Stage::kWaitFrame, 0);
      });
}

}  // namespace vyo::host
