// Captures the local log for a test's lifetime: each line with the place in the code that wrote it.
#pragma once
#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"

namespace vyo::testing {

class LogCapture {
 public:
  LogCapture() {
    SetLocalLogSink(&Write);
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().clear();
    Records().clear();
  }
  ~LogCapture() { SetLocalLogSink(nullptr); }
  static bool Contains(const std::string& needle) {
    std::lock_guard<std::mutex> lock(Mutex());
    return std::any_of(Lines().begin(), Lines().end(),
                       [&](const std::string& l) { return l.find(needle) != std::string::npos; });
  }
  struct Record {
    std::string line;
    std::string file;
    std::string function;
  };
  // The first record whose line contains `needle`, if any.
  static std::optional<Record> Find(const std::string& needle) {
    std::lock_guard<std::mutex> lock(Mutex());
    for (const Record& r : Records()) {
      if (r.line.find(needle) != std::string::npos) return r;
    }
    return std::nullopt;
  }
  static int Count(const std::string& needle) {
    std::lock_guard<std::mutex> lock(Mutex());
    return static_cast<int>(std::count_if(Lines().begin(), Lines().end(),
                                          [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
  }

 private:
  static void Write(LogLevel, std::string_view line, const SourceLocation& where) {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().emplace_back(line);
    Records().push_back(Record{std::string(line), where.file, where.function});
  }
  static std::vector<Record>& Records() {
    static std::vector<Record> records;
    return records;
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
