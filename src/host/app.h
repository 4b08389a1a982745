// WebViewHostApp: the application object. It owns the host's subsystems, wires them together and
// runs the host as a whole: Initialise (start-up in order), RunMainLoop, Shutdown (in order), the
// exit code and reason, and the counters the exit telemetry reports. The subsystems do the work:
//
//   MainThread       the main-thread wait and the task runner other threads post to
//   OverlayChannel   the pipe, its writer and the log path
//   SharedChannels   the input ring, its event, the heartbeat and the beat map
//   CommandDispatcher  the overlay's commands to the handlers subsystems register
//   ViewRegistry     the views' records (views_lock guards the table only), and its observers
//   WebViewManager   the browser environment, controllers, navigation and mounted content
//   PagePolicy       page messages, the selection, the event policy
//   ViewService      the view operations, and the interfaces for modules and popups
//   InputRouter      the input ring's records into the views
//   FocusController  which view receives the keyboard (logical focus, focus emulation)
//   CaptureService   capture sessions, shared textures and DirtyMaps: every view's frames
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_service.h"
#include "capture/native_buttons.h"
#include "command_dispatch/command_dispatcher.h"
#include "host/frame_pacing.h"
#include "host/host_delegates.h"
#include "host/host_options.h"
#include "host/watchdog_source.h"
#include "input/focus_controller.h"
#include "input/input_router.h"
#include "input/keyboard_layout.h"
#include "main_thread/main_thread.h"
#include "modules/module_config.h"
#include "modules/module_host.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "platform/main_wait.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/user_data_fs.h"
#include "renderers/web/page_policy.h"
#include "renderers/web/web_runtime.h"
#include "renderers/web/web_view_manager.h"
#include "shared_channels/shared_channels.h"
#include "view_service/view_service.h"
#include "views/host_context.h"
#include "views/live_view_ids.h"
#include "views/view_registry.h"
#include "watchdog/stall_report.h"
#include "watchdog/watchdog.h"

namespace vyo::host {

constexpr uint32_t kExitPipeWriteFailed = 0xE0010004;
constexpr uint32_t kExitStall = 0xE0010001;

// The engines the host drives. They are chosen only by the composition roots: the program's entry
// (`ProgramBackends` in host_main.cpp) and the tests' (`testing::TestBackends`). Each factory runs
// at its step of Initialise; a missing wait, GPU device or pipe server fails start-up, a missing
// web runtime is reported to the overlay like a browser that is not installed, a missing capture
// port means no capture, a missing keyboard layout means the US tables.
struct HostBackends {
  std::function<std::unique_ptr<platform::MainThreadWait>()> main_wait;
  std::function<std::unique_ptr<platform::GpuDevice>()> gpu_device;
  bool window_system = false;
  std::function<std::unique_ptr<web::IWebRuntime>(web::Poster post_to_main)> web_runtime;
  std::function<std::unique_ptr<platform::IUserDataFs>()> user_data_fs;
  std::function<std::unique_ptr<platform::PipeServer>(const std::u16string& name)> pipe_server;
  // The watchdog's sampling thread (real time: unit tests that drive a manual clock leave it out).
  bool watchdog = false;
  std::function<std::unique_ptr<IKeyboardLayout>()> keyboard_layout;
  // Where views' frames come from (null: no capture) and how frame images are decoded.
  std::function<std::unique_ptr<capture::ICapturePort>(web::Poster post_to_main, web::WebViewLookup views)>
      capture_port;
  capture::ImageDecodeFn image_decoder;
  // The per-cell analysis of frames of views with a hit mask (the CPU one when empty).
  capture::CellAnalyzerFactory cell_analyzers;
};

// The platform's own engines (main-thread wait, GPU device, windows where the system has them, the
// profile file system, the pipe server, the system's keyboard layout, the image decoder, cell
// analysis on the GPU where the device has a form of it), with the watchdog on; no web runtime and
// no capture port. The composition roots start from these.
HostBackends PlatformBackends();

class WebViewHostApp {
 public:
  explicit WebViewHostApp(platform::Clock& clock = platform::SystemClock(), HostBackends backends = {});
  ~WebViewHostApp();
  WebViewHostApp(const WebViewHostApp&) = delete;
  WebViewHostApp& operator=(const WebViewHostApp&) = delete;

