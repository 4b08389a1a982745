// The DevTools backend: one browser process per environment, one page target (attached with a
// flat session) per view.
//
// How the port maps onto the protocol:
// - Load finds the executable: $VYO_BROWSER when set (and only that one), else the usual install
//   locations.
// - An environment is a browser started with the DevTools pipe, the user data folder, the host's
//   arguments and the flags of a closed network. It is ready once Browser.getVersion answers.
//   When another live browser holds the folder (its singleton lock names a live process, or the
//   new browser exits with the "profile in use" status), the environment still comes up, without
//   a browser, and every view request on it fails with kInvalidState: the host then moves to its
//   private folder, as it would when the engine refuses a controller for a held folder.
// - A view is Target.createTarget("about:blank", in a window of its own: tabs of one window other
//   than the newest are hidden and draw nothing) + Target.attachToTarget(flatten).
// - Bounds and zoom: Emulation.setDeviceMetricsOverride with the layout viewport in CSS pixels
//   (raw pixels / (zoom × rasterization scale)) and deviceScaleFactor = zoom × rasterization
//   scale, which is what browser zoom is: the page lays out in width/zoom CSS pixels, renders at
//   the view's raw pixel size and sees devicePixelRatio = zoom.
// - Settings that have no browser UI to act on in headless mode (script dialogs, DevTools, context
//   menus, accelerator keys, external drop) are honoured when switched off: nothing exists to show
//   them, and script dialogs are dismissed as they open. Switching them on cannot be honoured
//   without windows and fails with kNotImplemented. With windows, the switched-off DevTools,
//   context menus, accelerator keys and external drop cannot be enforced over the protocol and
//   fail with kNotImplemented.
// - Events raised: process failure (Inspector.targetCrashed: kind 1, render process exited; the
//   browser's pipe closing: kind 0, browser process exited), navigation starting
//   (Page.frameStartedNavigating), navigation completed (lifecycle "load", or a failure from
//   Page.navigate / Network.loadingFailed of the main document, with the table of cdp_protocol.h),
//   DOM content loaded, new windows (Page.windowOpen + Target.targetCreated with this view as
//   opener), resource requests (Fetch.requestPaused) and web messages (below).
// - Not raised, so subscribing fails with kNotImplemented: permission requests (the protocol has
//   no event for a page asking for a permission; a headless browser answers such requests itself
//   without asking anyone), accelerator keys (a headless browser has no browser shortcuts: keys
//   reach the page only as the host injects them), and cursor changes (the input side derives
//   cursors from the page).
// - Web messages: every document gets window.chrome.webview from a shim added before any other
//   script (Page.addScriptToEvaluateOnNewDocument, and run in the current document). Its
//   postMessage calls a runtime binding with "s" + the string for a string, or "j" + the JSON text
//   for any other value; only calls from the main frame's own page context count. A string
//   arrives with `text` set and `json` its quoted JSON form; anything else with `json` only.
//   PostWebMessageAsJson evaluates, in the main frame, the shim's delivery function with the JSON
//   as a literal, which dispatches a "message" event on window.chrome.webview whose data is the
//   parsed value.
#include "renderers/cdp/cdp_runtime.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "base/lock_checks.h"
#include "base/text.h"
#include "platform/process.h"
#include "renderers/cdp/browser_process.h"
#include "renderers/cdp/cdp_input.h"
#include "renderers/cdp/cdp_link.h"
#include "renderers/cdp/cdp_protocol.h"
#include "renderers/web/scripts/page_scripts.h"

namespace vyo::web::cdp {
namespace {

using Json = nlohmann::json;
// A command's answer: ok with its result, or not ok with the error object (or a made-up one when
// the browser went away first).
using Reply = std::function<void(bool ok, const Json& answer)>;

constexpr HResult kTimeout = static_cast<HResult>(0x800705B4u);  // the browser did not answer in time
constexpr size_t kMaxMessageBytes = 256u << 20;                  // a larger message ends the link
// How long an orderly end waits for the browser to close itself (Browser.close) before the rest
// of its process group is killed.
constexpr auto kCloseWait = std::chrono::milliseconds(2000);
// View creations a browser works on at once (the rest wait for their turn).
constexpr int kMaxCreationsRunning = 2;
// A closed target still there after this is asked again, up to kCloseAttempts times in all.
constexpr auto kCloseCheck = std::chrono::milliseconds(1000);
constexpr int kCloseAttempts = 5;
// A cursor probe not answered in this time (a page busy in a loop answers nothing) is given up;
// the next pointer move probes again.
constexpr auto kCursorProbeDeadline = std::chrono::milliseconds(2000);

uint32_t Bit(WebEvent e) { return 1u << static_cast<uint32_t>(e); }
constexpr uint32_t kRaisedEvents = (1u << static_cast<uint32_t>(WebEvent::kProcessFailed)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kNavigationStarting)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kNavigationCompleted)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kDomContentLoaded)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kNewWindowRequested)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kWebResourceRequested)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kWebMessageReceived)) |
                                   (1u << static_cast<uint32_t>(WebEvent::kCursorChanged));

std::atomic<uint64_t> g_next_navigation_id{1};

Json Closed() { return Json{{"code", -1}, {"message", "browser connection closed"}}; }
Json TimedOut() { return Json{{"code", -2}, {"message", "no answer in time"}}; }

