// A view's state, shared by the host's view object (CdpView) and the dispatch of its events: its
// page target and flat session, settings, metrics, background, resource filters, navigations,
// execution contexts and the cursor derived from the page. Main thread.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "renderers/cdp/browser.h"
#include "renderers/cdp/cdp_input.h"
#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

// An event's bit in a view's handler set, and the events a view raises (subscribing to any other
// fails with kNotImplemented).
inline uint32_t Bit(WebEvent e) {
  return 1u << static_cast<uint32_t>(e);
}
constexpr uint32_t kRaisedEvents = (1u << static_cast<uint32_t>(WebEvent::kProcessFailed)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kNavigationStarting)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kNavigationCompleted)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kDomContentLoaded)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kNewWindowRequested)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kWebResourceRequested)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kWebMessageReceived)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kCursorChanged));

// A view's state, shared by the host's view object and the dispatch of its events.
class ViewCore : public std::enable_shared_from_this<ViewCore> {
 public:
  ViewCore(std::shared_ptr<Browser> browser, std::string target, std::string session)
      : browser_(std::move(browser)), target_(std::move(target)), session_(std::move(session)) {}

  ~ViewCore() { Close(); }
  ViewCore(const ViewCore&) = delete;
  ViewCore& operator=(const ViewCore&) = delete;

  const std::string& target() const { return target_; }
  const std::string& session() const { return session_; }
  bool closed() const { return closed_; }

  HResult Send(const std::string& method, Json params, Reply reply = nullptr);

  // --- settings
  HResult SetHeadlessOnlySetting(bool enabled);
  HResult SetScriptDialogsEnabled(bool enabled);
  HResult GetUserAgent(std::u16string* agent);
  HResult SetUserAgent(const std::u16string& agent);
  HResult CallMethod(const std::string& method, const std::string& params_json, Reply reply = nullptr);

  // --- input
  // The reply comes after the browser's next frame: nothing waits for it.
  HResult SendMouseInput(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x, int32_t y);
  uint32_t cursor_id() const { return cursor_id_; }

  // --- bounds, zoom, background
  HResult SetRasterizationScale(double scale);
  HResult SetBounds(int32_t width, int32_t height);
  HResult SetZoom(double zoom);
  // The page's default background. Frames are withheld from when it is asked for until the browser
  // has confirmed it, and only frames drawn after that are delivered: the browser draws with its
  // opaque default until then.
  HResult SetBackground(uint32_t argb);

  // --- events
  void SetSink(IWebViewEvents* sink) { sink_ = sink; }
  HResult AddHandler(WebEvent e);
  HResult RemoveHandler(WebEvent e);

  // --- navigation
  HResult Navigate(const std::u16string& uri);

  // --- resource filters
  HResult AddFilter(const std::u16string& pattern);
  HResult RemoveFilter(const std::u16string& pattern);

  uint32_t BrowserPid() const { return browser_->pid(); }
  Browser& browser() { return *browser_; }

  void Close();

  // --- from the browser (main thread)
  void OnEvent(const std::string& method, const Json& params);
  // A page target this view's page opened. False when the view is closed (nobody claims the
  // window); otherwise its new-window handler decides, and a handled window is closed.
  bool OnTargetOpened(const std::string& target, const std::string& url);
  void OnTargetGone();
  void OnBrowserGone();
  // The browser was ended for good: no event reaches the host from this view any more. Returns
  // the setup still waiting for the first document (it holds the view), for the caller to fail.
  std::function<void(bool)> Abandon();

  // A new target first loads about:blank; a navigation started before that commits would be
  // cancelled by it. The view is handed over once its first document has loaded (enabling
  // lifecycle events reports a load that already happened).
  void AwaitFirstLoad(std::function<void(bool)> ready) { setup_done_ = std::move(ready); }
  void FinishSetup(bool ok);

 private:
  bool Wants(WebEvent e) const { return !closed_ && sink_ != nullptr && (handlers_ & Bit(e)) != 0; }

  // The cursor after the pointer moved. One lookup is in flight at a time: moves while it runs
  // only keep the newest position, which is looked up when the answer comes. A page that does not
  // answer (busy in a loop) holds at most that one lookup, given up after kCursorProbeDeadline.
  void ProbeCursor(double x, double y);
  void OnCursorProbed(const Json& answer);

  HResult ApplyBackground();
  // The browser answers before the page's renderer has drawn with the new background: frames are
  // delivered again from the end of the page's next two animation frames (a frame drawn with it).
  // A page that never gets there (busy, or its animation frames replaced) is let go by the
  // withholding's own time limit.
  void AdmitAfterNextPaint(uint64_t withholding);

  HResult ApplyMetrics();

  HResult ApplyFilters();

  uint64_t NavigationId(const std::string& loader);

  void Complete(const std::string& loader, bool success, int32_t status);

  void OnRequestPaused(const Json& params);
  void OnBindingCalled(const Json& params);

 public:
  HResult PostWebMessage(const std::string& json);

 private:
  std::shared_ptr<Browser> browser_;
  const std::string target_, session_;
  bool closed_ = false;
  IWebViewEvents* sink_ = nullptr;
  uint32_t handlers_ = 0;
  bool dialogs_enabled_ = true;
  std::string user_agent_override_;
  int32_t width_ = 0, height_ = 0;
  double zoom_ = 1.0, scale_ = 1.0;
  ClickCounter clicks_;
  uint32_t cursor_id_ = kArrowCursor;
  std::optional<uint32_t> background_;  // the background asked for, applied again after each commit
  bool probe_in_flight_ = false;
  std::optional<std::pair<double, double>> probe_next_;  // the newest position while one is in flight
  std::vector<std::string> filters_;
  std::map<std::string, uint64_t> loader_ids_;
  std::deque<std::string> loader_order_;
  std::set<std::string> completed_;
  std::deque<std::string> window_urls_;  // Page.windowOpen URLs waiting for their target
  std::function<void(bool)> setup_done_;
  // The page's execution contexts: id → frame, whether it is the frame's own page context, origin.
  struct Context {
    std::string frame;
    bool is_default = false;
    std::string origin;
  };
  std::map<int64_t, Context> contexts_;
};

}  // namespace vyo::web::cdp
