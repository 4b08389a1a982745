#include "renderers/web/web_view_manager.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include "base/log.h"
#include "base/text.h"
#include "content/resource.h"
#include "protocol/protocol.h"
#include "qos/events.h"
#include "renderers/web/scripts/page_scripts.h"

namespace vyo::web {
namespace {

using host::ViewState;

// The browser arguments every environment is created with: a 32 MiB disk cache and three browser
// features switched off.
constexpr char kBrowserArguments[] =
    "--disk-cache-size=33554432 --disable-features=SpareRendererForSitePerProcess,MultipleSpareRenderers,"
    "AudioServiceOutOfProcess";

constexpr uint32_t kRetryDelayMs = 400;
constexpr int32_t kAttempts = 8;

std::string HrForm(const std::string& text, HResult hr) { return text + ", hr=0x" + HrHex(hr); }

uint32_t EventBit(WebEvent e) { return 1u << static_cast<uint32_t>(e); }

// Controller requests are counted by one process-wide sequence: a view destroyed and created again
// with the same id never takes an answer meant for its predecessor.
int32_t NextCreationEpoch() {
  static int32_t counter = 0;  // main thread only
  return ++counter;
}

std::u16string Script(PageScript script) { return std::u16string(PageScriptText(script)); }

// Forwards one view's web events to the host while the web view manager is alive.
class ViewEventSink final : public IWebViewEvents {
 public:
  ViewEventSink(std::shared_ptr<WebViewManager*> link, uint32_t view_id) : link_(std::move(link)), view_id_(view_id) {}
  void OnWebMessageReceived(const WebMessage& message) override {
    if (IViewEventHandler* h = Handler()) h->OnWebMessageReceived(view_id_, message);
  }
  void OnProcessFailed(int32_t kind) override {
    if (IViewEventHandler* h = Handler()) h->OnProcessFailed(view_id_, kind);
  }
  void OnNavigationStarting(const NavigationStartingArgs& args) override {
    if (IViewEventHandler* h = Handler()) h->OnNavigationStarting(view_id_, args);
  }
  void OnNavigationCompleted(const NavigationCompletedArgs& args) override {
    if (IViewEventHandler* h = Handler()) h->OnNavigationCompleted(view_id_, args);
  }
  void OnDomContentLoaded(uint64_t navigation_id) override {
    if (IViewEventHandler* h = Handler()) h->OnDOMContentLoaded(view_id_, navigation_id);
  }
  void OnNewWindowRequested(NewWindowArgs& args) override {
    args.handled = true;  // no windows, even while the host goes away
    if (IViewEventHandler* h = Handler()) h->OnNewWindowRequested(view_id_, args);
  }
  void OnPermissionRequested(PermissionArgs& args) override {
    args.deny = true;  // no permissions, even while the host goes away
    if (IViewEventHandler* h = Handler()) h->OnPermissionRequested(view_id_, args);
  }
  void OnCursorChanged() override {
    if (IViewEventHandler* h = Handler()) h->OnCursorChanged(view_id_);
  }
  void OnAcceleratorKeyPressed(AcceleratorArgs& args) override {
    if (IViewEventHandler* h = Handler()) h->OnAcceleratorKeyPressed(view_id_, args);
  }
  std::optional<WebResourceResponse> OnWebResourceRequested(const WebResourceRequest& request) override {
    if (*link_ == nullptr) return std::nullopt;
    return (*link_)->OnWebResourceRequested(view_id_, request);
  }

 private:
  IViewEventHandler* Handler() const { return *link_ != nullptr ? (*link_)->event_handler() : nullptr; }

