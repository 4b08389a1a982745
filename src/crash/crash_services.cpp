#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "crash/crash_report_loader.h"
#include "logging/logger.h"
#include "platform/log_files.h"
#include "qos/sink.h"

namespace vyo::crash {
namespace {

constexpr int kLogTimeoutMs = 500;

class HostServices final : public CrashServices {
 public:
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
    base::LogWriteBounded(base::kLogError, text, kLogTimeoutMs, file, line, function);
  }
  void ReportOffline(int32_t kind, std::vector<int32_t> ints, std::vector<std::string> strs) override {
    qos::QosEvent event;
    event.kind = kind;
    event.ints = std::move(ints);
    event.strs = std::move(strs);
    qos::QosReporter::Instance().ReportOffline(event);
  }
  void ShutdownLog() override { base::logger::Instance().ShutdownBounded(kLogTimeoutMs); }
  void Pause(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

CrashServices& HostCrashServices() {
  static HostServices services;
  return services;
}

}  // namespace vyo::crash
