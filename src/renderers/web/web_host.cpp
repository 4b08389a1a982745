// The application object's web runtime side: loading the runtime and creating the shared
// environment (with its once-only notice to the overlay, retries and recreations), choosing the
// user data directory, asking for and configuring each view's controller, and navigating views to
// plain or mounted content whose requests are answered here.
#include <algorithm>
#include <cmath>
#include <sstream>

#include "base/text.h"
#include "content/resource.h"
#include "host/app.h"
#include "base/log.h"
#include "platform/process.h"
#include "qos/sink.h"
#include "renderers/web/cdp/cdp_runtime.h"

namespace vyo::host {
namespace {

using web::HResult;

// The browser arguments every environment is created with: a 32 MiB disk cache and three browser
// features switched off.
constexpr char kBrowserArguments[] =
    "--disk-cache-size=33554432 --disable-features=SpareRendererForSitePerProcess,MultipleSpareRenderers,"
    "AudioServiceOutOfProcess";

constexpr uint32_t kRetryDelayMs = 400;
constexpr int32_t kAttempts = 8;

std::string Hex(HResult hr) { return StringPrintf("%x", static_cast<uint32_t>(hr)); }
std::string HrForm(const std::string& text, HResult hr) { return text + ", hr=0x" + Hex(hr); }
std::string ViewForm(const std::string& text, uint32_t view_id) { return StringPrintf("%s, view_id=%u", text.c_str(), view_id); }

uint32_t EventBit(web::WebEvent e) { return 1u << static_cast<uint32_t>(e); }

}  // namespace

void WebViewHostApp::SetWebRuntime(std::unique_ptr<web::IWebRuntime> runtime, std::unique_ptr<web::IUserDataFs> fs) {
  web_runtime_ = std::move(runtime);
  user_data_fs_ = std::move(fs);
}

// ---------------------------------------------------------------------------------------------
// Loader and environment

bool WebViewHostApp::LoadWebView2Loader() {
  env_start_tick_ = clock_.TickMs();
  if (!web_runtime_ && main_wait_) {
    // The real runtime: a browser driven over the DevTools protocol, answering on this thread.
    platform::MainThreadWait* wait = main_wait_.get();
    web_runtime_ = web::cdp::CreateRuntime([wait](std::function<void()> task) { wait->Post(std::move(task)); });
    user_data_fs_ = platform::CreateUserDataFs();
  }
  if (!web_runtime_) {
    ReportLoaderFailure("load_loader");
    return false;
  }
  switch (web_runtime_->Load()) {
    case web::IWebRuntime::LoadResult::kNotFound:
      ReportLoaderFailure("load_loader");
      return false;
    case web::IWebRuntime::LoadResult::kNoEntryPoint:
      loader_loaded_ = true;
      ReportLoaderFailure("resolve_export");
      return false;
    case web::IWebRuntime::LoadResult::kLoaded:
      break;
  }
  loader_loaded_ = true;
  return CreateEnvironment();
}

void WebViewHostApp::ReportLoaderFailure(const char* stage) {
  const uint32_t elapsed = clock_.TickMs() - env_start_tick_;
  qos::Report(21, {web::kFail, static_cast<int32_t>(elapsed)}, {stage});
  NotifyOverlayWebView2Env(web::kFail, elapsed, stage);
}

std::string WebViewHostApp::GetAvailableBrowserVersion() {
  return (loader_loaded_ && web_runtime_) ? web_runtime_->GetAvailableBrowserVersion() : std::string();
}

bool WebViewHostApp::CreateEnvironment() {
  if (!loader_loaded_ || !web_runtime_) return false;
  env_start_tick_ = clock_.TickMs();
  if (user_data_dir_.empty() && user_data_fs_) {
    web::UserDataDirectories dirs(*user_data_fs_, [this](const std::string& line) { SendLog(line); });
    user_data_dir_ = dirs.Select();
    dirs.PurgeStale(user_data_dir_);
  }
  env_creating_ = true;
  std::weak_ptr<WebViewHostApp*> link = app_link_;
  const HResult hr = web_runtime_->CreateEnvironment(
      user_data_dir_, kBrowserArguments, [link](HResult result, std::shared_ptr<web::IWebEnvironment> env) {
        auto app = link.lock();
        if (app && *app) (*app)->OnEnvironmentCreated(result, std::move(env));
      });
  if (web::Failed(hr)) {
    env_creating_ = false;
    const uint32_t elapsed = clock_.TickMs() - env_start_tick_;
    qos::Report(21, {hr, static_cast<int32_t>(elapsed)}, {"create_env"});
    SendLog(HrForm("CreateCoreWebView2EnvironmentWithOptions", hr));
    NotifyOverlayWebView2Env(hr, elapsed, "create_env");
    return false;
  }
  return true;
}

void WebViewHostApp::OnEnvironmentCreated(HResult hr, std::shared_ptr<web::IWebEnvironment> environment) {
  const uint32_t elapsed = clock_.TickMs() - env_start_tick_;
  qos::Report(21, {hr, static_cast<int32_t>(elapsed)}, {GetAvailableBrowserVersion()});
  env_creating_ = false;
  NotifyOverlayWebView2Env(hr, elapsed, nullptr);
  const bool arrived = web::Succeeded(hr) && environment;
  if (arrived) {
    SendLog("OnEnvironmentCreated success");
    environment_ = std::move(environment);  // the old environment (if any) goes only now
  } else {
    env_retry_tick_ = clock_.TickMs();
    if (env_retry_tick_ == 0) env_retry_tick_ = 1;
    SendLog(HrForm("OnEnvironmentCreated failed", web::Succeeded(hr) ? web::kUnexpected : hr));
  }
  // Views waited for this outcome: ask for them on the new environment, or, when a recreation
  // failed, on the one still held.
  if (environment_) {
    std::vector<uint32_t> ids;
    {
      std::lock_guard<std::recursive_mutex> lock(views_lock_);
      for (const auto& entry : views_) ids.push_back(entry.first);
    }
    for (uint32_t id : ids) EnsureWebView(id);
  }
}

void WebViewHostApp::NotifyOverlayWebView2Env(HResult hr, uint32_t cost_ms, const char* stage) {
  int32_t expected = 0;
  if (!env_notified_.compare_exchange_strong(expected, 1)) return;
  const std::string version = GetAvailableBrowserVersion();
  const std::string stage_text = stage != nullptr ? stage : "";
  uint32_t result = 0;
  if (stage_text == "load_loader") {
    result = 1;
  } else if (stage_text == "resolve_export") {
    result = 2;
  } else if (web::Failed(hr) && version.empty()) {
    result = 3;
  }
  SendLog(StringPrintf("NotifyOverlayWebView2Env result=%u hr=0x%s cost=%u ver=%s", result, Hex(hr).c_str(), cost_ms,
                       version.c_str()));
  const EnvironmentResultMsg message{result, hr, cost_ms, version};
  if (!SendToOverlay(kEnvironmentResult, Encode(message))) {
    // Kept until the pipe writer runs.
    pending_env_notice_.pending = true;
    pending_env_notice_.message = message;
  }
}

bool WebViewHostApp::RecreateEnvironment(bool private_dir) {
  if (env_creating_) return false;
  if (private_dir) {
    if (!SwitchToPrivateUserDataDir()) return false;
  } else {
    if (env_recreate_budget_ < 1) return false;
    --env_recreate_budget_;
  }
  SendLog(private_dir ? "WebView2 environment recreate begin (private user data dir)"
                      : "WebView2 environment recreate begin");
  // The held environment stays until the new one has arrived (OnEnvironmentCreated swaps).
  if (CreateEnvironment()) return true;
  SendLog("WebView2 environment recreate failed to start");
  return false;
}

bool WebViewHostApp::SwitchToPrivateUserDataDir() {
  if (using_private_dir_ || user_data_dir_.empty() || !user_data_fs_) return false;
  web::UserDataDirectories dirs(*user_data_fs_, [this](const std::string& line) { SendLog(line); });
  const std::optional<std::u16string> candidate = dirs.PrivateCandidate(user_data_dir_);
  if (!candidate) return false;
  user_data_dir_ = *candidate;
  using_private_dir_ = true;
  private_dir_requested_ = false;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    for (auto& [id, view] : views_) {
      if (view.kind == 0 && !view.webview) {
        view.retry_left = kAttempts;
        view.last_failure_tick = 0;
      }
    }
  }
  return true;
}