std::string StringField(const Json& object, const char* name) {
  const auto it = object.find(name);
  return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

// Fetch patterns use '*' and '?' as wildcards with '\' as escape; a filter only has '*'.
std::string FetchPattern(const std::string& filter) {
  std::string out;
  for (char c : filter) {
    if (c == '?' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

class ViewCore;

// The way to the host's main thread, shared by the runtime and every object it made. The runtime
// closes it when it goes: from then on nothing is posted (a task is dropped where it is made), so
// neither a browser's threads nor a late destructor can reach a queue the host has destroyed.
// Closing waits for a post in progress on another thread to finish.
class MainLink {
 public:
  explicit MainLink(Poster post) : post_(std::move(post)) {}
  MainLink(const MainLink&) = delete;
  MainLink& operator=(const MainLink&) = delete;

  void Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) post_(std::move(task));
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }

 private:
  std::mutex mutex_;
  bool open_ = true;
  const Poster post_;
};

// One browser process and its DevTools link. Main-thread state unless noted.
class Browser : public std::enable_shared_from_this<Browser> {
 public:
  using Ready = std::function<void(HResult)>;

  Browser(std::shared_ptr<MainLink> link, std::unique_ptr<BrowserProcess> process, bool headless)
      : link_(std::move(link)), process_(std::move(process)), headless_(headless), pid_(process_->Pid()) {}

  ~Browser() {
    RequestClose();
    Stop(std::chrono::steady_clock::now() + kCloseWait);
  }

  // Asks a connected browser to close itself (profile data is written out on the way).
  void RequestClose() {
    if (disconnected_ || stopped_ || close_requested_) return;
    close_requested_ = true;
    QueueWrite(Json{{"id", next_id_++}, {"method", "Browser.close"}}.dump());
  }

  // Ends the browser for good: waits until `deadline` for it to exit, ends whatever is left of its
  // process group, joins the pipe threads. Completions still waiting are posted with a failure
  // (dropped when the link is closed); views still in their setup are abandoned, which drops what
  // their setup held. Main thread; later calls do nothing.
  void Stop(std::chrono::steady_clock::time_point deadline) {
    if (stopped_) return;
    stopped_ = true;
    if (!disconnected_ && close_requested_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      process_->WaitExit(static_cast<uint32_t>(std::max<int64_t>(0, left.count())));
    }
    process_->Kill();
    process_->InterruptRead();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (reader_.joinable()) reader_.join();
    if (writer_.joinable()) writer_.join();
    if (timer_.joinable()) timer_.join();
    disconnected_ = true;
    // Nobody is left to answer: every waiting completion still runs, with a failure.
    std::map<int64_t, Reply> pending = std::move(pending_);
    pending_.clear();
    reply_deadlines_.clear();
    for (auto& entry : pending) {
      link_->Post([reply = std::move(entry.second)] { reply(false, Closed()); });
    }
    if (ready_) {
      link_->Post([ready = std::move(ready_)] { ready(kAbort); });
      ready_ = nullptr;
    }
    AbandonViews();
    FailWaitingCreations();
  }

  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Starts the pipe threads and asks for the version; `ready` runs once on the main thread: kOk,
  // kInvalidState (the folder is held by another browser), kTimeout or kFail.
  void Start(uint32_t timeout_ms, Ready ready) {
    ready_ = std::move(ready);
    std::weak_ptr<Browser> weak = weak_from_this();
    reader_ = std::thread([this, weak] { ReaderLoop(weak); });
    writer_ = std::thread([this, weak] { WriterLoop(weak); });
    timer_ = std::thread([this, weak, timeout_ms] { TimerLoop(weak, timeout_ms); });
    Send("Target.setDiscoverTargets", Json{{"discover", true}}, {}, nullptr);
    Send("Browser.getVersion", Json::object(), {}, [weak](bool ok, const Json& answer) {
      auto self = weak.lock();
      if (!self) return;
      if (ok) {
        self->product_ = StringField(answer, "product");
        self->user_agent_ = StringField(answer, "userAgent");
      }
      self->FinishStartup(ok ? kOk : kFail);
    });
  }

  // Sends one command; `reply` (may be null) runs on the main thread with its answer. False when
  // the link is already down (the reply then never runs). With a `deadline`, a reply still
  // missing after it runs with a failure (TimedOut) and a late answer is ignored.
  bool Send(const std::string& method, Json params, const std::string& session, Reply reply,
            std::chrono::milliseconds deadline = std::chrono::milliseconds(0)) {
    CheckNoRegistryLock("call the browser");
    if (disconnected_) return false;
    const int64_t id = next_id_++;
    Json message{{"id", id}, {"method", method}, {"params", std::move(params)}};
    if (!session.empty()) message["sessionId"] = session;
    if (reply) {
      pending_.emplace(id, std::move(reply));
      if (deadline.count() > 0) {
        reply_deadlines_.emplace(id, std::chrono::steady_clock::now() + deadline);
        UpdateChecksPending();
      }
    }
    QueueWrite(message.dump());
    return true;
  }
  // Replies awaited from the browser (diagnostics).
  size_t pending_replies() const { return pending_.size(); }

  // View creations run a few at a time. Each opens a window with a renderer of its own; a browser
  // asked for views faster than it makes them (an overlay creating and destroying views in quick
  // succession) would otherwise hold a window and a renderer for every request not yet done.
  // `creation` is called when its turn comes, on the main thread, and must call `finished` once
  // when it is over; creations still waiting when the link goes down run then, and fail.
  // A queued view creation: `run` makes the view and calls `finished` when its turn ends; `wanted`
  // (may be empty) is asked when the turn comes, and a request no longer wanted gets `cancel`.
  struct Creation {
    std::function<void(std::function<void()> finished)> run;
    std::function<bool()> wanted;
    std::function<void()> cancel;
  };
  void StartCreation(Creation creation) {
    waiting_creations_.push_back(std::move(creation));
    StartWaitingCreations();
  }

  // Closes a page target. The browser acknowledges a close that it then does not carry out when
  // the page is in the middle of a navigation (its window and renderer stay for good), so a target
  // not gone after kCloseCheck is asked again, a few times.
  void CloseTarget(const std::string& target) {
    if (disconnected_) return;
    Send("Target.closeTarget", Json{{"targetId", target}}, {}, nullptr);
    closing_[target] = ClosingTarget{std::chrono::steady_clock::now(), 1};
    UpdateChecksPending();
  }

  void RegisterView(const std::string& session, const std::string& target, const std::shared_ptr<ViewCore>& view) {
    sessions_[session] = view;
    targets_[target] = view;
  }
  void UnregisterView(const std::string& session, const std::string& target) {
    sessions_.erase(session);
    targets_.erase(target);
  }

  bool connected() const { return !disconnected_; }
  bool headless() const { return headless_; }
  const std::shared_ptr<ScreencastTaps>& taps() const { return taps_; }
  // Posts through the runtime's link: nothing reaches the host once the runtime is gone.
  Poster poster() const {
    return [link = link_](std::function<void()> task) { link->Post(std::move(task)); };
  }
  uint32_t pid() const { return pid_; }
  const std::string& user_agent() const { return user_agent_; }
  std::string version() const { return ParseVersion(product_); }

 private:
  void QueueWrite(std::string text) {
    text.push_back('\0');
    {
      std::lock_guard<std::mutex> lock(mutex_);
      outgoing_.push_back(std::move(text));
    }
    wake_.notify_all();
  }

  // I/O thread: split the stream at NUL bytes, decode, post.
  void ReaderLoop(std::weak_ptr<Browser> weak) {
    std::string buffer;
    char chunk[65536];
    for (;;) {
      const long got = process_->Read(chunk, sizeof chunk);
      if (got <= 0) break;
      buffer.append(chunk, static_cast<size_t>(got));
      size_t start = 0;
      for (size_t end; (end = buffer.find('\0', start)) != std::string::npos; start = end + 1) {
        // Screencast frames go to their capture session without a JSON tree of their image.
        if (taps_->Route(std::string_view(buffer.data() + start, end - start))) continue;
        Json message = Json::parse(buffer.begin() + static_cast<std::ptrdiff_t>(start),
                                   buffer.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
        if (message.is_discarded() || !message.is_object()) continue;
        link_->Post([weak, message = std::move(message)] {
          if (auto self = weak.lock()) self->Dispatch(message);
        });
      }
      buffer.erase(0, start);
      if (buffer.size() > kMaxMessageBytes) break;
    }
    // The browser closed its end (it exited) or we are stopping. The exit status tells a held
    // profile from other failures.
    std::optional<int> status = process_->WaitExit(static_cast<uint32_t>(kCloseWait.count()));
    link_->Post([weak, status] {
      if (auto self = weak.lock()) self->OnDisconnected(status);
    });
  }

  // Writer thread: a blocked pipe never stalls the main thread.
  // It also paces the checks of closing targets and reply deadlines: while one is pending, the
  // main thread is asked to look at them every kCloseCheck.
  void WriterLoop(std::weak_ptr<Browser> weak) {
    for (;;) {
      std::string text;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto ready = [this] { return stopping_ || !outgoing_.empty(); };
        if (checks_pending_) {
          if (!wake_.wait_for(lock, kCloseCheck, ready)) {
            lock.unlock();
            link_->Post([weak] {
              if (auto self = weak.lock()) self->RunChecks();
            });
            continue;
          }
        } else {
          wake_.wait(lock, ready);
        }
        if (outgoing_.empty()) return;
        text = std::move(outgoing_.front());
        outgoing_.pop_front();
      }
      if (!process_->Write(text.data(), text.size())) {
        std::lock_guard<std::mutex> lock(mutex_);
        outgoing_.clear();
        if (stopping_) return;
      }
    }
  }

  void TimerLoop(std::weak_ptr<Browser> weak, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return stopping_ || started_; })) return;
    link_->Post([weak] {
      if (auto self = weak.lock()) self->FinishStartup(kTimeout);
    });
  }

  void FinishStartup(HResult hr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      started_ = true;
    }
    wake_.notify_all();
    if (!ready_) return;
    Ready ready = std::move(ready_);
    ready_ = nullptr;
    if (Failed(hr)) process_->Kill();
    ready(hr);
  }

  void StartWaitingCreations() {
    while (!waiting_creations_.empty() && creations_running_ < kMaxCreationsRunning) {
      Creation next = std::move(waiting_creations_.front());
      waiting_creations_.pop_front();
      if (next.wanted && !next.wanted()) {
        link_->Post(std::move(next.cancel));  // its view went away while it waited
        continue;
      }
      ++creations_running_;
      std::weak_ptr<Browser> weak = weak_from_this();
      next.run([weak, once = std::make_shared<bool>(false)] {
        if (std::exchange(*once, true)) return;
        if (auto self = weak.lock()) {
          --self->creations_running_;
          self->StartWaitingCreations();
        }
      });
    }
  }
  // The link is down: creations still waiting run in a task of their own, where they fail.
  void FailWaitingCreations() {
    if (waiting_creations_.empty()) return;
    link_->Post([creations = std::move(waiting_creations_)] {
      for (const auto& creation : creations) creation.run([] {});
    });
    waiting_creations_.clear();
  }

  // Tells the writer thread whether the main thread has periodic checks to run.
  void UpdateChecksPending() {
    const bool pending = !closing_.empty() || !reply_deadlines_.empty();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (checks_pending_ == pending) return;
      checks_pending_ = pending;
    }
    wake_.notify_all();
  }
  void RunChecks() {
    ExpireReplies();
    CheckClosingTargets();
    UpdateChecksPending();
  }
  void ExpireReplies() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<Reply> expired;
    for (auto it = reply_deadlines_.begin(); it != reply_deadlines_.end();) {
      if (now < it->second) {
        ++it;
        continue;
      }
      if (auto reply = pending_.extract(it->first)) expired.push_back(std::move(reply.mapped()));
      it = reply_deadlines_.erase(it);
    }
    for (auto& reply : expired) reply(false, TimedOut());
  }
  void CheckClosingTargets() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = closing_.begin(); it != closing_.end();) {
      if (now - it->second.sent < kCloseCheck) {
        ++it;
      } else if (it->second.attempts >= kCloseAttempts || disconnected_) {
        it = closing_.erase(it);  // the browser's own end reaps it at the latest
      } else {
        Send("Target.closeTarget", Json{{"targetId", it->first}}, {}, nullptr);
        it->second.sent = now;
        ++it->second.attempts;
        ++it;
      }
    }
  }
  void OnTargetDestroyed(const std::string& target) {
    if (closing_.erase(target) != 0) UpdateChecksPending();
  }

  void Dispatch(const Json& message);
  void OnDisconnected(std::optional<int> status);
  void AbandonViews();

  const std::shared_ptr<MainLink> link_;
  const std::shared_ptr<ScreencastTaps> taps_ = std::make_shared<ScreencastTaps>();
  const std::unique_ptr<BrowserProcess> process_;
  const bool headless_;
  const uint32_t pid_;

  // Shared with the threads.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> outgoing_;
  bool stopping_ = false;
  bool started_ = false;
  bool checks_pending_ = false;  // closing targets or reply deadlines to look at
  std::thread reader_, writer_, timer_;

  // Main thread.
  Ready ready_;
  bool disconnected_ = false;
  bool close_requested_ = false;
  bool stopped_ = false;
  std::deque<Creation> waiting_creations_;
  int creations_running_ = 0;
  struct ClosingTarget {
    std::chrono::steady_clock::time_point sent;
    int attempts = 0;
  };
  std::map<std::string, ClosingTarget> closing_;
  int64_t next_id_ = 1;
  std::map<int64_t, Reply> pending_;
  std::map<int64_t, std::chrono::steady_clock::time_point> reply_deadlines_;
  std::map<std::string, std::weak_ptr<ViewCore>> sessions_, targets_;
  std::string product_, user_agent_;
};

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

  HResult Send(const std::string& method, Json params, Reply reply = nullptr) {
    if (closed_) return kUnexpected;
    return browser_->Send(method, std::move(params), session_, std::move(reply)) ? kOk : kUnexpected;
  }

  // --- settings
  HResult SetHeadlessOnlySetting(bool enabled) {
    if (closed_) return kUnexpected;
    return (browser_->headless() && !enabled) ? kOk : kNotImplemented;
  }
  HResult SetScriptDialogsEnabled(bool enabled) {
    if (closed_) return kUnexpected;
    if (enabled && browser_->headless()) return kNotImplemented;  // nothing could show them
    dialogs_enabled_ = enabled;
    return kOk;
  }
  HResult GetUserAgent(std::u16string* agent) {
    if (closed_) return kUnexpected;
    const std::string& current = user_agent_override_.empty() ? browser_->user_agent() : user_agent_override_;
    if (current.empty()) return kFail;
    *agent = Utf8ToUtf16(current);
    return kOk;
  }
  HResult SetUserAgent(const std::u16string& agent) {
    const HResult hr = Send("Emulation.setUserAgentOverride", Json{{"userAgent", Utf16ToUtf8(agent)}});
    if (Succeeded(hr)) user_agent_override_ = Utf16ToUtf8(agent);
    return hr;
  }
  HResult CallMethod(const std::string& method, const std::string& params_json, Reply reply = nullptr) {
    if (method.empty()) return kInvalidArg;
    Json params = Json::parse(params_json.empty() ? std::string("{}") : params_json, nullptr, false);
    if (params.is_discarded() || !params.is_object()) return kInvalidArg;
    return Send(method, std::move(params), std::move(reply));
  }

  // --- input
  // The reply comes after the browser's next frame: nothing waits for it.
  HResult SendMouseInput(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x, int32_t y) {
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
  uint32_t cursor_id() const { return cursor_id_; }

  // --- bounds, zoom, background
  HResult SetRasterizationScale(double scale) {
    if (!(scale > 0.0) || !std::isfinite(scale)) return kInvalidArg;
    scale_ = scale;
    return ApplyMetrics();
  }
  HResult SetBounds(int32_t width, int32_t height) {
    if (width < 0 || height < 0) return kInvalidArg;
    width_ = width;
    height_ = height;
    return ApplyMetrics();
  }
  HResult SetZoom(double zoom) {
    if (!(zoom > 0.0) || !std::isfinite(zoom)) return kInvalidArg;
    zoom_ = zoom;
    return ApplyMetrics();
  }
  // The page's default background. Frames are withheld from when it is asked for until the browser
  // has confirmed it, and only frames drawn after that are delivered: the browser draws with its
  // opaque default until then.
  HResult SetBackground(uint32_t argb) {
    if (closed_) return kUnexpected;
    background_ = argb;
    return ApplyBackground();
  }

  // --- events
  void SetSink(IWebViewEvents* sink) { sink_ = sink; }
  HResult AddHandler(WebEvent e) {
    if (closed_) return kUnexpected;
    if ((kRaisedEvents & Bit(e)) == 0) return kNotImplemented;
    handlers_ |= Bit(e);
    return kOk;
  }
  HResult RemoveHandler(WebEvent e) {
    if (closed_) return kUnexpected;
    handlers_ &= ~Bit(e);
    return kOk;
  }

  // --- navigation
  HResult Navigate(const std::u16string& uri) {
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

  // --- resource filters
  HResult AddFilter(const std::u16string& pattern) {
    if (pattern.empty()) return kInvalidArg;
    if (closed_) return kUnexpected;
    filters_.push_back(Utf16ToUtf8(pattern));
    return ApplyFilters();
  }
  HResult RemoveFilter(const std::u16string& pattern) {
    if (closed_) return kUnexpected;
    const auto it = std::find(filters_.begin(), filters_.end(), Utf16ToUtf8(pattern));
    if (it == filters_.end()) return kInvalidArg;
    filters_.erase(it);
    return ApplyFilters();
  }

  uint32_t BrowserPid() const { return browser_->pid(); }
  Browser& browser() { return *browser_; }

  void Close() {
    if (closed_) return;
    closed_ = true;
    sink_ = nullptr;
    browser_->taps()->Forget(session_);
    browser_->CloseTarget(target_);
    browser_->UnregisterView(session_, target_);
  }

  // --- from the browser (main thread)
  void OnEvent(const std::string& method, const Json& params);
  // A page target this view's page opened. False when the view is closed (nobody claims the
  // window); otherwise its new-window handler decides, and a handled window is closed.
  bool OnTargetOpened(const std::string& target, const std::string& url);
  void OnTargetGone() {
    FinishSetup(false);
    browser_->taps()->End(session_);
    if (closed_) return;
    closed_ = true;
    browser_->UnregisterView(session_, target_);
  }
  void OnBrowserGone() {
    FinishSetup(false);
    browser_->taps()->End(session_);
    if (Wants(WebEvent::kProcessFailed)) sink_->OnProcessFailed(0);
    closed_ = true;
  }
  // The browser was ended for good: no event reaches the host from this view any more. Returns
  // the setup still waiting for the first document (it holds the view), for the caller to fail.
  std::function<void(bool)> Abandon() {
    closed_ = true;
    sink_ = nullptr;
    std::function<void(bool)> setup = std::move(setup_done_);
    setup_done_ = nullptr;
    return setup;
  }

  // A new target first loads about:blank; a navigation started before that commits would be
  // cancelled by it. The view is handed over once its first document has loaded (enabling
  // lifecycle events reports a load that already happened).
  void AwaitFirstLoad(std::function<void(bool)> ready) { setup_done_ = std::move(ready); }
  void FinishSetup(bool ok) {
    if (!setup_done_) return;
    std::function<void(bool)> ready = std::move(setup_done_);
    setup_done_ = nullptr;
    ready(ok);
  }

 private:
  bool Wants(WebEvent e) const { return !closed_ && sink_ != nullptr && (handlers_ & Bit(e)) != 0; }

  // The cursor after the pointer moved. One lookup is in flight at a time: moves while it runs
  // only keep the newest position, which is looked up when the answer comes. A page that does not
  // answer (busy in a loop) holds at most that one lookup, given up after kCursorProbeDeadline.
  void ProbeCursor(double x, double y) {
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
          if (const auto next = std::exchange(self->probe_next_, std::nullopt)) self->ProbeCursor(next->first, next->second);
        },
        kCursorProbeDeadline);
    if (!sent) probe_in_flight_ = false;
  }
  void OnCursorProbed(const Json& answer) {
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

  HResult ApplyBackground() {
    const uint32_t argb = background_.value_or(0);
    Json color{{"r", (argb >> 16) & 0xFF}, {"g", (argb >> 8) & 0xFF}, {"b", argb & 0xFF}, {"a", ((argb >> 24) & 0xFF) / 255.0}};
    const uint64_t withholding = browser_->taps()->Withhold(session_);
    std::weak_ptr<ViewCore> weak = weak_from_this();
    const HResult hr = Send("Emulation.setDefaultBackgroundColorOverride", Json{{"color", std::move(color)}},
                            [weak, withholding](bool, const Json&) {
                              if (auto self = weak.lock()) self->AdmitAfterNextPaint(withholding);
                            });
    if (Failed(hr)) browser_->taps()->Admit(session_, withholding, 0);
    return hr;
  }
  // The browser answers before the page's renderer has drawn with the new background: frames are
  // delivered again from the end of the page's next two animation frames (a frame drawn with it).
  // A page that never gets there (busy, or its animation frames replaced) is let go by the
  // withholding's own time limit.
  void AdmitAfterNextPaint(uint64_t withholding) {
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
          const double now =
              std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
          self->browser_->taps()->Admit(self->session_, withholding, now);
        },
        std::chrono::milliseconds(static_cast<int64_t>(ScreencastTaps::kMaxWithheld * 1000)));
  }

  HResult ApplyMetrics() {
    if (closed_) return kUnexpected;
    if (width_ <= 0 || height_ <= 0) return Send("Emulation.clearDeviceMetricsOverride", Json::object());
    const double factor = zoom_ * scale_;
    const auto css = [factor](int32_t raw) { return std::max<int64_t>(1, std::llround(raw / factor)); };
    return Send("Emulation.setDeviceMetricsOverride", Json{{"width", css(width_)},
                                                           {"height", css(height_)},
                                                           {"deviceScaleFactor", factor},
                                                           {"mobile", false}});
  }

  HResult ApplyFilters() {
    std::set<std::string> unique(filters_.begin(), filters_.end());
    if (unique.empty()) return Send("Fetch.disable", Json::object());
    Json patterns = Json::array();
    for (const auto& f : unique) patterns.push_back(Json{{"urlPattern", FetchPattern(f)}, {"requestStage", "Request"}});
    return Send("Fetch.enable", Json{{"patterns", std::move(patterns)}});
  }

  uint64_t NavigationId(const std::string& loader) {
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

  void Complete(const std::string& loader, bool success, int32_t status) {
    if (!loader.empty() && !completed_.insert(loader).second) return;  // once per navigation
    const uint64_t id = NavigationId(loader);
    if (!Wants(WebEvent::kNavigationCompleted)) return;
    NavigationCompletedArgs args;
    args.navigation_id = id;
    args.success = success;
    args.web_error_status = status;
    sink_->OnNavigationCompleted(args);
  }

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
  for (auto& [name, value] : ParseHeaderBlock(response->headers)) headers.push_back(Json{{"name", name}, {"value", value}});
  Json fulfil{{"requestId", request_id},
              {"responseCode", response->status},
              {"responseHeaders", std::move(headers)},
              {"body", Base64Encode(response->body.data(), response->body.size())}};
  if (!response->reason.empty()) fulfil["responsePhrase"] = response->reason;
  std::weak_ptr<Browser> weak = browser_;
  const std::string session = session_;
  browser_->Send("Fetch.fulfillRequest", std::move(fulfil), session_, [weak, session, request_id](bool ok, const Json&) {
    // A refused answer (say, a status the browser does not accept) must not leave the page waiting.
    auto browser = weak.lock();
    if (!ok && browser) {
      browser->Send("Fetch.failRequest", Json{{"requestId", request_id}, {"errorReason", "Failed"}}, session, nullptr);
    }
  });
}

