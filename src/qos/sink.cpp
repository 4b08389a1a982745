#include "qos/sink.h"

#include <atomic>
#include <chrono>

#include "base/log.h"
#include "platform/http_client.h"

namespace vyo::qos {
namespace {

constexpr char kBoundary[] = "----FenyraOverlayQosBoundary";

void QosLog(LogLevel level, const std::string& text, const SourceLocation& where = SourceLocation::Current()) {
  TaggedLogAt(where, level, "VyoQos", "%s", text.c_str());
}

}  // namespace

std::string MultipartBody(const std::string& payload) {
  return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"zqos\"\r\n\r\n" + payload +
         "\r\n--" + kBoundary + "--\r\n";
}

QosTransport HttpTransport(std::string host, uint16_t port) {
  return [host = std::move(host), port](const std::string& payload, uint32_t timeout_ms) {
    const platform::HttpResult r =
        platform::HttpPost(host, port, "/", kMultipartContentType, MultipartBody(payload), timeout_ms);
    if (!r.opened) {
      TaggedLogf(LogLevel::kError, "VyoQos", "WinHttpOpen failed, err=%d", r.error);
      return false;
    }
    if (!r.sent) {
      TaggedLogf(LogLevel::kError, "VyoQos", "qos send failed, err=%d", r.error);
      return false;
    }
    if (r.status != 200) {
      TaggedLogf(LogLevel::kError, "VyoQos", "qos report failed, status=%u", r.status);
      return false;
    }
    return true;
  };
}

// ---------------------------------------------------------------------------------------------

QosHttpSink::QosHttpSink(QosTransport transport, OfflineStore& store) : shared_(std::make_shared<Shared>()) {
  shared_->transport = std::move(transport);
  shared_->store = &store;
}

QosHttpSink::~QosHttpSink() { Stop(0); }

void QosHttpSink::Start() {
  std::vector<std::string> stored = shared_->store->Drain();
  if (stored.empty()) return;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    for (auto& p : stored) shared_->stored.push_back(std::move(p));
  }
  StartWorker();
  shared_->cv.notify_all();
}

void QosHttpSink::StartWorker() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->worker_started || shared_->stopping) return;
  shared_->worker_started = true;
  worker_ = std::thread(Worker, shared_);
}

void QosHttpSink::Submit(const std::string& payload) {
  if (payload.empty()) return;
  bool to_store = false;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stopping || shared_->live.size() >= kLiveQueueLimit) {
      to_store = true;
    } else {
      shared_->live.push_back(payload);
    }
  }
  if (to_store) {
    shared_->store->Store(payload);  // outside the sink's lock: file I/O never blocks other senders
    return;
  }
  StartWorker();
  shared_->cv.notify_all();
}

void QosHttpSink::SendNow(const std::string& payload, uint32_t timeout_ms) {
  if (!payload.empty() && !shared_->transport(payload, timeout_ms)) shared_->store->Store(payload);
}

void QosHttpSink::Worker(std::shared_ptr<Shared> s) {
  QosLog(LogLevel::kNotice, "http worker start");
  for (;;) {
    std::string payload;
    bool live = false;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->cv.wait(lock, [&] { return s->stopping || !s->live.empty() || !s->stored.empty(); });
      if (!s->live.empty()) {
        payload = std::move(s->live.front());
        s->live.pop_front();
        live = true;
      } else if (!s->stored.empty()) {
        payload = std::move(s->stored.front());
        s->stored.pop_front();
      } else {
        break;
      }
    }
    // A live payload that fails waits for the next run; a stored one that fails again is dropped.
    if (!s->transport(payload, 5000) && live) s->store->Store(payload);
  }
  QosLog(LogLevel::kNotice, "http worker exit");
  std::lock_guard<std::mutex> lock(s->mutex);
  s->worker_done = true;
  s->cv.notify_all();
}

