// WebViewHostApp: the application object. It owns the channels to the overlay, the GPU device, the
// main thread's wait and the view registry, runs the main loop, and offers the module and popup
// service interfaces.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/channels.h"
#include "host/commands.h"
#include "host/frame_pacing.h"
#include "host/host_options.h"
#include "host/pipe_channel.h"
#include "host/protocol.h"
#include "host/services.h"
#include "host/view_state.h"
#include "platform/clock.h"
#include "platform/main_wait.h"
#include "platform/named_event.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/system.h"
#include "renderers/web/page_messages.h"
#include "renderers/web/user_data_dir.h"
#include "renderers/web/web_runtime.h"

namespace vyo::host {

constexpr uint32_t kExitPipeWriteFailed = 0xE0010004;
constexpr uint32_t kExitStall = 0xE0010001;

class WebViewHostApp : public IModuleServices, public vyo::web::IWebPopupHost {
 public:
  explicit WebViewHostApp(platform::Clock& clock = platform::SystemClock());
  ~WebViewHostApp() override;
  WebViewHostApp(const WebViewHostApp&) = delete;
  WebViewHostApp& operator=(const WebViewHostApp&) = delete;

  // Lifecycle, all on the main thread.
  bool Initialise(const HostOptions& options);
  uint32_t RunMainLoop();
  void Shutdown();

  // Registry operations.
  ViewState* FindViewLocked(uint32_t view_id);
  ViewState& GetOrCreateViewLocked(uint32_t view_id);
  // `keep_visibility`: the call comes from a rectangle change, which never changes the visibility
  // of a view that already exists.
  void EnsureView(uint32_t view_id, int32_t width, int32_t height, bool visible, const std::u16string& url,
                  bool keep_visibility = false);
  void SetViewPosition(uint32_t view_id, int32_t x, int32_t y);
  void DestroyView(uint32_t view_id, bool notify_modules);
  void SetViewVisible(uint32_t view_id, bool visible);
  bool IsExtraWebView(const ViewState& view) const;

  // The overlay channel.
  bool SendToOverlay(uint32_t type, const std::vector<uint8_t>& payload);
  void SendLog(const std::string& text);
  void QueueWorkerLog(std::string text);
  void FlushWorkerLogs();
  void DispatchCommand(uint32_t type, const std::vector<uint8_t>& payload);
  void PumpPipe();

  // IModuleServices (and the same-named IWebPopupHost operations).
  bool CreateView(uint32_t view_id, uint32_t owner_module, const char16_t* url, int32_t x, int32_t y,
                  int32_t width, int32_t height, bool visible) override;
  void RemoveView(uint32_t view_id) override;
  void SetViewRect(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height) override;
  void ShowView(uint32_t view_id, bool visible) override;
  void SetViewZOrder(uint32_t view_id, int32_t z) override;
  void SetRelayFlagA(uint32_t view_id, bool on) override { SetRelayFlag(view_id, on, false); }
  void SetRelayFlagB(uint32_t view_id, bool on) override { SetRelayFlag(view_id, on, true); }
  void SetViewHitTest(uint32_t view_id, int32_t mode, int32_t alpha_threshold) override;
  void SetViewBackgroundColor(uint32_t view_id, uint32_t argb) override;
  void SetViewFrameRate(uint32_t view_id, int32_t fps) override;
  void NavigateView(uint32_t view_id, const char16_t* url) override;
  void PostWebMessageToView(uint32_t view_id, const char* utf8_json) override;
  bool GetSurfaceSize(uint32_t* width, uint32_t* height) override;
  bool SendRawMessage(uint32_t type, const uint8_t* bytes, uint32_t length) override;
  void ModuleLog(int32_t level, const char* text) override;
  uint64_t Now() override;
  uint32_t GetParentProcessId() override;
  void GetHostDirectory(std::u16string* out) override;

  // IWebPopupHost.
  void DestroyViewNotifyAll(uint32_t view_id, uint32_t owner_module) override;
  void DestroyViewNotifyOverlay(uint32_t view_id, uint32_t owner_module) override;
  void ShowViewQuietly(uint32_t view_id, bool visible) override;
  void SendPopupState(const uint32_t values[25]) override;
  bool IsWindowed() override { return windowed_; }
  void LogView(uint32_t view_id, const char* text) override;

  // Frame rate the paced wait targets: the highest rate of visible, working web views; 30 if none.
  uint32_t TargetFrameRate();

