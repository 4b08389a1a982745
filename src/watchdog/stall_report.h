// Stall reports: one line appended to "log/vyo_host_watchdog_<pid>.txt" beside the executable
// (written through to the disk before the process is ended) and the same line in the host's log.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <memory>

#include "platform/report_file.h"

namespace vyo::watchdog {

constexpr uint32_t kExitStall = 0xE0010001;
constexpr uint32_t kExitParentGone = 0xE0010002;


struct StallInfo {
  const char* reason = nullptr;  // "main_loop", "pipe_write", "pipe_shutdown", "shutdown"; null: "unknown"
  uint32_t pid = 0;
  int32_t stage = 0;
  int32_t detail = 0;
  uint32_t stage_age_ms = 0;
  uint32_t no_progress_age_ms = 0;
  int32_t pending = 0;
  uint32_t parent_pid = 0;
};

constexpr size_t kStallLineBytes = 512;

// The report line, ending in CR LF; empty when it does not fit the 512-byte buffer.
std::string FormatStallLine(const StallInfo& info);
// The same into `out` (kStallLineBytes), without allocating: its length, 0 when it does not fit.
size_t FormatStallLine(const StallInfo& info, char (&out)[kStallLineBytes]);

// The log as the watchdog uses it: writes and a shutdown that give up after a time-out, so that a
// thread stuck inside the logger cannot hang the report. Records carry the caller's source location.
class StallLog {
 public:
  virtual ~StallLog() = default;
  virtual bool WriteBounded(int kind, std::string_view text, int timeout_ms, const char* file, int line,
                            const char* function) = 0;
  virtual bool ShutdownBounded(int timeout_ms) = 0;
};

// StallLog over the host's logger.
StallLog& HostStallLog();

class StallReportWriter {
 public:
  // `executable_dir`: the host executable's folder without a trailing separator; empty when unknown
  // (then no report file is written, only the log line).
  StallReportWriter(std::u16string executable_dir, StallLog& log);

  // Prepares the report file of process `pid`, so that WriteFile for it allocates nothing.
  void Prepare(uint32_t pid);

  // The report file first, then the log line at ERROR. True when the file got the line.
  bool Write(const StallInfo& info);
  // The two halves of Write. WriteFile allocates nothing for the prepared process; LogLine takes
  // the line without the "[FenyraOverlayHost]" tag.
  bool WriteFile(uint32_t pid, std::string_view line);
  void LogLine(std::string_view line);
  // Ends the log file within a bound (before the process is ended).
  void FlushLog();

  // "<executable_dir>/log" (empty when the executable's folder is unknown).
  const std::u16string& folder() const { return folder_; }
  static std::u16string FileName(uint32_t pid);
  StallLog& log() { return log_; }

 private:
  std::u16string folder_;
  StallLog& log_;
  uint32_t prepared_pid_ = 0;
  std::unique_ptr<platform::ReportFile> prepared_file_;
};

}  // namespace vyo::watchdog
