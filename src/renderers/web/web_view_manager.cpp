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
  IViewEventHandler* Handler() const { return *link_ != nullptr ? &(*link_)->event_handler() : nullptr; }

  std::shared_ptr<WebViewManager*> link_;
  uint32_t view_id_;
};

}  // namespace

WebViewManager::WebViewManager(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                               host::OverlayChannel& overlay, host::MainThread& main_thread,
                               IWebViewManagerDelegate& delegate)
    : clock_(clock),
      settings_(settings),
      views_(views),
      overlay_(overlay),
      main_thread_(main_thread),
      delegate_(delegate),
      link_(std::make_shared<WebViewManager*>(this)),
      environment_(clock, overlay, *this),
      mounted_(clock) {}

WebViewManager::~WebViewManager() { Shutdown(); }

void WebViewManager::SetRuntime(std::unique_ptr<IWebRuntime> runtime, std::unique_ptr<IUserDataFs> fs) {
  environment_.SetRuntime(std::move(runtime), std::move(fs));
}

void WebViewManager::Shutdown() {
  *link_ = nullptr;
  environment_.Shutdown();
}

// ---------------------------------------------------------------------------------------------
// Loader and environment

bool WebViewManager::LoadWebView2Loader() {
  main_thread_.CheckOnMainThread();
  return environment_.Load();
}

void WebViewManager::OnEnvironmentOutcome() {
  for (uint32_t id : views_.Ids()) EnsureWebView(id);
}

void WebViewManager::OnPrivateUserDataDir() {
  for (const host::ViewFacts& view : views_.AllFacts()) {
    ViewWebState* web = Find(view.view_id);
    if (view.kind == host::ViewKind::kWeb && web != nullptr && !web->webview) {
      web->retry_left = kAttempts;
      web->last_failure_tick = 0;
    }
  }
}

void WebViewManager::PumpViewCreationRetries() {
  if (environment_.creating()) return;
  const uint32_t now = clock_.TickMs();
  bool want_private = environment_.private_dir_requested();
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
  if (environment_.environment()) {
    if (due.empty()) return;
    if (want_private && environment_.Recreate(true)) return;
    if (want_recreate && environment_.Recreate(false)) return;
    for (uint32_t id : due) EnsureWebView(id);
    return;
  }
  if (environment_.RetryDue(now, kRetryDelayMs)) environment_.Recreate(false);
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
  if (!environment_.environment() || environment_.creating()) {
    overlay_.SendLog(ViewForm("EnsureWebView waiting environment", view_id));  // its arrival asks for every view
    return;
  }
  const int32_t epoch = web->creation_epoch = NextCreationEpoch();
  web->creating = true;
  const intptr_t parent = view->view_window;
  std::shared_ptr<IWebEnvironment> environment = environment_.environment();
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
  if ((registered & EventBit(WebEvent::kWebResourceRequested)) != 0 && !web->content.origin.empty()) {
    filter.Add(web->webview, web->content.origin + u"/*");
    web->content.filter_added = true;
  }
  if (!view->url.empty()) {
    std::u16string resolved;
    if (mounted_.Resolve(view_id, web->content, web->webview, view->url, &resolved, &filter, &failure)) {
      navigate_url = resolved;
      web->nav_start_tick = clock_.TickMs();
    } else {
      resolve_failed = true;
    }
  }
  filter.Apply();
  if (resolve_failed) ReportContentNavigationFailure(view_id, failure);
  if (!navigate_url.empty()) {
    const HResult r = wv.Navigate(navigate_url);
    if (Failed(r)) overlay_.SendLog(HrForm("OnCompositionControllerCreated Navigate", r));
  }
  return true;
}

void WebViewManager::OnControllerCreationFailed(uint32_t view_id, HResult hr) {
  if (hr == kInvalidState) environment_.NoteProfileInUse();
  enum class Next { kNone, kAborted, kRetry, kGiveUp };
  int32_t left = 0;
  const Next next = [&] {
    ViewWebState* web = Find(view_id);
    if (web == nullptr) return Next::kNone;
    if (hr == kAbort || (hr == kInvalidState && environment_.using_private_dir())) {
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
                                HrHex(hr).c_str(), environment_.using_private_dir() ? 1 : 0));
  if (ViewWebState* web = Find(view_id)) web->web_failed = true;
  const auto code = host::ViewStatusCode::kControllerCreationGaveUp;
  overlay_.SendToOverlay(host::kViewStatus, host::Encode(host::ViewStatus(view_id, code)));
  qos::Report(qos::ViewFailureEvent(hr, view_id, static_cast<uint32_t>(code)));
  delegate_.OnModuleViewEvent(view_id, kModuleViewFailed, 3);
}

WebViewManager::LiveWebObjects WebViewManager::TakeLiveObjects(uint32_t view_id, ViewWebState& web) {
  LiveWebObjects objects;
  objects.webview = std::move(web.webview);
  objects.event_sink = std::move(web.event_sink);
  objects.registered_events = std::exchange(web.registered_events, 0);
  objects.filter_pattern = MountedContent::FilterPattern(view_id, web.content);
  objects.filter_added = std::exchange(web.content.filter_added, false);
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
      wv.RemoveWebResourceRequestedFilter(objects.filter_pattern);
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
    if (mounted_.Resolve(view_id, web->content, web->webview, url, &resolved, &filter, &failure)) {
      target = web->webview;
    } else {
      resolve_failed = true;
    }
  }
  filter.Apply();
  if (resolve_failed) ReportContentNavigationFailure(view_id, failure);
  if (!target) return;
  const HResult hr = target->Navigate(resolved);
  if (Failed(hr)) overlay_.SendLog(HrForm("NavigateView", hr));
}

void WebViewManager::ReportContentNavigationFailure(uint32_t view_id, const std::string& detail) {
  overlay_.SendLog(StringPrintf("Package navigation failed, view_id=%u", view_id) +
                   (detail.empty() ? std::string() : ", detail=" + detail));
  FilterChange filter;
  if (ViewWebState* web = Find(view_id)) {
    web->web_failed = true;
    MountedContent::Forget(view_id, web->content, web->webview, &filter);
  }
  filter.Apply();
  const auto code = host::ViewStatusCode::kContentNavigationFailed;
  overlay_.SendToOverlay(host::kViewStatus, host::Encode(host::ViewStatus(view_id, code)));
  qos::Report(qos::MountEvent(true, 0, view_id, detail));
  qos::Report(qos::ViewFailureEvent(0, view_id, static_cast<uint32_t>(code)));
}

std::optional<WebResourceResponse> WebViewManager::OnWebResourceRequested(uint32_t view_id,
                                                                         const WebResourceRequest& request) {
  if (!environment_.environment()) return std::nullopt;
  const ViewWebState* web = Find(view_id);
  if (web == nullptr) return std::nullopt;
  return MountedContent::Answer(web->content, request);
}

}  // namespace vyo::web
