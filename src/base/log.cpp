#include "base/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace vyo {

const char* LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug: return "DEBUG";
    case LogLevel::kTrace: return "TRACE";
    case LogLevel::kInfo: return "INFO";
    case LogLevel::kNotice: return "NOTICE";
    case LogLevel::kWarning: return "WARNING";
    case LogLevel::kError: return "ERROR";
    case LogLevel::kFatal: return "FATAL";
  }
  return "INFO";
}

namespace {
std::atomic<LocalLogSink> g_sink{nullptr};
}  // namespace

void SetLocalLogSink(LocalLogSink sink) { g_sink.store(sink); }

void WriteLocalLog(LogLevel level, std::string_view line, const SourceLocation& where) {
  if (LocalLogSink sink = g_sink.load()) {
    sink(level, line, where);
    return;
  }
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fprintf(stderr, "%s %.*s\n", LogLevelName(level), static_cast<int>(line.size()), line.data());
  std::fflush(stderr);
}

void HostLogAt(const SourceLocation& where, LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = "[FenyraOverlayHost]" + StringPrintfV(format, args);
  va_end(args);
  WriteLocalLog(level, text, where);
}

void TaggedLogAt(const SourceLocation& where, LogLevel level, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = std::string("[") + tag + "]" + StringPrintfV(format, args);
  va_end(args);
  WriteLocalLog(level, text, where);
}

std::string StringPrintfV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = StringPrintfV(format, args);
  va_end(args);
  return out;
}

std::string HrHex(int32_t hr) { return StringPrintf("%x", static_cast<uint32_t>(hr)); }

std::string ViewForm(const std::string& text, uint32_t view_id) {
  return text + ", view_id=" + std::to_string(view_id);
}

}  // namespace vyo
