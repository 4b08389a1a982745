// One browser process and its DevTools link: the pipe's reader, writer and timer threads, the
// commands awaiting their answers (with optional deadlines), the queue of view creations, the
// targets being closed, and the dispatch of the browser's events to the views by session.
// Main-thread state unless noted.
#pragma once
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "renderers/cdp/browser_process.h"
#include "renderers/cdp/cdp_link.h"
#include "renderers/cdp/cdp_protocol.h"
#include "renderers/cdp/main_link.h"
#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

using Json = nlohmann::json;
// A command's answer: ok with its result, or not ok with the error object (or a made-up one when
// the browser went away first).
using Reply = std::function<void(bool ok, const Json& answer)>;

// How long an orderly end waits for the browser to close itself (Browser.close) before the rest
// of its process group is killed.
constexpr auto kCloseWait = std::chrono::milliseconds(2000);

// A string member of a protocol object (empty when missing or not a string).
std::string StringField(const Json& object, const char* name);

class ViewCore;

class Browser : public std::enable_shared_from_this<Browser> {
 public:
  using Ready = std::function<void(HResult)>;

  Browser(std::shared_ptr<MainLink> link, std::unique_ptr<BrowserProcess> process, bool headless)
      : link_(std::move(link)), process_(std::move(process)), headless_(headless), pid_(process_->Pid()) {}

  ~Browser();

  // Asks a connected browser to close itself (profile data is written out on the way).
  void RequestClose();

  // Ends the browser for good: waits until `deadline` for it to exit, ends whatever is left of its
  // process group, joins the pipe threads. Completions still waiting are posted with a failure
  // (dropped when the link is closed); views still in their setup are abandoned, which drops what
  // their setup held. Main thread; later calls do nothing.
  void Stop(std::chrono::steady_clock::time_point deadline);

  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Starts the pipe threads and asks for the version; `ready` runs once on the main thread: kOk,
  // kInvalidState (the folder is held by another browser), kTimeout or kFail.
  void Start(uint32_t timeout_ms, Ready ready);

  // Sends one command; `reply` (may be null) runs on the main thread with its answer. False when
  // the link is already down (the reply then never runs). With a `deadline`, a reply still
  // missing after it runs with a failure (TimedOut) and a late answer is ignored.
  bool Send(const std::string& method, Json params, const std::string& session, Reply reply,
            std::chrono::milliseconds deadline = std::chrono::milliseconds(0));
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
  void StartCreation(Creation creation);

  // Closes a page target. The browser acknowledges a close that it then does not carry out when
  // the page is in the middle of a navigation (its window and renderer stay for good), so a target
  // not gone after kCloseCheck is asked again, a few times.
  void CloseTarget(const std::string& target);

  void RegisterView(const std::string& session, const std::string& target, const std::shared_ptr<ViewCore>& view);
  void UnregisterView(const std::string& session, const std::string& target);

  bool connected() const { return !disconnected_; }
  bool headless() const { return headless_; }
  const std::shared_ptr<ScreencastTaps>& taps() const { return taps_; }
  // Posts through the runtime's link: nothing reaches the host once the runtime is gone.
  Poster poster() const;
  uint32_t pid() const { return pid_; }
  const std::string& user_agent() const { return user_agent_; }
  std::string version() const { return ParseVersion(product_); }

 private:
  void QueueWrite(std::string text);

  // I/O thread: split the stream at NUL bytes, decode, post.
  void ReaderLoop(std::weak_ptr<Browser> weak);

  // Writer thread: a blocked pipe never stalls the main thread.
  // It also paces the checks of closing targets and reply deadlines: while one is pending, the
  // main thread is asked to look at them every kCloseCheck.
  void WriterLoop(std::weak_ptr<Browser> weak);

  void TimerLoop(std::weak_ptr<Browser> weak, uint32_t timeout_ms);

  void FinishStartup(HResult hr);

  void StartWaitingCreations();
  // The link is down: creations still waiting run in a task of their own, where they fail.
  void FailWaitingCreations();

  // Tells the writer thread whether the main thread has periodic checks to run.
  void UpdateChecksPending();
  void RunChecks();
  void ExpireReplies();
  void CheckClosingTargets();
  void OnTargetDestroyed(const std::string& target);

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

}  // namespace vyo::web::cdp