void WebViewHostApp::PumpViewCreationRetries() {
  if (env_creating_) return;
  const uint32_t now = clock_.TickMs();
  bool want_private = private_dir_requested_;
  bool want_recreate = false;
  bool lacking = false;
  std::vector<uint32_t> due;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    for (const auto& [id, view] : views_) {
      if (view.kind != 0 || !view.has_surface || view.webview || view.creating) continue;
      lacking = true;
      if (view.retry_left >= 1 && view.retry_left <= kAttempts - 1 && now - view.last_failure_tick >= kRetryDelayMs) {
        const int32_t failures = kAttempts - view.retry_left;
        if (failures >= 3) want_recreate = true;
        if (failures >= 5) want_private = true;
        due.push_back(id);
      }
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

void WebViewHostApp::EnsureWebView(uint32_t view_id) {
  int32_t epoch = 0;
  intptr_t parent = 0;
  std::shared_ptr<web::IWebEnvironment> environment;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    ViewState* view = FindViewLocked(view_id);
    if (view == nullptr || view->kind != 0 || !view->has_surface || view->webview || view->creating) return;
    if (platform::HasWindowSystem() && !windowed_ && view->view_window == 0) return;
    if (!environment_ || env_creating_) {
      // No environment yet, or a new one on its way: its arrival asks for every view.
      SendLog(ViewForm("EnsureWebView waiting environment", view_id));
      return;
    }
    environment = environment_;
    epoch = ++view->creation_epoch;
    view->creating = true;
    parent = view->view_window;
  }
  std::weak_ptr<WebViewHostApp*> link = app_link_;
  const HResult hr = environment->CreateView(
      parent, [link, view_id, epoch](HResult result, std::unique_ptr<web::IWebView> controller) {
        auto app = link.lock();
        if (app && *app) {
          (*app)->OnCompositionControllerCreated(view_id, epoch, result, std::move(controller));
        } else if (controller) {
          controller->Close();  // the host is gone: nobody will use this view
        }
      });
  SendLog(HrForm("CreateCoreWebView2CompositionController", hr));
  if (web::Failed(hr)) {
    bool current = false;
    {
      std::lock_guard<std::recursive_mutex> lock(views_lock_);
      if (ViewState* view = FindViewLocked(view_id); view != nullptr && view->creation_epoch == epoch) {
        view->creating = false;
        current = true;
      }
    }
    // A failure is charged only to the incarnation that asked.
    if (current) OnControllerCreationFailed(view_id, hr);
  }
}

void WebViewHostApp::OnCompositionControllerCreated(uint32_t view_id, int32_t epoch, HResult hr,
                                                    std::unique_ptr<web::IWebView> controller) {
  std::shared_ptr<web::IWebView> navigate_target;
  std::u16string navigate_url;
  bool resolve_failed = false;
  {
    std::unique_lock<std::recursive_mutex> lock(views_lock_);
    ViewState* view = FindViewLocked(view_id);
    if (view == nullptr || view->creation_epoch != epoch) {
      lock.unlock();
      if (web::Succeeded(hr) && controller) controller->Close();
      SendLog(HrForm("OnCompositionControllerCreated stale callback dropped", hr));
      return;
    }
    view->creating = false;
    if (web::Failed(hr) || !controller) {
      lock.unlock();
      OnControllerCreationFailed(view_id, web::Failed(hr) ? hr : web::kUnexpected);
      return;
    }
    view->retry_left = kAttempts;
    view->last_failure_tick = 0;
    view->last_create_hr = 0;
    ReleaseWebObjectsLocked(*view);
    view->web_failed = false;
    view->webview = std::shared_ptr<web::IWebView>(std::move(controller));
    web::IWebView& wv = *view->webview;

    // Settings: every step is independent; a failure is logged and the next one runs.
    const auto step = [this](HResult r, const char* text) {
      if (web::Failed(r)) SendLog(HrForm(text, r));
    };
    step(wv.SetDefaultScriptDialogsEnabled(false), "ConfigureDevToolsPolicy AreDefaultScriptDialogsEnabled=FALSE");
    step(wv.SetDevToolsEnabled(false), "ConfigureDevToolsPolicy AreDevToolsEnabled=FALSE");
    step(wv.SetDefaultContextMenusEnabled(false), "ConfigureDevToolsPolicy AreDefaultContextMenusEnabled=FALSE");
    {
      const HResult r = wv.SetBrowserAcceleratorKeysEnabled(false);
      step(r, r == web::kNoInterface ? "ConfigureDevToolsPolicy requires ICoreWebView2Settings3"
                                     : "ConfigureDevToolsPolicy AreBrowserAcceleratorKeysEnabled=FALSE");
    }
    // User agent: the product token is appended once.
    {
      std::u16string agent;
      const HResult read = wv.GetUserAgent(&agent);
      if (web::Failed(read)) {
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
    step(wv.CallDevToolsProtocolMethod("Network.enable", "{}"), "DisableHttpCache Network.enable");
    step(wv.CallDevToolsProtocolMethod("Network.setCacheDisabled", "{\"cacheDisabled\":true}"),
         "DisableHttpCache Network.setCacheDisabled");
    step(wv.CallDevToolsProtocolMethod("Input.enable", "{}"), "EnableInputDomain Input.enable");
    {
      const HResult r = wv.SetRawPixelBounds();
      if (r == web::kNoInterface) {
        SendLog(HrForm("ConfigureControllerScaling requires ICoreWebView2Controller3", r));
      } else {
        step(wv.SetRasterizationScale(1.0), "ConfigureControllerScaling put_RasterizationScale");
      }
    }
    {
      const HResult r = wv.SetAllowExternalDrop(false);
      step(r, r == web::kNoInterface ? "DisableExternalDrop requires ICoreWebView2Controller4"
                                     : "DisableExternalDrop AllowExternalDrop=FALSE");
    }
    wv.SetBounds(view->width, view->height);
    ApplyZoomFactorLocked(*view);
    wv.SetVisible(true);
    ApplyBackgroundColorLocked(*view);

    // Event handlers, in registration order; each flag records whether the add succeeded.
    view->event_sink = std::make_shared<ViewEventSink>(app_link_, view_id);
    wv.SetEventSink(view->event_sink.get());
    const std::pair<web::WebEvent, const char*> handlers[] = {
        {web::WebEvent::kWebMessageReceived, nullptr},
        {web::WebEvent::kProcessFailed, nullptr},
        {web::WebEvent::kNavigationStarting, nullptr},
        {web::WebEvent::kNavigationCompleted, nullptr},
        {web::WebEvent::kDomContentLoaded, "add_DOMContentLoaded"},
        {web::WebEvent::kNewWindowRequested, "add_NewWindowRequested"},
        {web::WebEvent::kPermissionRequested, "add_PermissionRequested"},
    };
    for (const auto& [event, failure_text] : handlers) {
      const HResult r = wv.AddEventHandler(event);
      if (web::Succeeded(r)) {
        view->registered_events |= EventBit(event);
      } else if (failure_text != nullptr) {
        SendLog(HrForm(failure_text, r));
      }
    }
    AddPageScriptsLocked(*view);
    for (const auto& [event, failure_text] :
         {std::pair<web::WebEvent, const char*>{web::WebEvent::kCursorChanged, nullptr},
          {web::WebEvent::kAcceleratorKeyPressed, "add_AcceleratorKeyPressed"},
          {web::WebEvent::kWebResourceRequested, nullptr}}) {
      const HResult r = wv.AddEventHandler(event);
      if (web::Succeeded(r)) {
        view->registered_events |= EventBit(event);
        if (event == web::WebEvent::kWebResourceRequested && !view->origin.empty()) AddResourceFilterLocked(*view);
      } else if (failure_text != nullptr) {
        SendLog(HrForm(failure_text, r));
      }
    }

    // First navigation.
    if (!view->url.empty()) {
      std::u16string resolved;
      if (ResolveNavigationLocked(*view, view->url, &resolved)) {
        navigate_target = view->webview;
        navigate_url = resolved;
        view->nav_start_tick = clock_.TickMs();
        view->nav_complete_tick = 0;
      } else {
        resolve_failed = true;
      }
    }
  }
  if (navigate_target) {
    const HResult r = navigate_target->Navigate(navigate_url);
    if (web::Failed(r)) SendLog(HrForm("OnCompositionControllerCreated Navigate", r));
  }
  // A failed first resolution was reported as a content navigation failure; the popup manager,
  // once it exists, is told too.
  (void)resolve_failed;
  SendLog(ViewForm("OnCompositionControllerCreated success", view_id));
}

void WebViewHostApp::OnControllerCreationFailed(uint32_t view_id, HResult hr) {
  if ((hr == web::kBusy || hr == web::kInvalidState) && !busy_diagnostics_done_) busy_diagnostics_done_ = true;
  if (hr == web::kInvalidState && !using_private_dir_) private_dir_requested_ = true;
  bool give_up = false;
  int32_t left = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    ViewState* view = FindViewLocked(view_id);
    if (view == nullptr) return;
    view->last_create_hr = hr;
    if (hr == web::kAbort || (hr == web::kInvalidState && using_private_dir_)) {
      view->retry_left = 0;
      if (hr == web::kAbort) {
        SendLog(HrForm("WebView2 controller creation aborted (parent window gone)", hr));
        return;
      }
    } else if (view->retry_left > 0) {
      --view->retry_left;
      view->last_failure_tick = clock_.TickMs();
      if (view->last_failure_tick == 0) view->last_failure_tick = 1;
    }
    left = view->retry_left;
    give_up = left <= 0;
  }
  if (!give_up) {
    SendLog(StringPrintf("WebView2 controller creation failed, view_id=%u, hr=0x%s, retry_left=%d", view_id,
                         Hex(hr).c_str(), left));
    return;
  }
  GiveUpControllerCreation(view_id, hr);
}

void WebViewHostApp::GiveUpControllerCreation(uint32_t view_id, HResult hr) {
  SendLog(StringPrintf("WebView2 controller creation gave up, view_id=%u, hr=0x%s, private_udf=%d", view_id,
                       Hex(hr).c_str(), using_private_dir_ ? 1 : 0));
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    if (ViewState* view = FindViewLocked(view_id)) view->web_failed = true;
  }
  SendToOverlay(kViewStatus, Encode(ViewStatusMsg{view_id, 3}));
  qos::Report(43, {hr, 0, static_cast<int32_t>(view_id), 3});
}

void WebViewHostApp::ReleaseWebObjectsLocked(ViewState& view) {
  if (!view.webview) {
    view.registered_events = 0;
    view.scripts_added = false;
    view.filter_added = false;
    return;
  }
  web::IWebView& wv = *view.webview;
  for (web::WebEvent e : {web::WebEvent::kWebMessageReceived, web::WebEvent::kProcessFailed,
                          web::WebEvent::kNavigationStarting, web::WebEvent::kNavigationCompleted,
                          web::WebEvent::kDomContentLoaded, web::WebEvent::kNewWindowRequested,
                          web::WebEvent::kPermissionRequested, web::WebEvent::kWebResourceRequested,
                          web::WebEvent::kCursorChanged, web::WebEvent::kAcceleratorKeyPressed}) {
    if ((view.registered_events & EventBit(e)) == 0) continue;
    if (e == web::WebEvent::kWebResourceRequested) RemoveResourceFilterLocked(view);
    wv.RemoveEventHandler(e);
  }
  view.registered_events = 0;
  view.scripts_added = false;
  view.filter_added = false;
  wv.SetEventSink(nullptr);
  wv.SetMemoryUsageTargetLow(true);
  wv.Close();
  view.webview.reset();
  view.event_sink.reset();
}

void WebViewHostApp::ApplyZoomFactorLocked(ViewState& view) {
  const int32_t w = view.width, h = view.height;
  double zoom = 1.0;
  if (w != 0 && h != 0 && std::abs(h - 2 * w) <= 2) zoom = std::min(h / 700.0, w / 350.0);
  view.zoom_factor = zoom;
  if (!view.webview) return;
  const HResult hr = view.webview->SetZoomFactor(zoom);
  if (web::Failed(hr)) {
    std::ostringstream text;
    text << "put_ZoomFactor view_id=" << view.view_id << ", bounds=" << w << "x" << h << ", zoom=" << zoom
         << ", hr=0x" << Hex(hr);
    SendLog(text.str());
  }
  RunAdaptiveScaleScriptLocked(view);
}

void WebViewHostApp::ApplyBackgroundColorLocked(ViewState& view) {
  if (!view.webview) return;
  const HResult hr = view.webview->SetDefaultBackgroundColor(view.background_color);
  if (hr == web::kNoInterface) {
    SendLog(HrForm("ApplyBackgroundColor requires ICoreWebView2Controller2", hr));
  } else if (web::Failed(hr)) {
    SendLog(HrForm("ApplyBackgroundColor put_DefaultBackgroundColor", hr));
  }
}

// ---------------------------------------------------------------------------------------------
// Navigation and resources

void WebViewHostApp::NavigateView(uint32_t view_id, const std::u16string& url) {
  std::shared_ptr<web::IWebView> target;
  std::u16string resolved;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    ViewState* view = FindViewLocked(view_id);
    if (view == nullptr) return;
    view->url = url;
    view->nav_start_tick = clock_.TickMs();
    view->nav_complete_tick = 0;
    if (!view->webview || url.empty()) return;  // the controller's creation navigates later
    if (!ResolveNavigationLocked(*view, url, &resolved)) return;
    target = view->webview;
  }
  const HResult hr = target->Navigate(resolved);
  if (web::Failed(hr)) SendLog(HrForm("NavigateView", hr));
}

