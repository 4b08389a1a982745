// A scripted web runtime: records every call, lets a test complete or fail each asynchronous step
// (environment and view creation), make any call fail, raise any event and answer resource requests.
#pragma once
#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "renderers/web/web_runtime.h"

namespace vyo::testing {

// Runs at every call into the fake runtime, its environments and its views (when set): tests use it
// to check the conditions under which the host calls the browser.
inline std::function<void(const std::string& call)>& FakeRuntimeCallCheck() {
  static std::function<void(const std::string&)> check;
  return check;
}
inline void CheckFakeRuntimeCall(const std::string& call) {
  if (FakeRuntimeCallCheck()) FakeRuntimeCallCheck()(call);
}

// A key event as the fake records it, every field named: "rawKeyDown modifiers=0 key=a code=KeyA
// location=0 vk=65 native=65 repeat=0 keypad=0 system=0"; a character: "char modifiers=0 text=a".
inline std::string KeyEventText(const web::KeyEvent& e) {
  using Type = web::KeyEvent::Type;
  const std::string modifiers = " modifiers=" + std::to_string(e.modifiers);
  if (e.type == Type::kChar) return "char" + modifiers + " text=" + e.text;
  return std::string(e.type == Type::kRawKeyDown ? "rawKeyDown" : "keyUp") + modifiers + " key=" + e.key +
         " code=" + e.code + " location=" + std::to_string(e.location) +
         " vk=" + std::to_string(e.windows_virtual_key_code) + " native=" + std::to_string(e.native_virtual_key_code) +
         " repeat=" + (e.auto_repeat ? "1" : "0") + " keypad=" + (e.is_keypad ? "1" : "0") +
         " system=" + (e.is_system_key ? "1" : "0") + (e.text.empty() ? "" : " text=" + e.text);
}

class FakeWebView final : public web::IWebView {
 public:
  // Calls made, as "Name(args)" strings, in order.
  std::vector<std::string> calls;
  // Calls that fail: name → status (e.g. "SetZoomFactor" → kFail).
  std::map<std::string, web::HResult> failing;
  std::u16string user_agent = u"Mozilla/5.0 Chrome/148.0";
  std::set<web::WebEvent> handlers;
  std::vector<std::u16string> document_scripts, executed_scripts, filters, navigations;
  std::vector<std::string> posted;
  web::IWebViewEvents* sink = nullptr;
  bool closed = false;
  double zoom = 1.0;
  uint32_t background = 0;
  int32_t width = 0, height = 0;
  uint32_t cursor = 32512;

  web::HResult Call(const std::string& name, const std::string& args = "") {
    CheckFakeRuntimeCall(name);
    calls.push_back(name + "(" + args + ")");
    if (closed) return web::kUnexpected;
    auto it = failing.find(name);
    return it == failing.end() ? web::kOk : it->second;
  }
  bool Called(const std::string& name) const {
    for (const auto& c : calls)
      if (c.rfind(name + "(", 0) == 0) return true;
    return false;
  }

