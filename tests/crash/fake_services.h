// CrashServices that record what the crash path asked for.
#pragma once
#include <string>
#include <vector>

#include "crash/crash_report_loader.h"

namespace vyo::crash::testing {

struct RecordingServices final : CrashServices {
  struct Event {
    int32_t kind;
    std::vector<int32_t> ints;
    std::vector<std::string> strs;
  };
  std::vector<std::string> traces;
  std::vector<std::string> errors;
  std::vector<std::string> error_files;
  std::vector<Event> events;
  std::vector<std::string> order;  // "log", "telemetry", "shutdown", "pause"
  std::vector<uint32_t> pauses;

  int prepared = 0;

  void Prepare() override { ++prepared; }
  void Trace(std::string_view message) override { traces.emplace_back(message); }
  void LogError(std::string_view text, const char* file, int, const char*) override {
    errors.emplace_back(text);
    error_files.emplace_back(file);
    order.push_back("log");
  }
  void ReportOffline(int32_t kind, std::span<const int32_t> ints, std::span<const std::string_view> strs) override {
    events.push_back({kind, {ints.begin(), ints.end()}, {strs.begin(), strs.end()}});
    order.push_back("telemetry");
  }
  void ShutdownLog() override { order.push_back("shutdown"); }
  void Pause(uint32_t ms) override {
    pauses.push_back(ms);
    order.push_back("pause");
  }
};

}  // namespace vyo::crash::testing
