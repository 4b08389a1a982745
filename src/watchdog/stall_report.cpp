#include "watchdog/stall_report.h"

#include <cstdio>

#include "base/text.h"
#include "protocol/shared_memory_layout.h"
#include "logging/logger.h"
#include "platform/process.h"
#include "platform/report_file.h"

namespace vyo::watchdog {
namespace {

constexpr int kLogTimeoutMs = 500;

class LoggerStallLog final : public StallLog {
 public:
  bool WriteBounded(int kind, std::string_view text, int timeout_ms, const char* file, int line,
                    const char* function) override {
    return base::LogWriteBounded(kind, text, timeout_ms, file, line, function);
  }
  bool ShutdownBounded(int timeout_ms) override { return base::logger::Instance().ShutdownBounded(timeout_ms); }
};

}  // namespace

std::string FormatStallLine(const StallInfo& info) {
  char line[kStallLineBytes];
  const size_t n = FormatStallLine(info, line);
  return std::string(line, n);
}

size_t FormatStallLine(const StallInfo& info, char (&line)[kStallLineBytes]) {
  const int n = std::snprintf(
      line, sizeof(line),
      "host watchdog stall: reason=%s, pid=%u, stage=%s(%ld), detail=%ld, stage_age=%ums, no_progress_age=%ums, "
      "pending=%ld, parent=%u, exit=0x%08X\r\n",
      info.reason != nullptr ? info.reason : "unknown", static_cast<unsigned>(info.pid), host::StageName(info.stage),
      static_cast<long>(info.stage), static_cast<long>(info.detail), static_cast<unsigned>(info.stage_age_ms),
      static_cast<unsigned>(info.no_progress_age_ms), static_cast<long>(info.pending),
      static_cast<unsigned>(info.parent_pid), static_cast<unsigned>(kExitStall));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(line)) return 0;
  return static_cast<size_t>(n);
}

StallLog& HostStallLog() {
  static LoggerStallLog log;
  return log;
}

StallReportWriter::StallReportWriter(std::u16string executable_dir, StallLog& log) : log_(log) {
  // Never the file-system root: an unknown folder means no report file.
  if (!executable_dir.empty()) folder_ = executable_dir + platform::PathSeparator() + u"log";
}

std::u16string StallReportWriter::FileName(uint32_t pid) {
  return u"vyo_host_watchdog_" + Utf8ToUtf16(std::to_string(pid)) + u".txt";
}

void StallReportWriter::Prepare(uint32_t pid) {
  if (folder_.empty()) return;
  prepared_file_ = std::make_unique<platform::ReportFile>(folder_, FileName(pid));
  prepared_pid_ = pid;
}

bool StallReportWriter::Write(const StallInfo& info) {
  char line[kStallLineBytes];
  const size_t n = FormatStallLine(info, line);
  if (n == 0) return false;
  const bool written = WriteFile(info.pid, std::string_view(line, n));
  LogLine(std::string_view(line, n));
  return written;
}

bool StallReportWriter::WriteFile(uint32_t pid, std::string_view line) {
  if (folder_.empty() || line.empty()) return false;
  if (prepared_file_ != nullptr && prepared_pid_ == pid) return prepared_file_->Append(line.data(), line.size());
  return platform::AppendReportFile(folder_, FileName(pid), line.data(), line.size());
}

void StallReportWriter::LogLine(std::string_view line) {
  log_.WriteBounded(base::kLogError, "[FenyraOverlayHost]" + std::string(line), kLogTimeoutMs, __builtin_FILE(),
                    __builtin_LINE(), __builtin_FUNCTION());
}

void StallReportWriter::FlushLog() { log_.ShutdownBounded(kLogTimeoutMs); }

}  // namespace vyo::watchdog