  // Read-only views for the entry point, the tests and telemetry.
  const std::string& exit_reason() const { return exit_reason_; }
  uint32_t exit_code() const { return exit_code_; }
  uint32_t views_created() const { return views_created_; }
  uint32_t navigations_completed() const { return navigations_completed_; }
  uint32_t set_focus_count() const { return set_focus_count_; }
  uint32_t peak_view_count() const { return peak_view_count_; }
  uint32_t start_tick() const { return start_tick_; }
  uint32_t primary_view_id() const { return primary_view_id_; }
  uint32_t windowed_freeze_ms() const { return windowed_freeze_ms_; }
  bool no_gpu_priority() const { return no_gpu_priority_; }
  size_t view_count();
  std::optional<ViewState> SnapshotView(uint32_t view_id);
  const Heartbeat& heartbeat() const { return heartbeat_; }
  InputRing& input_ring() { return input_ring_; }
  PipeWriter* pipe_writer() { return writer_.get(); }

  // Drains the input ring (the records are handed to input handling once it exists).
  void DrainInputEvents();
  // Called with each input record taken from the ring.
  void SetInputHandler(std::function<void(const InputRecord&)> handler) { input_handler_ = std::move(handler); }

  // Runs `f` with the view (or null) while holding views_lock.
  template <typename F>
  void WithViewLocked(uint32_t view_id, F f) {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    f(FindViewLocked(view_id));
  }

  // ---- Web runtime (environment, user data directory, controllers, navigation, resources).
  // The runtime and file system used from Initialise on; set before it (tests give fakes).
  void SetWebRuntime(std::unique_ptr<web::IWebRuntime> runtime, std::unique_ptr<web::IUserDataFs> fs);
  bool LoadWebView2Loader();
  bool CreateEnvironment();
  void OnEnvironmentCreated(web::HResult hr, std::shared_ptr<web::IWebEnvironment> environment);
  bool RecreateEnvironment(bool private_dir);
  void PumpViewCreationRetries();
  void NotifyOverlayWebView2Env(web::HResult hr, uint32_t cost_ms, const char* stage);
  std::string GetAvailableBrowserVersion();
  void ReportLoaderFailure(const char* stage);
  bool SwitchToPrivateUserDataDir();
  void EnsureWebView(uint32_t view_id);
  void OnCompositionControllerCreated(uint32_t view_id, int32_t epoch, web::HResult hr,
                                      std::unique_ptr<web::IWebView> controller);
  void OnControllerCreationFailed(uint32_t view_id, web::HResult hr);
  void GiveUpControllerCreation(uint32_t view_id, web::HResult hr);
  void ReleaseWebObjectsLocked(ViewState& view);
  void ApplyZoomFactorLocked(ViewState& view);
  void ApplyBackgroundColorLocked(ViewState& view);
  void NavigateView(uint32_t view_id, const std::u16string& url);
  bool ResolveNavigationLocked(ViewState& view, const std::u16string& url, std::u16string* resolved);
  void ReportContentNavigationFailure(uint32_t view_id, const std::string& detail);
  void AddResourceFilterLocked(ViewState& view);
  void RemoveResourceFilterLocked(ViewState& view);
  std::optional<web::WebResourceResponse> OnWebResourceRequested(uint32_t view_id,
                                                                  const web::WebResourceRequest& request);
  void OnNavigationCompleted(uint32_t view_id, const web::NavigationCompletedArgs& args);

  // ---- Page scripts, page messages and the web view event policy (event_policy.cpp).
  // Registers the page scripts with a new web view (each for every future document and run once in
  // the current one), in their order; the windowed focus script only in windowed presentation.
  void AddPageScriptsLocked(ViewState& view);
  // Runs the page scripts again in the current document (not the adaptive scale one).
  void RunPageScriptsLocked(ViewState& view);
  // Runs the adaptive-scale script in the current document (after a zoom change).
  void RunAdaptiveScaleScriptLocked(ViewState& view);
  void OnWebMessageReceived(uint32_t view_id, const web::WebMessage& message);
  void PostWebMessageToView(uint32_t view_id, const std::string& json);
  void CopySelectionToClipboard(uint32_t view_id);
  void OnNewWindowRequested(uint32_t view_id, web::NewWindowArgs& args);
  void OnPermissionRequested(uint32_t view_id, web::PermissionArgs& args);
  void OnAcceleratorKeyPressed(uint32_t view_id, web::AcceleratorArgs& args);
  void OnProcessFailed(uint32_t view_id, int32_t kind);
  void OnNavigationStarting(uint32_t view_id, const web::NavigationStartingArgs& args);
  void OnDOMContentLoaded(uint32_t view_id, uint64_t navigation_id);
  void OnCursorChanged(uint32_t view_id);
  web::SelectionStore& selection_store() { return selection_store_; }
  web::InputFocusTracker& input_focus() { return input_focus_; }
  int32_t accelerator_block_logs() const { return accelerator_block_logs_; }
  // The modifier bits (Alt 1, Ctrl 2, Meta 4, Shift 8) of the keyboard at the moment an accelerator
  // key event is handled. Until the keyboard subsystem gives its reader, no modifier counts as
  // down.
  void SetKeyboardModifiersSource(std::function<uint32_t()> source) { keyboard_modifiers_ = std::move(source); }
  const std::u16string& user_data_dir() const { return user_data_dir_; }
  bool using_private_dir() const { return using_private_dir_; }
  bool has_environment() const { return environment_ != nullptr; }
  bool private_dir_requested() const { return private_dir_requested_; }
  int32_t env_recreate_budget() const { return env_recreate_budget_; }