bool WebViewHostApp::ResolveNavigationLocked(ViewState& view, const std::u16string& url, std::u16string* resolved) {
  const uint32_t start = clock_.TickMs();
  const content::ContentNavigation nav =
      content::ResolveContentNavigation(view.view_id, url, *view.mount, content::BuiltInKeySet());
  if (!nav.ok) {
    ReportContentNavigationFailure(view.view_id, nav.failure_detail);
    return false;
  }
  if (!nav.mounted) {
    RemoveResourceFilterLocked(view);
    view.origin.clear();
  } else {
    view.origin = nav.origin;
    AddResourceFilterLocked(view);
    qos::Report(42, {0, static_cast<int32_t>(clock_.TickMs() - start), static_cast<int32_t>(view.view_id)},
                {nav.source_label});
  }
  *resolved = nav.url;
  return true;
}

void WebViewHostApp::ReportContentNavigationFailure(uint32_t view_id, const std::string& detail) {
  SendLog(StringPrintf("Package navigation failed, view_id=%u", view_id) +
          (detail.empty() ? std::string() : ", detail=" + detail));
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    if (ViewState* view = FindViewLocked(view_id)) {
      view->web_failed = true;
      RemoveResourceFilterLocked(*view);
      view->mount->Reset();
      view->origin.clear();
    }
  }
  SendToOverlay(kViewStatus, Encode(ViewStatusMsg{view_id, 2}));
  qos::Report(42, {1, 0, static_cast<int32_t>(view_id)}, {detail});
  qos::Report(43, {0, 0, static_cast<int32_t>(view_id), 2});
}