  web::HResult SetDefaultScriptDialogsEnabled(bool e) override { return Call("SetDefaultScriptDialogsEnabled", e ? "1" : "0"); }
  web::HResult SetDevToolsEnabled(bool e) override { return Call("SetDevToolsEnabled", e ? "1" : "0"); }
  web::HResult SetDefaultContextMenusEnabled(bool e) override { return Call("SetDefaultContextMenusEnabled", e ? "1" : "0"); }
  web::HResult SetBrowserAcceleratorKeysEnabled(bool e) override {
    return Call("SetBrowserAcceleratorKeysEnabled", e ? "1" : "0");
  }
  web::HResult GetUserAgent(std::u16string* ua) override {
    const web::HResult hr = Call("GetUserAgent");
    if (web::Succeeded(hr)) *ua = user_agent;
    return hr;
  }
  web::HResult SetUserAgent(const std::u16string& ua) override {
    const web::HResult hr = Call("SetUserAgent");
    if (web::Succeeded(hr)) user_agent = ua;
    return hr;
  }
  web::HResult InsertText(const std::string& utf8) override { return Call("InsertText", utf8); }
  web::HResult DispatchKeyEvent(const web::KeyEvent& e) override { return Call("DispatchKeyEvent", KeyEventText(e)); }
  // Focus emulation requests wait here until the test answers them.
  struct PendingCall {
    bool enabled = false;
    Done done;
  };
  std::deque<PendingCall> pending_results;
  web::HResult SetFocusEmulationEnabled(bool enabled, Done done) override {
    const web::HResult hr = Call("SetFocusEmulationEnabled", enabled ? "1" : "0");
    if (web::Succeeded(hr)) pending_results.push_back({enabled, std::move(done)});
    return hr;
  }
  // Answers the oldest focus emulation request.
  void CompleteCall(web::HResult hr) {
    PendingCall call = std::move(pending_results.front());
    pending_results.pop_front();
    if (call.done) call.done(hr);
  }
  web::HResult EnableNetworkEvents() override { return Call("EnableNetworkEvents"); }
  web::HResult SetHttpCacheDisabled(bool disabled) override { return Call("SetHttpCacheDisabled", disabled ? "1" : "0"); }
  web::HResult SetRawPixelBounds() override { return Call("SetRawPixelBounds"); }
  web::HResult SetRasterizationScale(double s) override { return Call("SetRasterizationScale", std::to_string(s)); }
  web::HResult SetAllowExternalDrop(bool a) override { return Call("SetAllowExternalDrop", a ? "1" : "0"); }
  web::HResult SetBounds(int32_t w, int32_t h) override {
    const web::HResult hr = Call("SetBounds", std::to_string(w) + "x" + std::to_string(h));
    if (web::Succeeded(hr)) width = w, height = h;
    return hr;
  }
  web::HResult SetZoomFactor(double z) override {
    const web::HResult hr = Call("SetZoomFactor", std::to_string(z));
    if (web::Succeeded(hr)) zoom = z;
    return hr;
  }
  web::HResult SetVisible(bool v) override { return Call("SetVisible", v ? "1" : "0"); }
  web::HResult SetDefaultBackgroundColor(uint32_t argb) override {
    const web::HResult hr = Call("SetDefaultBackgroundColor", std::to_string(argb));
    if (web::Succeeded(hr)) background = argb;
    return hr;
  }
  web::HResult MoveFocus() override { return Call("MoveFocus"); }
  web::HResult SendMouseInput(int32_t kind, uint32_t keys, int32_t data, int32_t x, int32_t y) override {
    return Call("SendMouseInput", std::to_string(kind) + " " + std::to_string(keys) + " " + std::to_string(data) + " " +
                                      std::to_string(x) + "," + std::to_string(y));
  }
  void SetEventSink(web::IWebViewEvents* s) override {
    CheckFakeRuntimeCall("SetEventSink");
    sink = s;
  }
  web::HResult AddEventHandler(web::WebEvent e) override {
    const web::HResult hr = Call("AddEventHandler", std::to_string(static_cast<int>(e)));
    if (web::Succeeded(hr)) handlers.insert(e);
    return hr;
  }
  web::HResult RemoveEventHandler(web::WebEvent e) override {
    handlers.erase(e);
    return Call("RemoveEventHandler", std::to_string(static_cast<int>(e)));
  }
  web::HResult AddScriptToExecuteOnDocumentCreated(const std::u16string& s) override {
    const web::HResult hr = Call("AddScriptToExecuteOnDocumentCreated");
    if (web::Succeeded(hr)) document_scripts.push_back(s);
    return hr;
  }
  web::HResult ExecuteScript(const std::u16string& s) override {
    const web::HResult hr = Call("ExecuteScript");
    if (web::Succeeded(hr)) executed_scripts.push_back(s);
    return hr;
  }
  web::HResult Navigate(const std::u16string& uri) override {
    const web::HResult hr = Call("Navigate");
    if (web::Succeeded(hr)) navigations.push_back(uri);
    return hr;
  }
  web::HResult PostWebMessageAsJson(const std::string& json) override {
    const web::HResult hr = Call("PostWebMessageAsJson");
    if (web::Succeeded(hr)) posted.push_back(json);
    return hr;
  }
  web::HResult AddWebResourceRequestedFilter(const std::u16string& p) override {
    const web::HResult hr = Call("AddWebResourceRequestedFilter");
    if (web::Succeeded(hr)) filters.push_back(p);
    return hr;
  }
  web::HResult RemoveWebResourceRequestedFilter(const std::u16string& p) override {
    const web::HResult hr = Call("RemoveWebResourceRequestedFilter");
    for (auto it = filters.begin(); it != filters.end(); ++it) {
      if (*it == p) {
        filters.erase(it);
        break;
      }
    }
    return hr;
  }
  web::HResult GetSystemCursorId(uint32_t* id) override {
    const web::HResult hr = Call("GetSystemCursorId");
    if (web::Succeeded(hr)) *id = cursor;
    return hr;
  }
  web::HResult GetBrowserProcessId(uint32_t* pid) override {
    *pid = 4242;
    return Call("GetBrowserProcessId");
  }
  web::HResult SetMemoryUsageTargetLow(bool low) override { return Call("SetMemoryUsageTargetLow", low ? "1" : "0"); }
  void Close() override {
    CheckFakeRuntimeCall("Close");
    calls.push_back("Close()");
    closed = true;
    if (close_journal) close_journal->push_back(index);
  }

