#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "crash/crash_report_loader.h"
#include "logging/logger.h"
#include "platform/crash_relay.h"
#include "platform/log_files.h"
#include "qos/sink.h"

namespace vyo::crash {
namespace {

constexpr int kLogTimeoutMs = 500;
// How long the failing thread waits for the relay (the log line, the telemetry event, the log's
// end): each logger step gives up after kLogTimeoutMs, the telemetry file's lock after its own
// bound; past this the process ends without them.
constexpr uint32_t kRelayTimeoutMs = 1500;
constexpr uint32_t kOfflineLockTimeoutMs = 300;
constexpr size_t kLineBytes = 512;
constexpr size_t kMaxInts = 8;
constexpr size_t kMaxStrs = 2;
constexpr size_t kStrBytes = kModuleNameBytes;

// The host's services. The failing thread only copies what it is given into fixed buffers and
// wakes the relay, a thread started by Prepare, which does the logging and the telemetry (they
// allocate and take locks). A relay stuck behind the failure costs the bounded wait, no more.
class HostServices final : public CrashServices {
 public:
  void Prepare() override {
    std::call_once(prepared_, [this] { relay_ = std::make_unique<platform::CrashRelay>([this] { Relay(); }); });
  }
  void Trace(std::string_view message) override {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    std::tm t{};
    platform::LocalCalendarTime(ms / 1000, t);
    char text[1200];
    std::snprintf(text, sizeof(text), "[%d-%d %d:%d:%d:%d][T%d] %.*s\n", t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                  t.tm_sec, static_cast<int>(ms % 1000), static_cast<int>(platform::CurrentThreadId()),
                  static_cast<int>(message.size()), message.data());
    platform::DebugOutput(text);
  }
  void LogError(std::string_view text, const char* file, int line, const char* function) override {
    line_size_ = Copy(line_, sizeof(line_), text);
    file_ = file;
    line_number_ = line;
    function_ = function;
    has_line_ = true;
  }
  void ReportOffline(int32_t kind, std::span<const int32_t> ints, std::span<const std::string_view> strs) override {
    kind_ = kind;
    int_count_ = ints.size() < kMaxInts ? ints.size() : kMaxInts;
    for (size_t i = 0; i < int_count_; ++i) ints_[i] = ints[i];
    str_count_ = strs.size() < kMaxStrs ? strs.size() : kMaxStrs;
    for (size_t i = 0; i < str_count_; ++i) str_sizes_[i] = Copy(strs_[i], kStrBytes, strs[i]);
    has_event_ = true;
  }
  void ShutdownLog() override {
    if (relay_ != nullptr) relay_->RunAndWait(kRelayTimeoutMs);
  }
  void Pause(uint32_t ms) override { platform::SignalSafeSleepMs(ms); }

 private:
  static size_t Copy(char* to, size_t size, std::string_view text) {
    const size_t n = text.size() < size ? text.size() : size - 1;
    for (size_t i = 0; i < n; ++i) to[i] = text[i];
    to[n] = 0;
    return n;
  }

  // On the relay thread, after the failing thread filled the buffers.
  void Relay() {
    if (has_line_) {
      base::LogWriteBounded(base::kLogError, std::string_view(line_, line_size_), kLogTimeoutMs, file_, line_number_,
                            function_);
    }
    if (has_event_) {
      qos::QosEvent event;
      event.kind = kind_;
      event.ints.assign(ints_, ints_ + int_count_);
      for (size_t i = 0; i < str_count_; ++i) event.strs.push_back(qos::SanitizeEventString({strs_[i], str_sizes_[i]}));
      std::string payload;
      if (qos::QosContext::Instance().BuildPayloadNoWait(event, &payload)) {
        qos::OfflineStore::Default().Store(std::vector<std::string>{payload}, kOfflineLockTimeoutMs);
      }
    }
    base::logger::Instance().ShutdownBounded(kLogTimeoutMs);
  }

  std::once_flag prepared_;
  std::unique_ptr<platform::CrashRelay> relay_;
  // Filled by the failing thread before it wakes the relay (the relay reads them after the wake).
  char line_[kLineBytes] = {};
  size_t line_size_ = 0;
  const char* file_ = "";
  int line_number_ = 0;
  const char* function_ = "";
  bool has_line_ = false;
  int32_t kind_ = 0;
  int32_t ints_[kMaxInts] = {};
  size_t int_count_ = 0;
  char strs_[kMaxStrs][kStrBytes] = {};
  size_t str_sizes_[kMaxStrs] = {};
  size_t str_count_ = 0;
  bool has_event_ = false;
};

}  // namespace

CrashServices& HostCrashServices() {
  static HostServices services;
  return services;
}

}  // namespace vyo::crash