void WebViewHostApp::AddResourceFilterLocked(ViewState& view) {
  if (!view.webview || view.origin.empty()) return;
  const std::u16string filter = view.origin + u"/*";
  if (view.filter_added) view.webview->RemoveWebResourceRequestedFilter(filter);
  view.webview->AddWebResourceRequestedFilter(filter);
  view.filter_added = true;
}

void WebViewHostApp::RemoveResourceFilterLocked(ViewState& view) {
  if (!view.webview || !view.filter_added) return;
  const std::u16string origin = view.origin.empty() ? content::ViewOrigin(view.view_id) : view.origin;
  view.webview->RemoveWebResourceRequestedFilter(origin + u"/*");
  view.filter_added = false;
}

std::optional<web::WebResourceResponse> WebViewHostApp::OnWebResourceRequested(
    uint32_t view_id, const web::WebResourceRequest& request) {
  if (!environment_) return std::nullopt;
  content::ResourceResponse found;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    ViewState* view = FindViewLocked(view_id);
    if (view == nullptr || view->origin.empty()) return std::nullopt;
    const std::optional<std::string> path = content::RequestPathForOrigin(request.uri, view->origin);
    if (!path) return std::nullopt;
    found = content::LookupResource(*view->mount, *path);
  }
  web::WebResourceResponse response;
  response.status = found.status;
  response.reason = std::string(content::ReasonPhrase(found.status));
  response.headers = content::ResponseHeaders(found.content_type, found.policy);
  response.body = std::move(found.body);
  return response;
}

void ViewEventSink::OnNavigationCompleted(const web::NavigationCompletedArgs& args) {
  if (*link_ != nullptr) (*link_)->OnNavigationCompleted(view_id_, args);
}

std::optional<web::WebResourceResponse> ViewEventSink::OnWebResourceRequested(const web::WebResourceRequest& request) {
  if (*link_ == nullptr) return std::nullopt;
  return (*link_)->OnWebResourceRequested(view_id_, request);
}

}  // namespace vyo::host
