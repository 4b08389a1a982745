// WebViewManager: the web runtime on the host's side. The shared environment is WebEnvironment's
// (loader, user data directory, creation, recreations); mounted content is MountedContent's
// (navigation resolution, resource filters, resource answers). The manager itself asks for each
// view's controller (with its retries), configures it (settings, page scripts, event handlers),
// navigates views and routes their events. It observes the view registry: a created view gets a controller, a resized
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
#include "renderers/web/mounted_content.h"
#include "renderers/web/view_web_state.h"
#include "renderers/web/web_environment.h"
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

class WebViewManager final : public host::IViewObserver, private IWebEnvironmentClient {
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
  bool RecreateEnvironment(bool private_dir) { return environment_.Recreate(private_dir); }
  // After the browser process exited: a new environment, not counted against the budget.
  void RecreateEnvironmentAfterBrowserExit() { environment_.RecreateAfterBrowserExit(); }
  // The main loop's step: controller requests that failed are made again when due, recreating the
  // environment (or moving to a private user data directory) after repeated failures.
  void PumpViewCreationRetries();
  std::string GetAvailableBrowserVersion() { return environment_.AvailableBrowserVersion(); }

  // Navigation, content, settings and scripts of live views.
  void NavigateView(uint32_t view_id, const std::u16string& url);
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

  const std::u16string& user_data_dir() const { return environment_.user_data_dir(); }
  bool using_private_dir() const { return environment_.using_private_dir(); }
  bool has_environment() const { return environment_.environment() != nullptr; }
  bool private_dir_requested() const { return environment_.private_dir_requested(); }
  int32_t env_recreate_budget() const { return environment_.recreate_budget(); }
  IViewEventHandler& event_handler() const { return delegate_; }

 private:
  // IWebEnvironmentClient.
  void OnEnvironmentOutcome() override;
  void OnPrivateUserDataDir() override;
  // Controllers.
  void EnsureWebView(uint32_t view_id);
  // Whether the view still waits for the controller request of `epoch`.
  bool IsCurrentCreation(uint32_t view_id, int32_t epoch);
  void OnCompositionControllerCreated(uint32_t view_id, int32_t epoch, HResult hr,
                                      std::unique_ptr<IWebView> controller);
  void OnControllerCreationFailed(uint32_t view_id, HResult hr);
  void GiveUpControllerCreation(uint32_t view_id, HResult hr);
  void ReportContentNavigationFailure(uint32_t view_id, const std::string& detail);
  // A view's live web objects, taken out of its fields so that they are released after the fields
  // are consistent again.
  struct LiveWebObjects {
    std::shared_ptr<IWebView> webview;
    std::shared_ptr<IWebViewEvents> event_sink;
    uint32_t registered_events = 0;
    bool filter_added = false;
    std::u16string filter_pattern;
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
  WebEnvironment environment_;
  MountedContent mounted_;
};

}  // namespace vyo::web