  // Tests: run over a pipe made elsewhere (a fake), without the rest of initialisation.
  void AttachPipeForTesting(std::unique_ptr<platform::PipeServer> pipe);
  void SetRunningForTesting(bool running) { running_ = running; }

 private:
  bool OpenInputChannels();
  void OpenBeatMap();
  bool OpenPipe();
  void InitFramePacing();
  void SendHostHello(uint32_t module_count);
  void FlushPendingEnvNotice();
  void StopPipeWriter();
  void CloseChannels();
  void CloseViewLocked(ViewState& view);
  void NotifyViewChanged(const ViewChangedMsg& msg);
  void SetRelayFlag(uint32_t view_id, bool on, bool flag_b);
  bool OnMainThread() const;
  void RunOnMain(std::function<void()> task);
  void PacedWait();
  void ApplySurfaceInfo(uint32_t width, uint32_t height);
  void ApplyPresentationMode(const SetPresentationModeCmd& cmd);
  void ApplyFrameRate(uint32_t view_id, uint32_t rate);
  void ApplyZOrder(uint32_t view_id, int32_t z);

  platform::Clock& clock_;

  // Copied from the command line.
  std::u16string pipe_name_, input_map_name_, input_event_name_, beat_map_name_, module_config_path_;
  uint32_t parent_pid_ = 0;
  bool windowed_ = false;
  uint64_t game_hwnd_ = 0;
  uint32_t game_pid_ = 0;

  std::unique_ptr<platform::ProcessWatch> parent_process_;
  bool com_initialized_ = false;
  std::thread::id main_thread_id_;
  std::unique_ptr<platform::GpuDevice> gpu_device_;
  std::unique_ptr<platform::HostWindow> host_window_;
  std::unique_ptr<platform::MainThreadWait> main_wait_;

  std::atomic<bool> running_{false};
  uint32_t exit_code_ = 0;
  std::string exit_reason_ = "normal";
  uint32_t start_tick_ = 0;
  uint32_t views_created_ = 0;
  uint32_t navigations_completed_ = 0;
  uint32_t set_focus_count_ = 0;
  uint32_t peak_view_count_ = 0;
  int64_t qpc_frequency_ = 0;
  bool no_gpu_priority_ = false;
  uint32_t windowed_freeze_ms_ = 0;

  // The registry. views_lock_ guards views_, primary_view_id_ and every ViewState.
  std::recursive_mutex views_lock_;
  std::map<uint32_t, ViewState> views_;
  uint32_t primary_view_id_ = 0;

  // Game surface size reported by the overlay (0 × 0 while unknown).
  std::mutex surface_mutex_;
  uint32_t surface_width_ = 0, surface_height_ = 0;

  // Shared-memory channels.
  std::unique_ptr<platform::SharedMemory> input_map_;
  std::unique_ptr<platform::NamedEvent> input_event_;
  std::unique_ptr<platform::SharedMemory> beat_map_;
  InputRing input_ring_{nullptr};
  Heartbeat heartbeat_;
  uint32_t input_stats_window_start_ = 0;
  bool input_drain_pending_ = false;
  bool ring_corrupt_logged_ = false;
  std::function<void(const InputRecord&)> input_handler_;

  // Pipe.
  std::mutex pipe_write_lock_;
  std::unique_ptr<platform::PipeServer> pipe_;
  std::unique_ptr<PipeWriter> writer_;
  uint32_t max_payload_ = kMaxPayload;

  // Worker log lines waiting for the main thread.
  std::mutex worker_log_mutex_;
  std::vector<std::string> worker_log_lines_;