  // Set by the fake environment: views outlive nothing, so closes are also noted there.
  int index = 0;
  std::shared_ptr<std::vector<int>> close_journal;
};

class FakeWebEnvironment final : public web::IWebEnvironment {
 public:
  struct Request {
    intptr_t parent;
    std::function<void(web::HResult, std::unique_ptr<web::IWebView>)> done;
    std::function<bool()> still_wanted;
  };
  std::deque<Request> requests;
  web::HResult create_view_status = web::kOk;  // synchronous result of CreateView
  std::string version = "148.0.1.2";

  web::HResult CreateWebView(intptr_t parent, std::function<void(web::HResult, std::unique_ptr<web::IWebView>)> done,
                          std::function<bool()> still_wanted) override {
    CheckFakeRuntimeCall("CreateView");
    if (web::Failed(create_view_status)) return create_view_status;
    requests.push_back({parent, std::move(done), std::move(still_wanted)});
    return web::kOk;
  }
  std::string BrowserVersion() override { return version; }

  // Indices of views that were closed (a closed view may already be destroyed).
  std::shared_ptr<std::vector<int>> closed = std::make_shared<std::vector<int>>();
  int views_made = 0;
  bool WasClosed(int index) const { return std::find(closed->begin(), closed->end(), index) != closed->end(); }

  // Answers the oldest request with a new view (index views_made); the pointer is valid while the
  // host keeps the view.
  FakeWebView* CompleteView() {
    auto view = std::make_unique<FakeWebView>();
    view->index = ++views_made;
    view->close_journal = closed;
    FakeWebView* raw = view.get();
    Request r = std::move(requests.front());
    requests.pop_front();
    r.done(web::kOk, std::move(view));
    return raw;
  }
  void FailView(web::HResult hr) {
    Request r = std::move(requests.front());
    requests.pop_front();
    r.done(hr, nullptr);
  }
};

class FakeWebRuntime final : public web::IWebRuntime {
 public:
  struct Request {
    std::u16string user_data_dir;
    std::string arguments;
    std::function<void(web::HResult, std::shared_ptr<web::IWebEnvironment>)> done;
  };
  LoadResult load_result = LoadResult::kLoaded;
  std::string version = "148.0.1.2";
  web::HResult create_status = web::kOk;  // synchronous result of CreateEnvironment
  std::deque<Request> requests;
  int loads = 0;

  LoadResult Load() override {
    CheckFakeRuntimeCall("Load");
    ++loads;
    return load_result;
  }
  std::string GetAvailableBrowserVersion() override { return version; }
  web::HResult CreateEnvironment(const std::u16string& dir, const std::string& args,
                                 std::function<void(web::HResult, std::shared_ptr<web::IWebEnvironment>)> done) override {
    CheckFakeRuntimeCall("CreateEnvironment");
    if (web::Failed(create_status)) return create_status;
    requests.push_back({dir, args, std::move(done)});
    return web::kOk;
  }

  std::shared_ptr<FakeWebEnvironment> CompleteEnvironment() {
    auto env = std::make_shared<FakeWebEnvironment>();
    Request r = std::move(requests.front());
    requests.pop_front();
    r.done(web::kOk, env);
    return env;
  }
  void FailEnvironment(web::HResult hr) {
    Request r = std::move(requests.front());
    requests.pop_front();
    r.done(hr, nullptr);
  }
};

}  // namespace vyo::testing