void Browser::Dispatch(const Json& message) {
  const auto id = message.find("id");
  if (id != message.end() && id->is_number_integer()) {
    const auto it = pending_.find(id->get<int64_t>());
    if (it == pending_.end()) return;
    Reply reply = std::move(it->second);
    pending_.erase(it);
    reply_deadlines_.erase(id->get<int64_t>());
    const auto error = message.find("error");
    if (error != message.end()) {
      reply(false, *error);
    } else {
      const auto result = message.find("result");
      reply(true, result != message.end() ? *result : Json::object());
    }
    return;
  }
  const std::string method = StringField(message, "method");
  const auto params_it = message.find("params");
  const Json params = params_it != message.end() && params_it->is_object() ? *params_it : Json::object();
  const std::string session = StringField(message, "sessionId");
  if (!session.empty()) {
    const auto it = sessions_.find(session);
    std::shared_ptr<ViewCore> view = it != sessions_.end() ? it->second.lock() : nullptr;
    if (view) {
      view->OnEvent(method, params);
    } else if (method == "Fetch.requestPaused") {
      // No view any more: the request goes on rather than hang.
      Send("Fetch.continueRequest", Json{{"requestId", StringField(params, "requestId")}}, session, nullptr);
    }
    return;
  }
  if (method == "Target.targetDestroyed") {
    OnTargetDestroyed(StringField(params, "targetId"));
    return;
  }
  if (method == "Target.targetCreated") {
    // A page with an opener was opened by a page. Its opener's view decides about it; one whose
    // opener is not a live view (a window opened by such a window, or by a view that is closing)
    // has nobody to show it and is closed at once.
    const auto info = params.find("targetInfo");
    if (info == params.end() || !info->is_object() || StringField(*info, "type") != "page") return;
    const std::string opener = StringField(*info, "openerId");
    if (opener.empty()) return;  // the host's own targets and the browser's first page
    const std::string target = StringField(*info, "targetId");
    const auto it = targets_.find(opener);
    auto view = it != targets_.end() ? it->second.lock() : nullptr;
    if (!view || !view->OnTargetOpened(target, StringField(*info, "url"))) CloseTarget(target);
  } else if (method == "Target.detachedFromTarget") {
    const auto it = sessions_.find(StringField(params, "sessionId"));
    if (auto view = it != sessions_.end() ? it->second.lock() : nullptr) view->OnTargetGone();
  }
}