void QosHttpSink::Stop(uint32_t timeout_ms) {
  if (timeout_ms == 0) timeout_ms = 2000;
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stopping) return;
    shared_->stopping = true;
    worker = std::move(worker_);
  }
  shared_->cv.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  if (worker.joinable()) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    const bool done = shared_->cv.wait_until(lock, deadline, [&] { return shared_->worker_done; });
    lock.unlock();
    if (done) {
      worker.join();
    } else {
      QosLog(LogLevel::kWarning, "http worker stop timeout");
      worker.detach();  // it owns its share of the state and finishes on its own
    }
  }
  // What is left goes to the store as one batch, written outside the sink's lock and bounded by
  // the same deadline.
  std::vector<std::string> leftovers;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    for (auto& p : shared_->live) leftovers.push_back(std::move(p));
    for (auto& p : shared_->stored) leftovers.push_back(std::move(p));
    shared_->live.clear();
    shared_->stored.clear();
  }
  if (!leftovers.empty()) {
    const auto now = std::chrono::steady_clock::now();
    const auto left = now < deadline ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() : 0;
    shared_->store->Store(leftovers, static_cast<uint32_t>(std::max<int64_t>(left, 1)));
  }
}

// ---------------------------------------------------------------------------------------------

namespace {
std::atomic<QosHttpSink*> g_active_sink{nullptr};
}  // namespace

QosHttpSink* ActiveHttpSink() { return g_active_sink.load(); }
void SetActiveHttpSink(QosHttpSink* sink) { g_active_sink.store(sink); }

QosReporter& QosReporter::Instance() {
  // Never destroyed: its thread may still run while the process exits.
  static QosReporter* reporter = new QosReporter();
  return *reporter;
}

void QosReporter::Report(QosEvent event) {
  // Bounded memory: strings are sanitised and cut when they enter the queue.
  for (auto& s : event.strs) s = SanitizeEventString(s);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return;
    if (queue_.size() >= kReportQueueLimit) {
      lock.unlock();
      TaggedLogf(LogLevel::kWarning, "VyoQos", "report queue full, drop kind=%d", event.kind);
      return;
    }
    queue_.push_back(std::move(event));
    if (!thread_started_) {
      thread_started_ = true;
      thread_ = std::thread([this] { Run(); });
    }
  }
  cv_.notify_all();
}

void QosReporter::SetSink(QosSink* sink) {
  std::unique_lock<std::mutex> lock(mutex_);
  sink_ = sink;
  // A sink being removed may be destroyed right after: wait until no hand-over to it is under way.
  if (sink == nullptr) idle_cv_.wait(lock, [this] { return busy_ == 0; });
  lock.unlock();
  cv_.notify_all();
}

void QosReporter::Run() {
  TaggedLogf(LogLevel::kNotice, "VyoQos", "%s", "reporter thread start");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stopping_ || (!queue_.empty() && sink_ != nullptr); });
    if (queue_.empty() || sink_ == nullptr) break;
    QosEvent event = std::move(queue_.front());
    queue_.pop_front();
    QosSink* sink = sink_;
    ++busy_;
    lock.unlock();
    std::string payload;
    if (QosContext::Instance().BuildPayload(event, &payload)) {
      sink->Submit(payload);
    } else {
      TaggedLogf(LogLevel::kError, "VyoQos", "build failed, id=%d kind=%d", event.id, event.kind);
    }
    lock.lock();
    --busy_;
    idle_cv_.notify_all();
  }
  lock.unlock();
  TaggedLogf(LogLevel::kNotice, "VyoQos", "%s", "reporter thread exit");
}

void QosReporter::Stop(uint32_t timeout_ms) {
  if (timeout_ms == 0) timeout_ms = 2000;
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    thread = std::move(thread_);
  }
  cv_.notify_all();
  if (thread.joinable()) {
    // Wait up to the time-out, then without limit (the thread only finishes handing over).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool slow = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!(queue_.empty() || sink_ == nullptr) || busy_ != 0) {
        if (idle_cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
          slow = true;
          break;
        }
      }
    }
    if (slow) TaggedLogf(LogLevel::kWarning, "VyoQos", "%s", "reporter thread slow to exit");
    thread.join();
  }
  std::deque<QosEvent> rest;
  QosSink* sink = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rest.swap(queue_);
    sink = sink_;
    if (sink != nullptr) ++busy_;
  }
  if (sink != nullptr) {
    for (const auto& e : rest) {
      std::string payload;
      if (QosContext::Instance().BuildPayload(e, &payload)) sink->Submit(payload);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (sink != nullptr) --busy_;
  idle_cv_.notify_all();
  stopping_ = false;
  thread_started_ = false;
}

void QosReporter::ReportOffline(const QosEvent& event) {
  QosEvent copy = event;
  for (auto& s : copy.strs) s = SanitizeEventString(s);
  std::string payload;
  if (QosContext::Instance().BuildPayloadNoWait(copy, &payload)) OfflineStore::Default().Store(payload);
}

}  // namespace vyo::qos
