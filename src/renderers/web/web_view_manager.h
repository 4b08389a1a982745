// WebViewManager: the web runtime on the host's side. It loads the runtime and creates the one
// shared environment (with its once-only notice to the overlay, retries and recreations), chooses
// the user data directory, asks for each view's controller and configures it (settings, page
// scripts, event handlers), navigates views to plain or mounted content and answers the requests
// for mounted content. It observes the view registry: a created view gets a controller, a resized
// one new bounds, a closing one loses its web objects. Each view's web fields (ViewWebState) are
// its own, kept by view id from the view's creation to its end; other subsystems ask for what they
// need (the view's web view, whether its content failed).
//
// Main thread only. The registry's record is read as a copy; no lock is held while the browser is
// called or content is mounted and read.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "main_thread/main_thread.h"
#include "renderers/web/view_web_state.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "renderers/web/user_data_dir.h"
#include "renderers/web/web_runtime.h"
#include "views/host_context.h"
#include "views/per_view.h"
#include "views/view_registry.h"

namespace vyo::web {

// Where a view's page events go (the page policy). Called on the main thread.
class IViewEventHandler {
 public:
  virtual ~IViewEventHandler() = default;
  virtual void OnWebMessageReceived(uint32_t view_id, const WebMessage& message) = 0;
  virtual void OnProcessFailed(uint32_t view_id, int32_t kind) = 0;
  virtual void OnNavigationStarting(uint32_t view_id, const NavigationStartingArgs& args) = 0;
  virtual void OnNavigationCompleted(uint32_t view_id, const NavigationCompletedArgs& args) = 0;
  virtual void OnDOMContentLoaded(uint32_t view_id, uint64_t navigation_id) = 0;
  virtual void OnNewWindowRequested(uint32_t view_id, NewWindowArgs& args) = 0;
  virtual void OnPermissionRequested(uint32_t view_id, PermissionArgs& args) = 0;
  virtual void OnCursorChanged(uint32_t view_id) = 0;
  virtual void OnAcceleratorKeyPressed(uint32_t view_id, AcceleratorArgs& args) = 0;
};

// Events of module views, numbered as the module interface numbers them (VYOM_EVENT_*).
enum ModuleViewEvent : uint32_t {
  kModuleViewFirstFrame = 1,
  kModuleViewNavigated = 2,
  kModuleViewFailed = 3,
  kModuleViewDestroyed = 4,
};

// What the web view manager tells the host (main thread): every view's page events (for the page
// policy) and the events of module views.
class IWebViewManagerDelegate : public IViewEventHandler {
 public:
  // An event of a view (ModuleViewEvent) with its argument; the module host drops events of views
  // no module owns.
  virtual void OnModuleViewEvent(uint32_t view_id, uint32_t event, uint32_t argument) = 0;
};

class WebViewManager final : public host::IViewObserver {
 public:
  WebViewManager(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                 host::OverlayChannel& overlay, host::MainThread& main_thread, IWebViewManagerDelegate& delegate);
  ~WebViewManager() override;
  WebViewManager(const WebViewManager&) = delete;
  WebViewManager& operator=(const WebViewManager&) = delete;

  // The runtime and file system used from LoadWebView2Loader on; the composition root chooses them.
  void SetRuntime(std::unique_ptr<IWebRuntime> runtime, std::unique_ptr<IUserDataFs> fs);

  // Loader and environment.
  bool LoadWebView2Loader();
  bool CreateEnvironment();
  void OnEnvironmentCreated(HResult hr, std::shared_ptr<IWebEnvironment> environment);
  bool RecreateEnvironment(bool private_dir);
  // After the browser process exited: a new environment, not counted against the budget.
  void RecreateEnvironmentAfterBrowserExit();
  void PumpViewCreationRetries();
  void NotifyOverlayWebView2Env(HResult hr, uint32_t cost_ms, const char* stage);
  std::string GetAvailableBrowserVersion();
  void ReportLoaderFailure(const char* stage);
  bool SwitchToPrivateUserDataDir();

  // Controllers.
  void EnsureWebView(uint32_t view_id);
  // Whether the view still waits for the controller request of `epoch`.
  bool IsCurrentCreation(uint32_t view_id, int32_t epoch);
  void OnCompositionControllerCreated(uint32_t view_id, int32_t epoch, HResult hr,
                                      std::unique_ptr<IWebView> controller);
  void OnControllerCreationFailed(uint32_t view_id, HResult hr);
  void GiveUpControllerCreation(uint32_t view_id, HResult hr);

  // Navigation, content, settings and scripts of live views.
  void NavigateView(uint32_t view_id, const std::u16string& url);
  void ReportContentNavigationFailure(uint32_t view_id, const std::string& detail);
  std::optional<WebResourceResponse> OnWebResourceRequested(uint32_t view_id, const WebResourceRequest& request);
  void SetBackgroundColor(uint32_t view_id, uint32_t argb);
  // Runs the page scripts again in the view's current document (not the adaptive scale one).
  void RunPageScripts(uint32_t view_id);