void Browser::AbandonViews() {
  std::vector<std::shared_ptr<ViewCore>> views;
  for (auto& entry : sessions_) {
    if (auto view = entry.second.lock()) views.push_back(std::move(view));
  }
  sessions_.clear();
  targets_.clear();
  for (auto& view : views) {
    if (auto setup = view->Abandon()) link_->Post([setup = std::move(setup)] { setup(false); });
  }
}

void Browser::OnDisconnected(std::optional<int> status) {
  if (disconnected_) return;
  disconnected_ = true;
  const auto self = shared_from_this();  // handlers below may drop the last outside reference
  std::map<int64_t, Reply> pending = std::move(pending_);
  pending_.clear();
  reply_deadlines_.clear();
  for (auto& entry : pending) entry.second(false, Closed());
  if (ready_) FinishStartup(status && *status == kProfileInUseExitCode ? kInvalidState : kFail);
  std::vector<std::shared_ptr<ViewCore>> views;
  for (auto& entry : sessions_) {
    if (auto view = entry.second.lock()) views.push_back(std::move(view));
  }
  for (auto& view : views) view->OnBrowserGone();
  FailWaitingCreations();
}

// --- the port's objects

class CdpView final : public IWebView {
 public:
  explicit CdpView(std::shared_ptr<ViewCore> core) : core_(std::move(core)) {}
  ~CdpView() override { core_->Close(); }
  CdpView(const CdpView&) = delete;
  CdpView& operator=(const CdpView&) = delete;