  std::shared_ptr<WebViewManager*> link_;
  uint32_t view_id_;
};

}  // namespace

WebViewManager::WebViewManager(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                               host::OverlayChannel& overlay, host::MainThread& main_thread)
    : clock_(clock),
      settings_(settings),
      views_(views),
      overlay_(overlay),
      main_thread_(main_thread),
      link_(std::make_shared<WebViewManager*>(this)) {}

WebViewManager::~WebViewManager() { Shutdown(); }

void WebViewManager::SetRuntime(std::unique_ptr<IWebRuntime> runtime, std::unique_ptr<IUserDataFs> fs) {
  runtime_ = std::move(runtime);
  user_data_fs_ = std::move(fs);
}

void WebViewManager::Shutdown() {
  *link_ = nullptr;
  environment_.reset();
  runtime_.reset();
}

// ---------------------------------------------------------------------------------------------
// Loader and environment

bool WebViewManager::LoadWebView2Loader() {
  main_thread_.CheckOnMainThread();
  env_start_tick_ = clock_.TickMs();
  if (!runtime_) {
    ReportLoaderFailure("load_loader");
    return false;
  }
  switch (runtime_->Load()) {
    case IWebRuntime::LoadResult::kNotFound:
      ReportLoaderFailure("load_loader");
      return false;
    case IWebRuntime::LoadResult::kNoEntryPoint:
      loader_loaded_ = true;
      ReportLoaderFailure("resolve_export");
      return false;
    case IWebRuntime::LoadResult::kLoaded:
      break;
  }
  loader_loaded_ = true;
  return CreateEnvironment();
}

void WebViewManager::ReportLoaderFailure(const char* stage) {
  const uint32_t elapsed = clock_.TickMs() - env_start_tick_;
  qos::Report(qos::EnvironmentEvent(kFail, elapsed, stage));
  NotifyOverlayWebView2Env(kFail, elapsed, stage);
}

std::string WebViewManager::GetAvailableBrowserVersion() {
  return (loader_loaded_ && runtime_) ? runtime_->GetAvailableBrowserVersion() : std::string();
}

bool WebViewManager::CreateEnvironment() {
  if (!loader_loaded_ || !runtime_) return false;
  env_start_tick_ = clock_.TickMs();
  if (user_data_dir_.empty() && user_data_fs_) {
    UserDataDirectories dirs(*user_data_fs_, [this](const std::string& line) { overlay_.SendLog(line); });
    user_data_dir_ = dirs.Select();
    dirs.PurgeStale(user_data_dir_);
  }
  env_creating_ = true;
  std::weak_ptr<WebViewManager*> link = link_;
  const HResult hr = runtime_->CreateEnvironment(
      user_data_dir_, kBrowserArguments, [link](HResult result, std::shared_ptr<IWebEnvironment> env) {
        auto manager = link.lock();
        if (manager && *manager) (*manager)->OnEnvironmentCreated(result, std::move(env));
      });
  if (Failed(hr)) {
    env_creating_ = false;
    const uint32_t elapsed = clock_.TickMs() - env_start_tick_;
    qos::Report(qos::EnvironmentEvent(hr, elapsed, "create_env"));
    overlay_.SendLog(HrForm("CreateCoreWebView2EnvironmentWithOptions", hr));
    NotifyOverlayWebView2Env(hr, elapsed, "create_env");
    return false;
  }
  return true;
}

void WebViewManager::OnEnvironmentCreated(HResult hr, std::shared_ptr<IWebEnvironment> environment) {
  const uint32_t elapsed = clock_.TickMs() - env_start_tick_;
  qos::Report(qos::EnvironmentEvent(hr, elapsed, GetAvailableBrowserVersion()));
  env_creating_ = false;
  NotifyOverlayWebView2Env(hr, elapsed, nullptr);
  if (Succeeded(hr) && environment) {
    overlay_.SendLog("OnEnvironmentCreated success");
    environment_ = std::move(environment);  // the old environment (if any) goes only now
  } else {
    env_retry_tick_ = clock_.TickMs();
    if (env_retry_tick_ == 0) env_retry_tick_ = 1;
    overlay_.SendLog(HrForm("OnEnvironmentCreated failed", Succeeded(hr) ? kUnexpected : hr));
  }
  // Views waited for this outcome: ask for them on the new environment, or, when a recreation
  // failed, on the one still held.
  if (environment_) {
    for (uint32_t id : views_.Ids()) EnsureWebView(id);
  }
}

void WebViewManager::NotifyOverlayWebView2Env(HResult hr, uint32_t cost_ms, const char* stage) {
  if (env_notified_) return;
  env_notified_ = true;
  const std::string version = GetAvailableBrowserVersion();
  const std::string stage_text = stage != nullptr ? stage : "";
  uint32_t result = 0;
  if (stage_text == "load_loader") {
    result = 1;
  } else if (stage_text == "resolve_export") {
    result = 2;
  } else if (Failed(hr) && version.empty()) {
    result = 3;
  }
  overlay_.SendLog(StringPrintf("NotifyOverlayWebView2Env result=%u hr=0x%s cost=%u ver=%s", result,
                                HrHex(hr).c_str(), cost_ms, version.c_str()));
  overlay_.SendEnvironmentNotice(host::EnvironmentResultMsg{result, hr, cost_ms, version});
}

bool WebViewManager::RecreateEnvironment(bool private_dir) {
  if (env_creating_) return false;
  if (private_dir) {
    if (!SwitchToPrivateUserDataDir()) return false;
  } else {
    if (env_recreate_budget_ < 1) return false;
    --env_recreate_budget_;
  }
  overlay_.SendLog(private_dir ? "WebView2 environment recreate begin (private user data dir)"
                               : "WebView2 environment recreate begin");
  // The held environment stays until the new one has arrived (OnEnvironmentCreated swaps).
  if (CreateEnvironment()) return true;
  overlay_.SendLog("WebView2 environment recreate failed to start");
  return false;
}

void WebViewManager::RecreateEnvironmentAfterBrowserExit() {
  // Every view of the environment reports the same exit: the first one starts a new environment
  // (not counted against the recreation budget, which is for environments that fail to work).
  if (!environment_ || env_creating_) return;
  overlay_.SendLog("WebView2 browser process exited, environment recreate begin");
  environment_.reset();
  if (!CreateEnvironment()) overlay_.SendLog("WebView2 environment recreate failed to start");
}

bool WebViewManager::SwitchToPrivateUserDataDir() {
  if (using_private_dir_ || user_data_dir_.empty() || !user_data_fs_) return false;
  UserDataDirectories dirs(*user_data_fs_, [this](const std::string& line) { overlay_.SendLog(line); });
  const std::optional<std::u16string> candidate = dirs.PrivateCandidate(user_data_dir_);
  if (!candidate) return false;
  user_data_dir_ = *candidate;
  using_private_dir_ = true;
  private_dir_requested_ = false;
  for (const host::ViewFacts& view : views_.AllFacts()) {
    ViewWebState* web = Find(view.view_id);
    if (view.kind == host::ViewKind::kWeb && web != nullptr && !web->webview) {
      web->retry_left = kAttempts;
      web->last_failure_tick = 0;
    }
  }
  return true;
}

void WebViewManager::PumpViewCreationRetries() {
  if (env_creating_) return;
  const uint32_t now = clock_.TickMs();
  bool want_private = private_dir_requested_;
  bool want_recreate = false;
  bool lacking = false;
  std::vector<uint32_t> due;
  for (const host::ViewFacts& view : views_.AllFacts()) {
    const ViewWebState* web = Find(view.view_id);
    if (web == nullptr || view.kind != host::ViewKind::kWeb || !view.has_surface || web->webview || web->creating) {
      continue;
    }
    lacking = true;
    if (web->retry_left >= 1 && web->retry_left <= kAttempts - 1 && now - web->last_failure_tick >= kRetryDelayMs) {
      const int32_t failures = kAttempts - web->retry_left;
      if (failures >= 3) want_recreate = true;
      if (failures >= 5) want_private = true;
      due.push_back(view.view_id);
    }
  }
  if (!lacking) return;
  if (environment_) {
    if (due.empty()) return;
    if (want_private && RecreateEnvironment(true)) return;
    if (want_recreate && RecreateEnvironment(false)) return;
    for (uint32_t id : due) EnsureWebView(id);
    return;
  }
  if (now - env_retry_tick_ >= kRetryDelayMs) {
    env_retry_tick_ = now == 0 ? 1 : now;
    RecreateEnvironment(false);
  }
}

// ---------------------------------------------------------------------------------------------
// Controllers

void WebViewManager::EnsureWebView(uint32_t view_id) {
  ViewWebState* web = Find(view_id);
  const std::optional<ViewState> view = views_.Snapshot(view_id);
  if (web == nullptr || !view || view->kind != host::ViewKind::kWeb || !view->has_surface || web->webview ||
      web->creating) {
    return;
  }
  if (settings_.window_system && !settings_.windowed && view->view_window == 0) return;
  if (!environment_ || env_creating_) {
    overlay_.SendLog(ViewForm("EnsureWebView waiting environment", view_id));  // its arrival asks for every view
    return;
  }
  const int32_t epoch = web->creation_epoch = NextCreationEpoch();
  web->creating = true;
  const intptr_t parent = view->view_window;
  std::shared_ptr<IWebEnvironment> environment = environment_;
  std::weak_ptr<WebViewManager*> link = link_;
  const HResult hr = environment->CreateWebView(
      parent, [link, view_id, epoch](HResult result, std::unique_ptr<IWebView> controller) {
        auto manager = link.lock();
        if (manager && *manager) {
          (*manager)->OnCompositionControllerCreated(view_id, epoch, result, std::move(controller));
        } else if (controller) {
          controller->Close();  // the host is gone: nobody will use this view
        }
      },
      [link, view_id, epoch] {
        // A request whose view went away (or was asked for again) before its turn makes nothing.
        auto manager = link.lock();
        return manager && *manager && (*manager)->IsCurrentCreation(view_id, epoch);
      });
  overlay_.SendLog(HrForm("CreateCoreWebView2CompositionController", hr));
  if (Failed(hr)) {
    // A failure is charged only to the incarnation that asked (looked up again after the call).
    ViewWebState* asked = Find(view_id);
    if (asked == nullptr || asked->creation_epoch != epoch) return;
    asked->creating = false;
    OnControllerCreationFailed(view_id, hr);
  }
}

bool WebViewManager::IsCurrentCreation(uint32_t view_id, int32_t epoch) {
  const ViewWebState* web = Find(view_id);
  return web != nullptr && web->creating && web->creation_epoch == epoch;
}

void WebViewManager::OnCompositionControllerCreated(uint32_t view_id, int32_t epoch, HResult hr,
                                                    std::unique_ptr<IWebView> controller) {
  ViewWebState* web = Find(view_id);
  const std::optional<host::ViewFacts> view = views_.Facts(view_id);
  if (web == nullptr || !view || web->creation_epoch != epoch) {
    if (Succeeded(hr) && controller) controller->Close();
    overlay_.SendLog(HrForm("OnCompositionControllerCreated stale callback dropped", hr));
    return;
  }
  web->creating = false;
  if (Failed(hr) || !controller) {
    OnControllerCreationFailed(view_id, Failed(hr) ? hr : kUnexpected);
    return;
  }
  web->retry_left = kAttempts;
  web->last_failure_tick = 0;
  LiveWebObjects previous = TakeLiveObjects(view_id, *web);
  web->web_failed = false;
  web->webview = std::shared_ptr<IWebView>(std::move(controller));
  web->event_sink = std::make_shared<ViewEventSink>(link_, view_id);
  const std::shared_ptr<IWebView> wv = web->webview;
  const uint32_t background = web->background_color;
  Release(previous);
  Configure(view_id, epoch, *wv, view->width, view->height, background);
}

void WebViewManager::Configure(uint32_t view_id, int32_t epoch, IWebView& wv, int32_t width, int32_t height,
                               uint32_t background) {
  ApplySettings(wv);
  wv.SetBounds(width, height);
  ApplyZoomFactor(view_id);
  wv.SetVisible(true);
  ApplyBackgroundColor(wv, background);
  bool scripts_added = false;
  const uint32_t registered = AddEventHandlersAndScripts(view_id, wv, &scripts_added);
  // A view that closed meanwhile had its objects released with it.
  if (!StartFirstNavigation(view_id, epoch, wv, registered, scripts_added)) return;
  overlay_.SendLog(ViewForm("OnCompositionControllerCreated success", view_id));
}

void WebViewManager::ApplySettings(IWebView& wv) {
  // Every step is independent; a failure is logged and the next one runs.
  const auto step = [this](HResult r, const char* text) {
    if (Failed(r)) overlay_.SendLog(HrForm(text, r));
  };
  step(wv.SetDefaultScriptDialogsEnabled(false), "ConfigureDevToolsPolicy AreDefaultScriptDialogsEnabled=FALSE");
  step(wv.SetDevToolsEnabled(false), "ConfigureDevToolsPolicy AreDevToolsEnabled=FALSE");
  step(wv.SetDefaultContextMenusEnabled(false), "ConfigureDevToolsPolicy AreDefaultContextMenusEnabled=FALSE");
  {
    const HResult r = wv.SetBrowserAcceleratorKeysEnabled(false);
    step(r, r == kNoInterface ? "ConfigureDevToolsPolicy requires ICoreWebView2Settings3"
                              : "ConfigureDevToolsPolicy AreBrowserAcceleratorKeysEnabled=FALSE");
  }
  // User agent: the product token is appended once.
  {
    std::u16string agent;
    const HResult read = wv.GetUserAgent(&agent);
    if (Failed(read)) {
      // Without the current value the whole agent would be replaced by the token: skip.
      step(read, "ApplyOverlayUserAgent get_Settings");
    } else {
      if (agent.find(u"FenyraOverlay/") == std::u16string::npos) {
        if (!agent.empty() && agent.back() != u' ') agent.push_back(u' ');
        agent += u"FenyraOverlay/1.1.0.41";
      }
      step(wv.SetUserAgent(agent), "ApplyOverlayUserAgent put_UserAgent");
    }
  }
  step(wv.EnableNetworkEvents(), "DisableHttpCache Network.enable");
  step(wv.SetHttpCacheDisabled(true), "DisableHttpCache Network.setCacheDisabled");
  {
    const HResult r = wv.SetRawPixelBounds();
    if (r == kNoInterface) {
      overlay_.SendLog(HrForm("ConfigureControllerScaling requires ICoreWebView2Controller3", r));
    } else {
      step(wv.SetRasterizationScale(1.0), "ConfigureControllerScaling put_RasterizationScale");
    }
  }
  {
    const HResult r = wv.SetAllowExternalDrop(false);
    step(r, r == kNoInterface ? "DisableExternalDrop requires ICoreWebView2Controller4"
                              : "DisableExternalDrop AllowExternalDrop=FALSE");
  }
}

uint32_t WebViewManager::AddEventHandlersAndScripts(uint32_t view_id, IWebView& wv, bool* scripts_added) {
  // Event handlers, in registration order; each bit records whether the add succeeded.
  const ViewWebState* configured = Find(view_id);
  const std::shared_ptr<IWebViewEvents> sink = configured != nullptr ? configured->event_sink : nullptr;
  wv.SetEventSink(sink.get());
  uint32_t registered = 0;
  const auto add_handlers = [&](std::initializer_list<std::pair<WebEvent, const char*>> handlers) {
    for (const auto& [event, failure_text] : handlers) {
      const HResult r = wv.AddEventHandler(event);
      if (Succeeded(r)) {
        registered |= EventBit(event);
      } else if (failure_text != nullptr) {
        overlay_.SendLog(HrForm(failure_text, r));
      }
    }
  };
  add_handlers({{WebEvent::kWebMessageReceived, nullptr},
                {WebEvent::kProcessFailed, nullptr},
                {WebEvent::kNavigationStarting, nullptr},
                {WebEvent::kNavigationCompleted, nullptr},
                {WebEvent::kDomContentLoaded, "add_DOMContentLoaded"},
                {WebEvent::kNewWindowRequested, "add_NewWindowRequested"},
                {WebEvent::kPermissionRequested, "add_PermissionRequested"}});
  *scripts_added = AddPageScripts(wv);
  add_handlers({{WebEvent::kCursorChanged, nullptr},
                {WebEvent::kAcceleratorKeyPressed, "add_AcceleratorKeyPressed"},
                {WebEvent::kWebResourceRequested, nullptr}});
  return registered;
}

bool WebViewManager::StartFirstNavigation(uint32_t view_id, int32_t epoch, IWebView& wv, uint32_t registered,
                                          bool scripts_added) {
  // Record what was set up, then the first navigation (and the resource filter of mounted content).
  FilterChange filter;
  std::u16string navigate_url;
  std::string failure;
  bool resolve_failed = false;
  // Looked up again: the calls before went out to the browser, and the view may have closed meanwhile.
  ViewWebState* web = Find(view_id);
  const std::optional<ViewState> view = views_.Snapshot(view_id);
  if (web == nullptr || !view || web->creation_epoch != epoch || web->webview.get() != &wv) return false;
  web->registered_events = registered;
  web->scripts_added = scripts_added;
  if ((registered & EventBit(WebEvent::kWebResourceRequested)) != 0 && !web->origin.empty()) {
    filter.Add(web->webview, web->origin + u"/*");
    web->filter_added = true;
  }
  if (!view->url.empty()) {
    std::u16string resolved;
    if (ResolveNavigation(view_id, *web, view->url, &resolved, &filter, &failure)) {
      navigate_url = resolved;
      web->nav_start_tick = clock_.TickMs();
    } else {
      resolve_failed = true;
    }
  }
  ApplyFilterChange(filter);
  if (resolve_failed) ReportContentNavigationFailure(view_id, failure);
  if (!navigate_url.empty()) {
    const HResult r = wv.Navigate(navigate_url);
    if (Failed(r)) overlay_.SendLog(HrForm("OnCompositionControllerCreated Navigate", r));
  }
  return true;
}

void WebViewManager::OnControllerCreationFailed(uint32_t view_id, HResult hr) {
  if (hr == kInvalidState && !using_private_dir_) private_dir_requested_ = true;
  enum class Next { kNone, kAborted, kRetry, kGiveUp };
  int32_t left = 0;
  const Next next = [&] {
    ViewWebState* web = Find(view_id);
    if (web == nullptr) return Next::kNone;
    if (hr == kAbort || (hr == kInvalidState && using_private_dir_)) {
      web->retry_left = 0;
      if (hr == kAbort) return Next::kAborted;
    } else if (web->retry_left > 0) {
      --web->retry_left;
      web->last_failure_tick = clock_.TickMs();
      if (web->last_failure_tick == 0) web->last_failure_tick = 1;
    }
    left = web->retry_left;
    return left <= 0 ? Next::kGiveUp : Next::kRetry;
  }();
  switch (next) {
    case Next::kNone:
      return;
    case Next::kAborted:
      overlay_.SendLog(HrForm("WebView2 controller creation aborted (parent window gone)", hr));
      return;
    case Next::kRetry:
      overlay_.SendLog(StringPrintf("WebView2 controller creation failed, view_id=%u, hr=0x%s, retry_left=%d", view_id,
                                    HrHex(hr).c_str(), left));
      return;
    case Next::kGiveUp:
      GiveUpControllerCreation(view_id, hr);
      return;
  }
}

void WebViewManager::GiveUpControllerCreation(uint32_t view_id, HResult hr) {
  overlay_.SendLog(StringPrintf("WebView2 controller creation gave up, view_id=%u, hr=0x%s, private_udf=%d", view_id,
                                HrHex(hr).c_str(), using_private_dir_ ? 1 : 0));
  if (ViewWebState* web = Find(view_id)) web->web_failed = true;
  const auto code = host::ViewStatusCode::kControllerCreationGaveUp;
  overlay_.SendToOverlay(host::kViewStatus, host::Encode(host::ViewStatus(view_id, code)));
  qos::Report(qos::ViewFailureEvent(hr, view_id, static_cast<uint32_t>(code)));
  NotifyModuleViewEvent(view_id, kModuleViewFailed, 3);
}

WebViewManager::LiveWebObjects WebViewManager::TakeLiveObjects(uint32_t view_id, ViewWebState& web) {
  LiveWebObjects objects;
  objects.webview = std::move(web.webview);
  objects.event_sink = std::move(web.event_sink);
  objects.registered_events = std::exchange(web.registered_events, 0);
  objects.filter_added = std::exchange(web.filter_added, false);
  objects.filter_origin = web.origin.empty() ? content::ViewOrigin(view_id) : web.origin;
  web.webview.reset();
  web.event_sink.reset();
  web.scripts_added = false;
  return objects;
}

void WebViewManager::Release(LiveWebObjects& objects) {
  if (!objects.webview) return;
  IWebView& wv = *objects.webview;
  for (WebEvent e : {WebEvent::kWebMessageReceived, WebEvent::kProcessFailed, WebEvent::kNavigationStarting,
                     WebEvent::kNavigationCompleted, WebEvent::kDomContentLoaded, WebEvent::kNewWindowRequested,
                     WebEvent::kPermissionRequested, WebEvent::kWebResourceRequested, WebEvent::kCursorChanged,
                     WebEvent::kAcceleratorKeyPressed}) {
    if ((objects.registered_events & EventBit(e)) == 0) continue;
    if (e == WebEvent::kWebResourceRequested && objects.filter_added) {
      wv.RemoveWebResourceRequestedFilter(objects.filter_origin + u"/*");
    }
    wv.RemoveEventHandler(e);
  }
  wv.SetEventSink(nullptr);
  wv.SetMemoryUsageTargetLow(true);
  wv.Close();
  objects.webview.reset();
  objects.event_sink.reset();
}

void WebViewManager::OnViewCreated(uint32_t view_id) {
  // A view made again starts with working content; what it mounted and asked for stays.
  states_.Add(view_id).web_failed = false;
  EnsureWebView(view_id);
}

void WebViewManager::OnViewClosing(uint32_t view_id) {
  ViewWebState* web = Find(view_id);
  if (web == nullptr) return;
  LiveWebObjects objects = TakeLiveObjects(view_id, *web);
  // A new incarnation: answers to requests of the old one can never attach to it.
  web->creation_epoch = NextCreationEpoch();
  web->creating = false;
  web->retry_left = kAttempts;
  web->last_failure_tick = 0;
  Release(objects);
}

void WebViewManager::OnViewDestroyed(uint32_t view_id) {
  ViewWebState* web = Find(view_id);
  if (web == nullptr) return;
  LiveWebObjects objects = TakeLiveObjects(view_id, *web);
  states_.Erase(view_id);
  Release(objects);
}

void WebViewManager::OnViewResized(uint32_t view_id) {
  const ViewWebState* web = Find(view_id);
  const std::optional<host::ViewFacts> view = views_.Facts(view_id);
  if (web == nullptr || !view || !web->webview) return;
  const std::shared_ptr<IWebView> wv = web->webview;
  wv->SetBounds(view->width, view->height);
  ApplyZoomFactor(view_id);
}

void WebViewManager::ApplyZoomFactor(uint32_t view_id) {
  ViewWebState* web = Find(view_id);
  const std::optional<host::ViewFacts> view = views_.Facts(view_id);
  if (web == nullptr || !view) return;
  const int32_t w = view->width, h = view->height;
  double zoom = 1.0;
  if (w != 0 && h != 0 && std::abs(h - 2 * w) <= 2) zoom = std::min(h / 700.0, w / 350.0);
  web->zoom_factor = zoom;
  const std::shared_ptr<IWebView> wv = web->webview;
  if (!wv) return;
  const HResult hr = wv->SetZoomFactor(zoom);
  if (Failed(hr)) {
    std::ostringstream text;
    text << "put_ZoomFactor view_id=" << view_id << ", bounds=" << w << "x" << h << ", zoom=" << zoom << ", hr=0x"
         << HrHex(hr);
    overlay_.SendLog(text.str());
  }
  wv->ExecuteScript(Script(PageScript::kAdaptiveScale));
}

void WebViewManager::ApplyBackgroundColor(IWebView& wv, uint32_t argb) {
  const HResult hr = wv.SetDefaultBackgroundColor(argb);
  if (hr == kNoInterface) {
    overlay_.SendLog(HrForm("ApplyBackgroundColor requires ICoreWebView2Controller2", hr));
  } else if (Failed(hr)) {
    overlay_.SendLog(HrForm("ApplyBackgroundColor put_DefaultBackgroundColor", hr));
  }
}

void WebViewManager::SetBackgroundColor(uint32_t view_id, uint32_t argb) {
  ViewWebState* web = Find(view_id);
  if (web == nullptr) return;
  web->background_color = argb;
  if (const std::shared_ptr<IWebView> wv = web->webview) ApplyBackgroundColor(*wv, argb);
}

// ---------------------------------------------------------------------------------------------
// What other subsystems ask of a view's web content

std::shared_ptr<IWebView> WebViewManager::WebViewOf(uint32_t view_id) const {
  const ViewWebState* web = Find(view_id);
  return web != nullptr ? web->webview : nullptr;
}

bool WebViewManager::HasWorkingContent(uint32_t view_id) const {
  const ViewWebState* web = Find(view_id);
  return web != nullptr && web->webview && !web->web_failed;
}

bool WebViewManager::IsFailed(uint32_t view_id) const {
  const ViewWebState* web = Find(view_id);
  return web != nullptr && web->web_failed;
}

void WebViewManager::SetFailed(uint32_t view_id, bool failed) {
  if (ViewWebState* web = Find(view_id)) web->web_failed = failed;
}

uint32_t WebViewManager::NavigationStartTick(uint32_t view_id) const {
  const ViewWebState* web = Find(view_id);
  return web != nullptr ? web->nav_start_tick : 0;
}

// ---------------------------------------------------------------------------------------------
// Page scripts

bool WebViewManager::AddPageScripts(IWebView& wv) {
  std::vector<PageScript> scripts = {PageScript::kAdaptiveScale, PageScript::kDirtyReporting, PageScript::kImeFocus,
                                     PageScript::kNativeDragGuard, PageScript::kSelectionCopy};
  if (settings_.windowed) scripts.push_back(PageScript::kWindowedFocus);
  bool added = false;
  bool first = true;
  for (PageScript script : scripts) {
    const std::u16string text = Script(script);
    const HResult hr = wv.AddScriptToExecuteOnDocumentCreated(text);
    if (first) added = Succeeded(hr);
    first = false;
    wv.ExecuteScript(text);
  }
  return added;
}

void WebViewManager::RunPageScripts(uint32_t view_id) {
  const std::shared_ptr<IWebView> wv = WebViewOf(view_id);
  if (!wv) return;
  std::vector<PageScript> scripts = {PageScript::kDirtyReporting, PageScript::kImeFocus, PageScript::kNativeDragGuard,
                                     PageScript::kSelectionCopy};
  if (settings_.windowed) scripts.push_back(PageScript::kWindowedFocus);
  for (PageScript script : scripts) wv->ExecuteScript(Script(script));
}

// ---------------------------------------------------------------------------------------------
// Navigation and resources

void WebViewManager::NavigateView(uint32_t view_id, const std::u16string& url) {
  std::shared_ptr<IWebView> target;
  std::u16string resolved;
  FilterChange filter;
  std::string failure;
  bool resolve_failed = false;
  ViewWebState* web = Find(view_id);
  if (web == nullptr) return;
  web->nav_start_tick = clock_.TickMs();
  // Without a web view yet, the controller's creation navigates later.
  if (web->webview && !url.empty()) {
    if (ResolveNavigation(view_id, *web, url, &resolved, &filter, &failure)) {
      target = web->webview;
    } else {
      resolve_failed = true;
    }
  }
  ApplyFilterChange(filter);
  if (resolve_failed) ReportContentNavigationFailure(view_id, failure);
  if (!target) return;
  const HResult hr = target->Navigate(resolved);
  if (Failed(hr)) overlay_.SendLog(HrForm("NavigateView", hr));
}

bool WebViewManager::ResolveNavigation(uint32_t view_id, ViewWebState& web, const std::u16string& url,
                                       std::u16string* resolved, FilterChange* filter, std::string* failure) {
  const uint32_t start = clock_.TickMs();
  const content::ContentNavigation nav =
      content::ResolveContentNavigation(view_id, url, *web.mount, content::BuiltInKeySet());
  if (!nav.ok) {
    *failure = nav.failure_detail;
    return false;
  }
  if (web.webview && web.filter_added) {
    filter->Remove(web.webview, (web.origin.empty() ? content::ViewOrigin(view_id) : web.origin) + u"/*");
    web.filter_added = false;
  }
  if (!nav.mounted) {
    web.origin.clear();
  } else {
    web.origin = nav.origin;
    if (web.webview) {
      filter->Add(web.webview, web.origin + u"/*");
      web.filter_added = true;
    }
    qos::Report(qos::MountEvent(false, clock_.TickMs() - start, view_id, nav.source_label));
  }
  *resolved = nav.url;
  return true;
}

void WebViewManager::ApplyFilterChange(const FilterChange& change) {
  if (!change.webview) return;
  for (const auto& [add, pattern] : change.steps) {
    if (add) {
      change.webview->AddWebResourceRequestedFilter(pattern);
    } else {
      change.webview->RemoveWebResourceRequestedFilter(pattern);
    }
  }
}

void WebViewManager::ReportContentNavigationFailure(uint32_t view_id, const std::string& detail) {
  overlay_.SendLog(StringPrintf("Package navigation failed, view_id=%u", view_id) +
                   (detail.empty() ? std::string() : ", detail=" + detail));
  FilterChange filter;
  if (ViewWebState* web = Find(view_id)) {
    web->web_failed = true;
    if (web->webview && web->filter_added) {
      filter.Remove(web->webview, (web->origin.empty() ? content::ViewOrigin(view_id) : web->origin) + u"/*");
      web->filter_added = false;
    }
    web->mount->Reset();
    web->origin.clear();
  }
  ApplyFilterChange(filter);
  const auto code = host::ViewStatusCode::kContentNavigationFailed;
  overlay_.SendToOverlay(host::kViewStatus, host::Encode(host::ViewStatus(view_id, code)));
  qos::Report(qos::MountEvent(true, 0, view_id, detail));
  qos::Report(qos::ViewFailureEvent(0, view_id, static_cast<uint32_t>(code)));
}

std::optional<WebResourceResponse> WebViewManager::OnWebResourceRequested(uint32_t view_id,
                                                                         const WebResourceRequest& request) {
  if (!environment_) return std::nullopt;
  const ViewWebState* web = Find(view_id);
  if (web == nullptr || web->origin.empty()) return std::nullopt;
  const std::optional<std::string> path = content::RequestPathForOrigin(request.uri, web->origin);
  if (!path) return std::nullopt;
  std::optional<content::ResourceResponse> found = content::LookupResource(*web->mount, *path);
  if (!found) return std::nullopt;
  WebResourceResponse response;
  response.status = found->status;
  response.reason = std::string(content::ReasonPhrase(found->status));
  response.headers = content::ResponseHeaders(found->content_type, found->policy);
  response.body = std::move(found->body);
  return response;
}

}  // namespace vyo::web
