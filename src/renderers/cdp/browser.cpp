#include "renderers/cdp/browser.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/lock_checks.h"
#include "renderers/cdp/view_core.h"

namespace vyo::web::cdp {
namespace {

constexpr HResult kTimeout = static_cast<HResult>(0x800705B4u);  // the browser did not answer in time
constexpr size_t kMaxMessageBytes = 256u << 20;                  // a larger message ends the link
// View creations a browser works on at once (the rest wait for their turn).
constexpr int kMaxCreationsRunning = 2;
// A closed target still there after this is asked again, up to kCloseAttempts times in all.
constexpr auto kCloseCheck = std::chrono::milliseconds(1000);
constexpr int kCloseAttempts = 5;

Json Closed() {
  return Json{{"code", -1}, {"message", "browser connection closed"}};
}
Json TimedOut() {
  return Json{{"code", -2}, {"message", "no answer in time"}};
}

}  // namespace

std::string StringField(const Json& object, const char* name) {
  const auto it = object.find(name);
  return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

Browser::~Browser() {
  RequestClose();
  Stop(std::chrono::steady_clock::now() + kCloseWait);
}

void Browser::RequestClose() {
  if (disconnected_ || stopped_ || close_requested_) return;
  close_requested_ = true;
  QueueWrite(Json{{"id", next_id_++}, {"method", "Browser.close"}}.dump());
}

void Browser::Stop(std::chrono::steady_clock::time_point deadline) {
  if (stopped_) return;
  stopped_ = true;
  if (!disconnected_ && close_requested_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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

void Browser::Start(uint32_t timeout_ms, Ready ready) {
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

bool Browser::Send(const std::string& method, Json params, const std::string& session, Reply reply,
                   std::chrono::milliseconds deadline) {
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

void Browser::StartCreation(Creation creation) {
  waiting_creations_.push_back(std::move(creation));
  StartWaitingCreations();
}

void Browser::CloseTarget(const std::string& target) {
  if (disconnected_) return;
  Send("Target.closeTarget", Json{{"targetId", target}}, {}, nullptr);
  closing_[target] = ClosingTarget{std::chrono::steady_clock::now(), 1};
  UpdateChecksPending();
}

void Browser::RegisterView(const std::string& session, const std::string& target,
                           const std::shared_ptr<ViewCore>& view) {
  sessions_[session] = view;
  targets_[target] = view;
}

void Browser::UnregisterView(const std::string& session, const std::string& target) {
  sessions_.erase(session);
  targets_.erase(target);
}

Poster Browser::poster() const {
  return [link = link_](std::function<void()> task) { link->Post(std::move(task)); };
}

void Browser::QueueWrite(std::string text) {
  text.push_back('\0');
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outgoing_.push_back(std::move(text));
  }
  wake_.notify_all();
}

void Browser::ReaderLoop(std::weak_ptr<Browser> weak) {
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

void Browser::WriterLoop(std::weak_ptr<Browser> weak) {
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

void Browser::TimerLoop(std::weak_ptr<Browser> weak, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wake_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return stopping_ || started_; })) return;
  link_->Post([weak] {
    if (auto self = weak.lock()) self->FinishStartup(kTimeout);
  });
}

void Browser::FinishStartup(HResult hr) {
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

void Browser::StartWaitingCreations() {
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

void Browser::FailWaitingCreations() {
  if (waiting_creations_.empty()) return;
  link_->Post([creations = std::move(waiting_creations_)] {
    for (const auto& creation : creations) creation.run([] {});
  });
  waiting_creations_.clear();
}

void Browser::UpdateChecksPending() {
  const bool pending = !closing_.empty() || !reply_deadlines_.empty();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (checks_pending_ == pending) return;
    checks_pending_ = pending;
  }
  wake_.notify_all();
}

void Browser::RunChecks() {
  ExpireReplies();
  CheckClosingTargets();
  UpdateChecksPending();
}

void Browser::ExpireReplies() {
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

void Browser::CheckClosingTargets() {
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

void Browser::OnTargetDestroyed(const std::string& target) {
  if (closing_.erase(target) != 0) UpdateChecksPending();
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

}  // namespace vyo::web::cdp