  HResult SetDefaultScriptDialogsEnabled(bool enabled) override { return core_->SetScriptDialogsEnabled(enabled); }
  HResult SetDevToolsEnabled(bool enabled) override { return core_->SetHeadlessOnlySetting(enabled); }
  HResult SetDefaultContextMenusEnabled(bool enabled) override { return core_->SetHeadlessOnlySetting(enabled); }
  HResult SetBrowserAcceleratorKeysEnabled(bool enabled) override { return core_->SetHeadlessOnlySetting(enabled); }
  HResult GetUserAgent(std::u16string* user_agent) override { return core_->GetUserAgent(user_agent); }
  HResult SetUserAgent(const std::u16string& user_agent) override { return core_->SetUserAgent(user_agent); }
  HResult CallDevToolsProtocolMethod(const std::string& method, const std::string& params_json) override {
    return core_->CallMethod(method, params_json);
  }
  HResult CallDevToolsProtocolMethodWithResult(const std::string& method, const std::string& params_json,
                                               DevToolsDone done) override {
    // A protocol error is a failure of the call.
    return core_->CallMethod(method, params_json, [done = std::move(done)](bool ok, const Json& answer) {
      if (done) done(ok ? kOk : kFail, answer.dump());
    });
  }
  // Bounds are always raw pixels here: the device metrics are set from them.
  HResult SetRawPixelBounds() override { return core_->closed() ? kUnexpected : kOk; }
  HResult SetRasterizationScale(double scale) override { return core_->SetRasterizationScale(scale); }
  HResult SetAllowExternalDrop(bool allow) override { return core_->SetHeadlessOnlySetting(allow); }
  HResult SetBounds(int32_t width, int32_t height) override { return core_->SetBounds(width, height); }
  HResult SetZoomFactor(double zoom) override { return core_->SetZoom(zoom); }
  // A page target is always shown; no protocol call hides one.
  HResult SetVisible(bool visible) override {
    if (core_->closed()) return kUnexpected;
    return visible ? kOk : kNotImplemented;
  }
  HResult SetDefaultBackgroundColor(uint32_t argb) override { return core_->SetBackground(argb); }
  HResult MoveFocus() override { return core_->Send("Page.bringToFront", Json::object()); }
  HResult SendMouseInput(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x, int32_t y) override {
    return core_->SendMouseInput(kind, virtual_keys, mouse_data, x, y);
  }
  void SetEventSink(IWebViewEvents* sink) override { core_->SetSink(sink); }
  HResult AddEventHandler(WebEvent event) override { return core_->AddHandler(event); }
  HResult RemoveEventHandler(WebEvent event) override { return core_->RemoveHandler(event); }
  HResult AddScriptToExecuteOnDocumentCreated(const std::u16string& script) override {
    return core_->Send("Page.addScriptToEvaluateOnNewDocument", Json{{"source", Utf16ToUtf8(script)}});
  }
  HResult ExecuteScript(const std::u16string& script) override {
    return core_->Send("Runtime.evaluate", Json{{"expression", Utf16ToUtf8(script)}});
  }
  HResult Navigate(const std::u16string& uri) override { return core_->Navigate(uri); }
  HResult PostWebMessageAsJson(const std::string& json) override { return core_->PostWebMessage(json); }
  HResult AddWebResourceRequestedFilter(const std::u16string& pattern) override { return core_->AddFilter(pattern); }
  HResult RemoveWebResourceRequestedFilter(const std::u16string& pattern) override {
    return core_->RemoveFilter(pattern);
  }
  // The cursor derived after the last pointer move.
  HResult GetSystemCursorId(uint32_t* cursor_id) override {
    if (cursor_id == nullptr) return kInvalidArg;
    *cursor_id = core_->cursor_id();
    return kOk;
  }
  HResult GetBrowserProcessId(uint32_t* pid) override {
    if (pid == nullptr) return kInvalidArg;
    *pid = core_->BrowserPid();
    return kOk;
  }
  HResult SetMemoryUsageTargetLow(bool /*low*/) override { return kNotImplemented; }
  void Close() override { core_->Close(); }