  // Shutdown, after every view has closed: late answers find the link cleared, the environment
  // and the runtime go.
  void Shutdown();

  // IViewObserver.
  void OnViewCreated(uint32_t view_id) override;
  void OnViewResized(uint32_t view_id) override;
  void OnViewClosing(uint32_t view_id) override;
  void OnViewDestroyed(uint32_t view_id) override;

  // What other subsystems ask of a view's web content (main thread).
  std::shared_ptr<IWebView> WebViewOf(uint32_t view_id) const;
  // The view has a web view and its content has not failed for good.
  bool HasWorkingContent(uint32_t view_id) const;
  bool IsFailed(uint32_t view_id) const;
  // The page policy's verdicts: the browser process of the view failed (true), or its content
  // works again (false).
  void SetFailed(uint32_t view_id, bool failed);
  uint32_t NavigationStartTick(uint32_t view_id) const;
  // The view's web fields (null for an unknown view); tests read them.
  const ViewWebState* Find(uint32_t view_id) const { return states_.Find(view_id); }
  ViewWebState* Find(uint32_t view_id) { return states_.Find(view_id); }

  const std::u16string& user_data_dir() const { return user_data_dir_; }
  bool using_private_dir() const { return using_private_dir_; }
  bool has_environment() const { return environment_ != nullptr; }
  bool private_dir_requested() const { return private_dir_requested_; }
  int32_t env_recreate_budget() const { return env_recreate_budget_; }
  IViewEventHandler& event_handler() const { return delegate_; }

 private:
  // A view's live web objects, taken out of its fields so that they are released after the fields
  // are consistent again.
  struct LiveWebObjects {
    std::shared_ptr<IWebView> webview;
    std::shared_ptr<IWebViewEvents> event_sink;
    uint32_t registered_events = 0;
    bool filter_added = false;
    std::u16string filter_origin;
  };
  static LiveWebObjects TakeLiveObjects(uint32_t view_id, ViewWebState& web);
  static void Release(LiveWebObjects& objects);
  // A new web view set up in steps: settings, bounds and look, event handlers and page scripts, then
  // its first navigation (made only while it is still the view's current one: false otherwise).
  void Configure(uint32_t view_id, int32_t epoch, IWebView& wv, int32_t width, int32_t height, uint32_t background);
  void ApplySettings(IWebView& wv);
  // The handlers added (a bit per WebEvent); `scripts_added` whether the page scripts were.
  uint32_t AddEventHandlersAndScripts(uint32_t view_id, IWebView& wv, bool* scripts_added);
  bool StartFirstNavigation(uint32_t view_id, int32_t epoch, IWebView& wv, uint32_t registered, bool scripts_added);
  void ApplyZoomFactor(uint32_t view_id);
  void ApplyBackgroundColor(IWebView& wv, uint32_t argb);
  // Resolves `url` for the view (mounting content); the resource filter change it needs is
  // returned and made by the caller once the view's fields are up to date.
  struct FilterChange {
    std::shared_ptr<IWebView> webview;
    std::vector<std::pair<bool, std::u16string>> steps;  // (add, pattern) in order
    void Add(const std::shared_ptr<IWebView>& wv, std::u16string pattern) {
      webview = wv;
      steps.emplace_back(true, std::move(pattern));
    }
    void Remove(const std::shared_ptr<IWebView>& wv, std::u16string pattern) {
      webview = wv;
      steps.emplace_back(false, std::move(pattern));
    }
  };
  bool ResolveNavigation(uint32_t view_id, ViewWebState& web, const std::u16string& url, std::u16string* resolved,
                         FilterChange* filter, std::string* failure);
  static void ApplyFilterChange(const FilterChange& change);
  bool AddPageScripts(IWebView& wv);

  platform::Clock& clock_;
  const host::HostSettings& settings_;
  host::ViewRegistry& views_;
  host::OverlayChannel& overlay_;
  host::MainThread& main_thread_;
  IWebViewManagerDelegate& delegate_;
  host::PerView<ViewWebState> states_;

  // What callbacks and event sinks hold: Shutdown clears it, so an answer that arrives late does
  // nothing.
  std::shared_ptr<WebViewManager*> link_;
  std::unique_ptr<IWebRuntime> runtime_;
  std::unique_ptr<IUserDataFs> user_data_fs_;
  bool loader_loaded_ = false;
  std::shared_ptr<IWebEnvironment> environment_;
  bool env_creating_ = false;
  int32_t env_recreate_budget_ = 1;
  uint32_t env_retry_tick_ = 0;
  uint32_t env_start_tick_ = 0;
  bool env_notified_ = false;
  bool private_dir_requested_ = false;
  std::u16string user_data_dir_;
  bool using_private_dir_ = false;
};

}  // namespace vyo::web