  // Lifecycle, all on the main thread.
  bool Initialise(const HostOptions& options);
  uint32_t RunMainLoop();
  void Shutdown();

  // The exit code and reason, and the counters.
  const std::string& exit_reason() const { return exit_reason_; }
  uint32_t exit_code() const { return exit_code_; }
  uint32_t start_tick() const { return start_tick_; }
  const HostCounters& counters() const { return counters_; }
  uint32_t windowed_freeze_ms() const { return windowed_freeze_ms_; }
  bool no_gpu_priority() const { return no_gpu_priority_; }

  // The subsystems, for the entry point and for tests that drive them in place.
  MainThread& main_thread() { return main_thread_; }
  OverlayChannel& overlay() { return overlay_; }
  SharedChannels& shared_channels() { return shared_channels_; }
  CommandDispatcher& dispatcher() { return dispatcher_; }
  ViewRegistry& views() { return views_; }
  web::WebViewManager& web() { return web_; }
  web::PagePolicy& pages() { return pages_; }
  ViewService& view_service() { return view_service_; }
  InputRouter& input() { return input_; }
  FocusController& focus() { return focus_; }
  modules::ModuleHost* module_host() { return module_host_.get(); }
  capture::CaptureService& capture() { return capture_; }
  capture::NativeButtons& buttons() { return buttons_; }

 private:
  void PacedWait();
  void Dispatch(uint32_t type, const std::vector<uint8_t>& payload);
  void RegisterHostCommands();
  void StartWatchdog();
  void StartModules(const std::vector<modules::ModuleEntry>& entries, uint32_t config_result);

  platform::Clock& clock_;
  HostBackends backends_;
  HostSettings settings_;
  HostCounters counters_;

  // Subsystems, in the order they are built (and destroyed in reverse).
  // The subsystems' upward calls, forwarded to the subsystems below (used only once all exist).
  HostDelegates delegates_{*this};
  MainThread main_thread_;
  OverlayChannel overlay_;
  SharedChannels shared_channels_;
  ViewRegistry views_;
  LiveViewIds view_ids_;  // for module threads
  // Capture comes before the web runtime: pages report changes to it, the view service sets hit
  // testing.
  capture::CaptureService capture_;
  web::WebViewManager web_;
  web::PagePolicy pages_;
  ViewService view_service_;
  InputRouter input_;
  FocusController focus_;
  capture::NativeButtons buttons_;
  CommandDispatcher dispatcher_;

  HostOptions options_;
  std::shared_ptr<platform::ProcessWatch> parent_process_;
  bool com_initialized_ = false;
  std::unique_ptr<platform::GpuDevice> gpu_device_;
  std::unique_ptr<platform::HostWindow> host_window_;
  std::unique_ptr<MainLoopPacer> pacer_;
  std::unique_ptr<modules::ModuleHost> module_host_;
  // The watchdog and what it reads and writes; it outlives Shutdown (its deadline covers it) and
  // stops when the application goes.
  std::unique_ptr<HostWatchdogSource> watchdog_source_;
  std::unique_ptr<watchdog::StallReportWriter> stall_reports_;
  std::unique_ptr<watchdog::Watchdog> watchdog_;

  std::atomic<bool> running_{false};
  bool shut_down_ = false;
  uint32_t exit_code_ = 0;
  std::string exit_reason_ = "normal";
  uint32_t start_tick_ = 0;
  bool no_gpu_priority_ = false;
  uint32_t windowed_freeze_ms_ = 0;
};

// Windowed freeze time from the environment value: 1 to 31 characters converted as a signed
// decimal; a result of 1 or more is multiplied by 1000 (saturating at the largest u32), else 0.
uint32_t WindowedFreezeMs(const std::optional<std::string>& value);

}  // namespace vyo::host