  ViewCore& core() { return *core_; }

 private:
  std::shared_ptr<ViewCore> core_;
};

class CdpEnvironment final : public IWebEnvironment {
 public:
  // `browser` null: the user data folder is held by another browser.
  CdpEnvironment(std::shared_ptr<Browser> browser, std::shared_ptr<MainLink> link, std::string version)
      : browser_(std::move(browser)), link_(std::move(link)), version_(std::move(version)) {}

  HResult CreateWebView(intptr_t /*parent_window*/, std::function<void(HResult, std::unique_ptr<IWebView>)> done,
                     std::function<bool()> still_wanted) override {
    if (!done) return kInvalidArg;
    if (!browser_) {
      link_->Post([done] { done(kInvalidState, nullptr); });
      return kOk;
    }
    if (!browser_->connected()) return kFail;
    std::weak_ptr<Browser> weak = browser_;
    Browser::Creation creation;
    creation.wanted = std::move(still_wanted);
    creation.cancel = [done] { done(kAbort, nullptr); };
    creation.run = [weak, done](std::function<void()> finished) {
      // Whatever the outcome, the creation's turn ends before the host hears of it.
      auto finish = [finished, done](HResult hr, std::unique_ptr<IWebView> view) {
        finished();
        done(hr, std::move(view));
      };
      auto browser = weak.lock();
      // Every view is a window of its own: a tab behind another one is hidden, and a hidden page
      // neither draws nor reliably reports its first load.
      const bool sent = browser && browser->Send("Target.createTarget", Json{{"url", "about:blank"}, {"newWindow", true}}, {},
                                                 [weak, finish](bool ok, const Json& answer) {
                                                   auto b = weak.lock();
                                                   const std::string target = ok ? StringField(answer, "targetId") : std::string();
                                                   if (!b || target.empty()) {
                                                     finish(kFail, nullptr);
                                                     return;
                                                   }
                                                   Attach(b, target, finish);
                                                 });
      if (!sent) finish(kFail, nullptr);
    };
    browser_->StartCreation(std::move(creation));
    return kOk;
  }

