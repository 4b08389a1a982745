// Telemetry sinks and the reporter that feeds them.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "qos/offline_store.h"
#include "qos/qos.h"

namespace vyo::qos {

class QosSink {
 public:
  virtual ~QosSink() = default;
  virtual void Submit(const std::string& payload) = 0;
  virtual void SendNow(const std::string& payload, uint32_t timeout_ms) = 0;
};

// Uploads one payload; true on HTTP 200. Logs its own failures.
using QosTransport = std::function<bool(const std::string& payload, uint32_t timeout_ms)>;

// The multipart request body around a payload.
std::string MultipartBody(const std::string& payload);
constexpr char kMultipartContentType[] = "multipart/form-data; boundary=----FenyraOverlayQosBoundary";
// The HTTP transport to a collector at host:port (plain HTTP, path "/").
QosTransport HttpTransport(std::string host, uint16_t port);

class QosHttpSink final : public QosSink {
 public:
  QosHttpSink(QosTransport transport, OfflineStore& store);
  ~QosHttpSink() override;

  // Reads back what the offline store holds and starts uploading it.
  void Start();
  void Submit(const std::string& payload) override;
  void SendNow(const std::string& payload, uint32_t timeout_ms) override;
  // Stops the worker, waiting at most `timeout_ms` (0 = 2000); what is left goes to the store.
  void Stop(uint32_t timeout_ms);

 private:
  // Everything the worker touches lives here, shared with it, so a worker left running after a
  // timed-out Stop never reaches a destroyed sink.
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> live;
    std::deque<std::string> stored;
    bool worker_started = false;
    bool stopping = false;
    bool worker_done = false;
    QosTransport transport;
    OfflineStore* store;
  };
  static void Worker(std::shared_ptr<Shared> shared);
  void StartWorker();

  std::shared_ptr<Shared> shared_;
  std::thread worker_;
};

// The process-wide HTTP sink slot: set at start-up, cleared at shutdown (null when none exists).
QosHttpSink* ActiveHttpSink();
void SetActiveHttpSink(QosHttpSink* sink);


constexpr size_t kLiveQueueLimit = 128;
constexpr size_t kReportQueueLimit = 256;

// The process-wide reporter: a bounded queue and a thread that builds payloads and hands them to
// the sink.
class QosReporter {
 public:
  static QosReporter& Instance();

  void Report(QosEvent event);
  // Sets (or, with null, removes) the sink. After removal nothing reaches the old sink.
  void SetSink(QosSink* sink);
  // Stops the thread (waiting `timeout_ms`, 0 = 2000, then without limit) and flushes what is left.
  void Stop(uint32_t timeout_ms);
  // Crash path: builds without waiting and writes the payload to the offline store directly.
  void ReportOffline(const QosEvent& event);

 private:
  QosReporter() = default;
  void Run();

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<QosEvent> queue_;
  QosSink* sink_ = nullptr;
  int busy_ = 0;  // payloads being handed to the sink outside the lock
  std::condition_variable idle_cv_;
  std::thread thread_;
  bool thread_started_ = false;
  bool stopping_ = false;
};

}  // namespace vyo::qos
