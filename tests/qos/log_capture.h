// Captures the local log for a test's lifetime.
#pragma once
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"

namespace vyo::testing {

class LogCapture {
 public:
  LogCapture() { SetLocalLogSink(&Write); Lines().clear(); }
  ~LogCapture() { SetLocalLogSink(nullptr); }
  static bool Contains(const std::string& needle) {
    std::lock_guard<std::mutex> lock(Mutex());
    return std::any_of(Lines().begin(), Lines().end(),
                       [&](const std::string& l) { return l.find(needle) != std::string::npos; });
  }
  static int Count(const std::string& needle) {
    std::lock_guard<std::mutex> lock(Mutex());
    return static_cast<int>(std::count_if(Lines().begin(), Lines().end(),
                                          [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
  }

 private:
  static void Write(LogLevel, std::string_view line) {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().emplace_back(line);
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
};

}  // namespace vyo::testing