  std::string BrowserVersion() override { return version_; }

  Browser* browser() { return browser_.get(); }

 private:
  static void Attach(const std::shared_ptr<Browser>& browser, const std::string& target,
                     std::function<void(HResult, std::unique_ptr<IWebView>)> done) {
    std::weak_ptr<Browser> weak = browser;
    const bool sent = browser->Send(
        "Target.attachToTarget", Json{{"targetId", target}, {"flatten", true}}, {},
        [weak, target, done](bool ok, const Json& answer) {
          auto b = weak.lock();
          const std::string session = ok ? StringField(answer, "sessionId") : std::string();
          if (!b || session.empty()) {
            if (b) b->CloseTarget(target);
            done(kFail, nullptr);
            return;
          }
          auto core = std::make_shared<ViewCore>(b, target, session);
          b->RegisterView(session, target, core);
          // The view is kept by its own setup until it is handed over (or its target or the
          // link goes down).
          core->AwaitFirstLoad([core, done](bool loaded) {
            if (!loaded || core->closed()) {
              core->Close();
              done(kFail, nullptr);
              return;
            }
            done(kOk, std::make_unique<CdpView>(core));
          });
          core->Send("Page.enable", Json::object());
          core->Send("Network.enable", Json::object());
          core->Send("Inspector.enable", Json::object());
          core->Send("Page.setLifecycleEventsEnabled", Json{{"enabled", true}});
          // window.chrome.webview, before any script the host adds.
          const std::string shim = Utf16ToUtf8(std::u16string(PageScriptText(PageScript::kWebViewShim)));
          core->Send("Runtime.enable", Json::object());
          core->Send("Runtime.addBinding", Json{{"name", kWebViewBindingName}});
          core->Send("Page.addScriptToEvaluateOnNewDocument", Json{{"source", shim}});
          core->Send("Runtime.evaluate", Json{{"expression", shim}});
        });
    if (!sent) done(kFail, nullptr);
  }

  std::shared_ptr<Browser> browser_;
  std::shared_ptr<MainLink> link_;
  std::string version_;
};

class CdpRuntime final : public IWebRuntime {
 public:
  CdpRuntime(Poster post, RuntimeOptions options)
      : link_(std::make_shared<MainLink>(std::move(post))), options_(std::move(options)) {}

  // Every browser this runtime started ends with it, whoever still holds a reference (a view in
  // its setup, a completion not yet run): each is asked to close, given a shared, bounded moment,
  // then what is left of it is killed and its threads are joined. Completions still waiting are
  // posted with a failure; then the link to the main thread is closed, so nothing made here posts
  // to the host's queue once this returns (the host may destroy the queue next).
  ~CdpRuntime() override {
    *alive_ = false;
    std::vector<std::shared_ptr<Browser>> browsers;
    for (auto& weak : browsers_) {
      if (auto browser = weak.lock()) browsers.push_back(std::move(browser));
    }
    browsers_.clear();
    for (auto& browser : browsers) browser->RequestClose();
    const auto deadline = std::chrono::steady_clock::now() + kCloseWait;
    for (auto& browser : browsers) browser->Stop(deadline);
    starting_.clear();
    link_->Close();
  }

  LoadResult Load() override {
    executable_ = FindBrowser();
    return executable_.empty() ? LoadResult::kNotFound : LoadResult::kLoaded;
  }

