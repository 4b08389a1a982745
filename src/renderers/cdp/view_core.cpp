#include "renderers/cdp/view_core.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>

#include "base/text.h"
#include "renderers/cdp/cdp_protocol.h"
#include "renderers/web/scripts/page_scripts.h"

namespace vyo::web::cdp {
namespace {

// A cursor probe not answered in this time (a page busy in a loop answers nothing) is given up;
// the next pointer move probes again.
constexpr auto kCursorProbeDeadline = std::chrono::milliseconds(2000);

std::atomic<uint64_t> g_next_navigation_id{1};

// Fetch patterns use '*' and '?' as wildcards with '\' as escape; a filter only has '*'.
std::string FetchPattern(const std::string& filter) {
  std::string out;
  for (char c : filter) {
    if (c == '?' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace

HResult ViewCore::Send(const std::string& method, Json params, Reply reply) {
  if (closed_) return kUnexpected;
  return browser_->Send(method, std::move(params), session_, std::move(reply)) ? kOk : kUnexpected;
}

HResult ViewCore::SetHeadlessOnlySetting(bool enabled) {
  if (closed_) return kUnexpected;
  return (browser_->headless() && !enabled) ? kOk : kNotImplemented;
}

HResult ViewCore::SetScriptDialogsEnabled(bool enabled) {
  if (closed_) return kUnexpected;
  if (enabled && browser_->headless()) return kNotImplemented;  // nothing could show them
  dialogs_enabled_ = enabled;
  return kOk;
}

HResult ViewCore::GetUserAgent(std::u16string* agent) {
  if (closed_) return kUnexpected;
  const std::string& current = user_agent_override_.empty() ? browser_->user_agent() : user_agent_override_;
  if (current.empty()) return kFail;
  *agent = Utf8ToUtf16(current);
  return kOk;
}

HResult ViewCore::SetUserAgent(const std::u16string& agent) {
  const HResult hr = Send("Emulation.setUserAgentOverride", Json{{"userAgent", Utf16ToUtf8(agent)}});
  if (Succeeded(hr)) user_agent_override_ = Utf16ToUtf8(agent);
  return hr;
}

HResult ViewCore::CallMethod(const std::string& method, const std::string& params_json, Reply reply) {
  if (method.empty()) return kInvalidArg;
  Json params = Json::parse(params_json.empty() ? std::string("{}") : params_json, nullptr, false);
  if (params.is_discarded() || !params.is_object()) return kInvalidArg;
  return Send(method, std::move(params), std::move(reply));
}

HResult ViewCore::SendMouseInput(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x, int32_t y) {
  if (closed_) return kUnexpected;
  const uint64_t now_ms = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
  const std::optional<std::string> params =
      MouseEventParams(kind, virtual_keys, mouse_data, x, y, zoom_ * scale_, clicks_, now_ms);
  if (!params) return kInvalidArg;
  const HResult hr = CallMethod("Input.dispatchMouseEvent", *params);
  if (Succeeded(hr) && kind == 0x200) ProbeCursor(x / (zoom_ * scale_), y / (zoom_ * scale_));
  return hr;
}

HResult ViewCore::SetRasterizationScale(double scale) {
  if (!(scale > 0.0) || !std::isfinite(scale)) return kInvalidArg;
  scale_ = scale;
  return ApplyMetrics();
}

HResult ViewCore::SetBounds(int32_t width, int32_t height) {
  if (width < 0 || height < 0) return kInvalidArg;
  width_ = width;
  height_ = height;
  return ApplyMetrics();
}

HResult ViewCore::SetZoom(double zoom) {
  if (!(zoom > 0.0) || !std::isfinite(zoom)) return kInvalidArg;
  zoom_ = zoom;
  return ApplyMetrics();
}

HResult ViewCore::SetBackground(uint32_t argb) {
  if (closed_) return kUnexpected;
  background_ = argb;
  return ApplyBackground();
}

HResult ViewCore::AddHandler(WebEvent e) {
  if (closed_) return kUnexpected;
  if ((kRaisedEvents & Bit(e)) == 0) return kNotImplemented;
  handlers_ |= Bit(e);
  return kOk;
}

HResult ViewCore::RemoveHandler(WebEvent e) {
  if (closed_) return kUnexpected;
  handlers_ &= ~Bit(e);
  return kOk;
}

HResult ViewCore::Navigate(const std::u16string& uri) {
  if (uri.empty()) return kInvalidArg;
  std::weak_ptr<ViewCore> weak = weak_from_this();
  return Send("Page.navigate", Json{{"url", Utf16ToUtf8(uri)}}, [weak](bool ok, const Json& answer) {
    auto self = weak.lock();
    if (!self) return;
    if (!ok) {
      // Refused before it started (for instance an invalid URL): it still ends.
      self->Complete(std::string(), false, 0);
      return;
    }
    const std::string error = StringField(answer, "errorText");
    if (!error.empty()) self->Complete(StringField(answer, "loaderId"), false, WebErrorStatusFor(error));
  });
}

HResult ViewCore::AddFilter(const std::u16string& pattern) {
  if (pattern.empty()) return kInvalidArg;
  if (closed_) return kUnexpected;
  filters_.push_back(Utf16ToUtf8(pattern));
  return ApplyFilters();
}

HResult ViewCore::RemoveFilter(const std::u16string& pattern) {
  if (closed_) return kUnexpected;
  const auto it = std::find(filters_.begin(), filters_.end(), Utf16ToUtf8(pattern));
  if (it == filters_.end()) return kInvalidArg;
  filters_.erase(it);
  return ApplyFilters();
}

void ViewCore::Close() {
  if (closed_) return;
  closed_ = true;
  sink_ = nullptr;
  browser_->taps()->Forget(session_);
  browser_->CloseTarget(target_);
  browser_->UnregisterView(session_, target_);
}

void ViewCore::OnTargetGone() {
  FinishSetup(false);
  browser_->taps()->End(session_);
  if (closed_) return;
  closed_ = true;
  browser_->UnregisterView(session_, target_);
}

void ViewCore::OnBrowserGone() {
  FinishSetup(false);
  browser_->taps()->End(session_);
  if (Wants(WebEvent::kProcessFailed)) sink_->OnProcessFailed(0);
  closed_ = true;
}

std::function<void(bool)> ViewCore::Abandon() {
  closed_ = true;
  sink_ = nullptr;
  std::function<void(bool)> setup = std::move(setup_done_);
  setup_done_ = nullptr;
  return setup;
}

void ViewCore::FinishSetup(bool ok) {
  if (!setup_done_) return;
  std::function<void(bool)> ready = std::move(setup_done_);
  setup_done_ = nullptr;
  ready(ok);
}

void ViewCore::ProbeCursor(double x, double y) {
  if (!Wants(WebEvent::kCursorChanged)) return;
  if (probe_in_flight_) {
    probe_next_ = {x, y};
    return;
  }
  probe_in_flight_ = true;
  std::weak_ptr<ViewCore> weak = weak_from_this();
  const bool sent = browser_->Send(
      "Runtime.evaluate", Json{{"expression", CursorProbeExpression(x, y)}, {"returnByValue", true}}, session_,
      [weak](bool ok, const Json& answer) {
        auto self = weak.lock();
        if (!self) return;
        self->probe_in_flight_ = false;
        if (ok) self->OnCursorProbed(answer);
        if (const auto next = std::exchange(self->probe_next_, std::nullopt))
          self->ProbeCursor(next->first, next->second);
      },
      kCursorProbeDeadline);
  if (!sent) probe_in_flight_ = false;
}

void ViewCore::OnCursorProbed(const Json& answer) {
  const Json* value = &answer;
  for (const char* key : {"result", "value"}) {
    const auto it = value->find(key);
    if (it == value->end()) return;
    value = &*it;
  }
  if (!value->is_string()) return;
  const uint32_t id = CursorIdForCss(value->get<std::string>());
  if (id == cursor_id_) return;
  cursor_id_ = id;
  if (Wants(WebEvent::kCursorChanged)) sink_->OnCursorChanged();
}

HResult ViewCore::ApplyBackground() {
  const uint32_t argb = background_.value_or(0);
  Json color{
      {"r", (argb >> 16) & 0xFF}, {"g", (argb >> 8) & 0xFF}, {"b", argb & 0xFF}, {"a", ((argb >> 24) & 0xFF) / 255.0}};
  const uint64_t withholding = browser_->taps()->Withhold(session_);
  std::weak_ptr<ViewCore> weak = weak_from_this();
  const HResult hr = Send("Emulation.setDefaultBackgroundColorOverride", Json{{"color", std::move(color)}},
                          [weak, withholding](bool, const Json&) {
                            if (auto self = weak.lock()) self->AdmitAfterNextPaint(withholding);
                          });
  if (Failed(hr)) browser_->taps()->Admit(session_, withholding, 0);
  return hr;
}

void ViewCore::AdmitAfterNextPaint(uint64_t withholding) {
  if (closed_) return;
  std::weak_ptr<ViewCore> weak = weak_from_this();
  browser_->Send(
      "Runtime.evaluate",
      Json{{"expression", "new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() => r(0))))"},
           {"awaitPromise", true}},
      session_,
      [weak, withholding](bool, const Json&) {
        auto self = weak.lock();
        if (!self || self->closed_) return;
        const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        self->browser_->taps()->Admit(self->session_, withholding, now);
      },
      std::chrono::milliseconds(static_cast<int64_t>(ScreencastTaps::kMaxWithheld * 1000)));
}

HResult ViewCore::ApplyMetrics() {
  if (closed_) return kUnexpected;
  if (width_ <= 0 || height_ <= 0) return Send("Emulation.clearDeviceMetricsOverride", Json::object());
  const double factor = zoom_ * scale_;
  const auto css = [factor](int32_t raw) { return std::max<int64_t>(1, std::llround(raw / factor)); };
  return Send("Emulation.setDeviceMetricsOverride",
              Json{{"width", css(width_)}, {"height", css(height_)}, {"deviceScaleFactor", factor}, {"mobile", false}});
}

HResult ViewCore::ApplyFilters() {
  std::set<std::string> unique(filters_.begin(), filters_.end());
  if (unique.empty()) return Send("Fetch.disable", Json::object());
  Json patterns = Json::array();
  for (const auto& f : unique) patterns.push_back(Json{{"urlPattern", FetchPattern(f)}, {"requestStage", "Request"}});
  return Send("Fetch.enable", Json{{"patterns", std::move(patterns)}});
}

uint64_t ViewCore::NavigationId(const std::string& loader) {
  if (loader.empty()) return g_next_navigation_id++;
  const auto it = loader_ids_.find(loader);
  if (it != loader_ids_.end()) return it->second;
  const uint64_t id = g_next_navigation_id++;
  loader_ids_.emplace(loader, id);
  loader_order_.push_back(loader);
  if (loader_order_.size() > 64) {  // only recent navigations can still raise events
    loader_ids_.erase(loader_order_.front());
    completed_.erase(loader_order_.front());
    loader_order_.pop_front();
  }
  return id;
}

void ViewCore::Complete(const std::string& loader, bool success, int32_t status) {
  if (!loader.empty() && !completed_.insert(loader).second) return;  // once per navigation
  const uint64_t id = NavigationId(loader);
  if (!Wants(WebEvent::kNavigationCompleted)) return;
  NavigationCompletedArgs args;
  args.navigation_id = id;
  args.success = success;
  args.web_error_status = status;
  sink_->OnNavigationCompleted(args);
}

void ViewCore::OnEvent(const std::string& method, const Json& params) {
  // A frame id is the target id for a page's main frame.
  const auto main_frame = [&](const Json& p) { return StringField(p, "frameId") == target_; };
  if (method == "Fetch.requestPaused") {
    OnRequestPaused(params);
  } else if (method == "Page.frameStartedNavigating") {
    const std::string type = StringField(params, "navigationType");
    if (!main_frame(params) || type == "sameDocument" || type == "historySameDocument") return;
    // The new document may commit in a new renderer, which draws with the browser's opaque
    // default until the view's background is applied to it again: nothing is delivered from here
    // until that is confirmed after the commit.
    if (background_) browser_->taps()->Withhold(session_);
    const uint64_t id = NavigationId(StringField(params, "loaderId"));
    if (!Wants(WebEvent::kNavigationStarting)) return;
    NavigationStartingArgs args;
    args.navigation_id = id;
    args.uri = Utf8ToUtf16(StringField(params, "url"));
    sink_->OnNavigationStarting(args);
  } else if (method == "Page.frameNavigated") {
    // A new document committed, possibly in a new renderer, which starts with the browser's
    // opaque default background: the view's own is applied to it again.
    const auto frame = params.find("frame");
    if (frame == params.end() || !frame->is_object() || StringField(*frame, "id") != target_) return;
    if (frame->contains("parentId") || !background_) return;
    ApplyBackground();
  } else if (method == "Page.lifecycleEvent") {
    if (!main_frame(params)) return;
    const std::string name = StringField(params, "name");
    const std::string loader = StringField(params, "loaderId");
    if (name == "load") FinishSetup(true);
    // Only navigations seen starting are reported (not the target's first about:blank), and
    // nothing more once one has completed (a failed navigation's error page loads too).
    const auto known = loader_ids_.find(loader);
    if (known == loader_ids_.end() || completed_.count(loader) != 0) return;
    if (name == "DOMContentLoaded") {
      if (Wants(WebEvent::kDomContentLoaded)) sink_->OnDomContentLoaded(known->second);
    } else if (name == "load") {
      Complete(loader, true, 0);
    }
  } else if (method == "Network.loadingFailed") {
    // A main-document request's id is its loader id.
    const std::string request = StringField(params, "requestId");
    if (StringField(params, "type") == "Document" && loader_ids_.count(request) != 0) {
      Complete(request, false, WebErrorStatusFor(StringField(params, "errorText")));
    }
  } else if (method == "Page.javascriptDialogOpening") {
    if (!dialogs_enabled_ || browser_->headless()) {
      Send("Page.handleJavaScriptDialog", Json{{"accept", false}});
    }
  } else if (method == "Page.windowOpen") {
    window_urls_.push_back(StringField(params, "url"));
    if (window_urls_.size() > 16) window_urls_.pop_front();
  } else if (method == "Runtime.executionContextCreated") {
    const auto context = params.find("context");
    if (context == params.end() || !context->is_object()) return;
    const auto id = context->find("id");
    if (id == context->end() || !id->is_number_integer()) return;
    Context entry;
    entry.origin = StringField(*context, "origin");
    if (const auto aux = context->find("auxData"); aux != context->end() && aux->is_object()) {
      entry.frame = StringField(*aux, "frameId");
      const auto is_default = aux->find("isDefault");
      entry.is_default = is_default != aux->end() && is_default->is_boolean() && is_default->get<bool>();
    }
    contexts_[id->get<int64_t>()] = std::move(entry);
    if (contexts_.size() > 256) contexts_.erase(contexts_.begin());  // frames that never said goodbye
  } else if (method == "Runtime.executionContextDestroyed") {
    const auto id = params.find("executionContextId");
    if (id != params.end() && id->is_number_integer()) contexts_.erase(id->get<int64_t>());
  } else if (method == "Runtime.executionContextsCleared") {
    contexts_.clear();
  } else if (method == "Runtime.bindingCalled") {
    OnBindingCalled(params);
  } else if (method == "Inspector.targetCrashed") {
    FinishSetup(false);
    if (Wants(WebEvent::kProcessFailed)) sink_->OnProcessFailed(1);
  }
}

void ViewCore::OnBindingCalled(const Json& params) {
  if (StringField(params, "name") != kWebViewBindingName) return;
  const auto id = params.find("executionContextId");
  if (id == params.end() || !id->is_number_integer()) return;
  const auto context = contexts_.find(id->get<int64_t>());
  // Only the main frame's own page context speaks for the view.
  if (context == contexts_.end() || !context->second.is_default || context->second.frame != target_) return;
  if (!Wants(WebEvent::kWebMessageReceived)) return;
  const std::string payload = StringField(params, "payload");
  if (payload.empty()) return;
  WebMessage message;
  message.source = Utf8ToUtf16(context->second.origin);
  if (payload[0] == 's') {
    message.text = payload.substr(1);
    message.json = Json(*message.text).dump(-1, ' ', false, Json::error_handler_t::replace);
  } else if (payload[0] == 'j') {
    message.json = payload.substr(1);
    if (!Json::accept(message.json)) return;
  } else {
    return;
  }
  sink_->OnWebMessageReceived(message);
}

HResult ViewCore::PostWebMessage(const std::string& json) {
  if (closed_) return kUnexpected;
  // Parsed and written back as ASCII JSON (members in their order), the value is a valid script
  // literal and nothing else.
  const nlohmann::ordered_json value = nlohmann::ordered_json::parse(json, nullptr, false);
  if (value.is_discarded()) return kInvalidArg;
  const std::string literal = value.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
  const std::string deliver = std::string("window.") + kWebViewDeliverName;
  return Send("Runtime.evaluate", Json{{"expression", deliver + "&&" + deliver + "(" + literal + ")"}});
}

bool ViewCore::OnTargetOpened(const std::string& target, const std::string& url) {
  if (closed_) return false;
  std::string uri = url;
  if (!window_urls_.empty()) {
    uri = window_urls_.front();
    window_urls_.pop_front();
  }
  if (!Wants(WebEvent::kNewWindowRequested)) return true;  // unasked, the window stays as it opened
  NewWindowArgs args;
  args.uri = Utf8ToUtf16(uri);
  sink_->OnNewWindowRequested(args);
  if (args.handled) browser_->CloseTarget(target);
  return true;
}

void ViewCore::OnRequestPaused(const Json& params) {
  const std::string request_id = StringField(params, "requestId");
  std::optional<WebResourceResponse> response;
  if (Wants(WebEvent::kWebResourceRequested)) {
    WebResourceRequest request;
    const auto it = params.find("request");
    if (it != params.end() && it->is_object()) {
      request.uri = Utf8ToUtf16(StringField(*it, "url"));
      request.method = StringField(*it, "method");
    }
    response = sink_->OnWebResourceRequested(request);
  }
  // The view may have been closed by the handler; its session then answers nothing, but the
  // target (and the request with it) is going away as well.
  if (!response) {
    browser_->Send("Fetch.continueRequest", Json{{"requestId", request_id}}, session_, nullptr);
    return;
  }
  Json headers = Json::array();
  for (auto& [name, value] : ParseHeaderBlock(response->headers))
    headers.push_back(Json{{"name", name}, {"value", value}});
  Json fulfil{{"requestId", request_id},
              {"responseCode", response->status},
              {"responseHeaders", std::move(headers)},
              {"body", Base64Encode(response->body.data(), response->body.size())}};
  if (!response->reason.empty()) fulfil["responsePhrase"] = response->reason;
  std::weak_ptr<Browser> weak = browser_;
  const std::string session = session_;
  browser_->Send("Fetch.fulfillRequest", std::move(fulfil), session_,
                 [weak, session, request_id](bool ok, const Json&) {
                   // A refused answer (say, a status the browser does not accept) must not leave the page waiting.
                   auto browser = weak.lock();
                   if (!ok && browser) {
                     browser->Send("Fetch.failRequest", Json{{"requestId", request_id}, {"errorReason", "Failed"}},
                                   session, nullptr);
                   }
                 });
}

}  // namespace vyo::web::cdp