  std::unique_ptr<FramePacer> pacer_;
  bool shut_down_ = false;

  // Web runtime state. `app_link_` is what callbacks and event sinks hold: Shutdown clears it, so
  // an answer that arrives late does nothing.
  std::shared_ptr<WebViewHostApp*> app_link_;
  std::unique_ptr<web::IWebRuntime> web_runtime_;
  std::unique_ptr<web::IUserDataFs> user_data_fs_;
  bool loader_loaded_ = false;
  std::shared_ptr<web::IWebEnvironment> environment_;
  bool env_creating_ = false;
  int32_t env_recreate_budget_ = 1;
  uint32_t env_retry_tick_ = 0;
  uint32_t env_start_tick_ = 0;
  std::atomic<int32_t> env_notified_{0};
  struct PendingEnvNotice {
    bool pending = false;
    EnvironmentResultMsg message;
  } pending_env_notice_;
  bool private_dir_requested_ = false;
  std::u16string user_data_dir_;
  bool using_private_dir_ = false;
  bool busy_diagnostics_done_ = false;

  // Page messages and the event policy.
  void HandleControlMessage(uint32_t view_id, const std::string& text);
  void HandleDirtyMessage(uint32_t view_id, const web::ControlMessage& message);
  bool SendPageDrivenMessage(uint32_t type, const std::vector<uint8_t>& payload);
  bool IsManagedPopupView(uint32_t view_id);
  void RecreateEnvironmentAfterBrowserExit();
  void SendSelectionChanged(uint32_t view_id, bool has_selection);
  void SendInputFocusChanged(uint32_t view_id, bool state);
  web::SelectionStore selection_store_{[this](uint32_t id, bool has) { SendSelectionChanged(id, has); }};
  // Every report passes until windowed arbitration installs its filter.
  web::InputFocusTracker input_focus_{nullptr, [this](uint32_t id, bool state) { SendInputFocusChanged(id, state); }};
  // Set while the game holds the keyboard (windowed arbitration): focus-on reports are dropped.
  bool suppress_page_focus_reports_ = false;
  int32_t accelerator_block_logs_ = 0;
  int32_t page_message_drop_logs_ = 0;
  std::function<uint32_t()> keyboard_modifiers_;

  friend class ViewEventSink;
};

// Forwards one view's web events to the application, while the application is alive.
class ViewEventSink final : public web::IWebViewEvents {
 public:
  ViewEventSink(std::shared_ptr<WebViewHostApp*> link, uint32_t view_id) : link_(std::move(link)), view_id_(view_id) {}
  void OnWebMessageReceived(const web::WebMessage& message) override {
    if (*link_ != nullptr) (*link_)->OnWebMessageReceived(view_id_, message);
  }
  void OnProcessFailed(int32_t kind) override {
    if (*link_ != nullptr) (*link_)->OnProcessFailed(view_id_, kind);
  }
  void OnNavigationStarting(const web::NavigationStartingArgs& args) override {
    if (*link_ != nullptr) (*link_)->OnNavigationStarting(view_id_, args);
  }
  void OnNavigationCompleted(const web::NavigationCompletedArgs& args) override;
  void OnDomContentLoaded(uint64_t navigation_id) override {
    if (*link_ != nullptr) (*link_)->OnDOMContentLoaded(view_id_, navigation_id);
  }
  void OnNewWindowRequested(web::NewWindowArgs& args) override {
    args.handled = true;  // no windows, even while the application goes away
    if (*link_ != nullptr) (*link_)->OnNewWindowRequested(view_id_, args);
  }
  void OnPermissionRequested(web::PermissionArgs& args) override {
    args.deny = true;  // no permissions, even while the application goes away
    if (*link_ != nullptr) (*link_)->OnPermissionRequested(view_id_, args);
  }
  void OnCursorChanged() override {
    if (*link_ != nullptr) (*link_)->OnCursorChanged(view_id_);
  }
  void OnAcceleratorKeyPressed(web::AcceleratorArgs& args) override {
    if (*link_ != nullptr) (*link_)->OnAcceleratorKeyPressed(view_id_, args);
  }
  std::optional<web::WebResourceResponse> OnWebResourceRequested(const web::WebResourceRequest& request) override;

 private:
  std::shared_ptr<WebViewHostApp*> link_;
  uint32_t view_id_;
};

// Windowed freeze time from the environment value: 1 to 31 characters converted as a signed
// decimal; a result of 1 or more is multiplied by 1000 (saturating at the largest u32), else 0.
uint32_t WindowedFreezeMs(const std::optional<std::string>& value);

}  // namespace vyo::host