  std::string GetAvailableBrowserVersion() override {
    if (version_.empty() && !executable_.empty()) version_ = ReadInstalledVersion(executable_);
    return version_;
  }

  HResult CreateEnvironment(const std::u16string& user_data_dir, const std::string& browser_arguments,
                            std::function<void(HResult, std::shared_ptr<IWebEnvironment>)> done) override {
    if (!done) return kInvalidArg;
    if (executable_.empty() && Load() != LoadResult::kLoaded) return kFileNotFound;
    const std::string dir = Utf16ToUtf8(user_data_dir);
    if (!dir.empty() && ProfileHolder(dir)) {
      HandHeld(done);
      return kOk;
    }
    std::vector<std::string> args;
    if (options_.headless) args.emplace_back("--headless=new");
    if (!dir.empty()) args.push_back("--user-data-dir=" + dir);
    for (const char* flag : {"--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                             "--disable-component-update", "--disable-sync", "--disable-default-apps",
                             "--disable-gpu",
                             // Every window a page asks for is a new-window request for the host to
                             // decide on, with or without a user gesture behind it.
                             "--disable-popup-blocking"}) {
      args.emplace_back(flag);
    }
    if (SandboxMustBeOff()) args.emplace_back("--no-sandbox");
    for (auto& arg : SplitArguments(browser_arguments)) args.push_back(std::move(arg));
    args.emplace_back("about:blank");

    std::string error;
    std::unique_ptr<BrowserProcess> process = BrowserProcess::Start(executable_, args, &error);
    if (!process) return kFail;
    auto browser = std::make_shared<Browser>(link_, std::move(process), options_.headless);
    starting_.insert(browser);
    std::erase_if(browsers_, [](const std::weak_ptr<Browser>& b) { return b.expired(); });
    browsers_.push_back(browser);
    std::weak_ptr<Browser> weak = browser;
    browser->Start(options_.startup_timeout_ms, [this, alive = alive_, weak, done](HResult hr) {
      auto b = weak.lock();
      if (!*alive) {
        done(Failed(hr) ? hr : kAbort, nullptr);
        return;
      }
      if (b) starting_.erase(b);
      if (hr == kInvalidState) {
        HandHeld(done);
        return;
      }
      if (Failed(hr) || !b) {
        done(Failed(hr) ? hr : kFail, nullptr);
        return;
      }
      if (version_.empty()) version_ = b->version();
      done(kOk, std::make_shared<CdpEnvironment>(b, link_, b->version()));
    });
    return kOk;
  }

 private:
  std::string FindBrowser() const {
    // A browser named by VYO_BROWSER is the only one considered: a deployment that points at one
    // never silently runs another.
    if (const std::optional<std::string> chosen = platform::GetEnv("VYO_BROWSER"); chosen && !chosen->empty()) {
      return IsExecutableFile(*chosen) ? *chosen : std::string();
    }
    const std::vector<std::string> locations = options_.browser_locations ? *options_.browser_locations
                                                                          : DefaultBrowserLocations();
    for (const auto& path : locations) {
      if (IsExecutableFile(path)) return path;
    }
    return {};
  }

  // The folder is held by another browser: an environment without a browser, whose view requests
  // fail with kInvalidState.
  void HandHeld(const std::function<void(HResult, std::shared_ptr<IWebEnvironment>)>& done) {
    auto env = std::make_shared<CdpEnvironment>(nullptr, link_, GetAvailableBrowserVersion());
    link_->Post([done, env] { done(kOk, env); });
  }

  std::shared_ptr<MainLink> link_;
  RuntimeOptions options_;
  std::string executable_;
  std::string version_;
  std::set<std::shared_ptr<Browser>> starting_;
  // Every browser started, to be ended with the runtime.
  std::vector<std::weak_ptr<Browser>> browsers_;
  // Cleared when the runtime goes, so that a late start-up answer leaves the runtime alone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

 public:
  CdpRuntime(const CdpRuntime&) = delete;
  CdpRuntime& operator=(const CdpRuntime&) = delete;
};

}  // namespace

std::unique_ptr<IWebRuntime> CreateRuntime(Poster post_to_main) { return CreateRuntime(std::move(post_to_main), {}); }

std::unique_ptr<IWebRuntime> CreateRuntime(Poster post_to_main, RuntimeOptions options) {
  return std::make_unique<CdpRuntime>(std::move(post_to_main), std::move(options));
}

bool ListPageTargets(IWebEnvironment& environment, std::function<void(std::vector<std::string>)> done) {
  auto* env = dynamic_cast<CdpEnvironment*>(&environment);
  if (env == nullptr || env->browser() == nullptr || !done) return false;
  return env->browser()->Send("Target.getTargets", Json::object(), {}, [done](bool ok, const Json& answer) {
    std::vector<std::string> ids;
    const auto infos = answer.find("targetInfos");
    if (ok && infos != answer.end() && infos->is_array()) {
      for (const Json& info : *infos) {
        if (StringField(info, "type") == "page") ids.push_back(StringField(info, "targetId"));
      }
    }
    done(std::move(ids));
  });
}

bool LinkOf(IWebView& view, ViewLink* out) {
  auto* ours = dynamic_cast<CdpView*>(&view);
  if (ours == nullptr || ours->core().closed()) return false;
  ViewCore& core = ours->core();
  out->taps = core.browser().taps();
  out->session = core.session();
  out->post = core.browser().poster();
  std::weak_ptr<ViewCore> weak = core.weak_from_this();
  out->send = [weak](const std::string& method, Json params, std::function<void(bool, const Json&)> reply) {
    auto c = weak.lock();
    return c != nullptr && Succeeded(c->Send(method, std::move(params), std::move(reply)));
  };
  return true;
}

std::string TargetIdOf(IWebView& view) {
  auto* ours = dynamic_cast<CdpView*>(&view);
  return ours != nullptr ? ours->core().target() : std::string();
}

size_t PendingReplies(IWebEnvironment& environment) {
  auto* env = dynamic_cast<CdpEnvironment*>(&environment);
  return env != nullptr && env->browser() != nullptr ? env->browser()->pending_replies() : 0;
}

}  // namespace vyo::web::cdp
