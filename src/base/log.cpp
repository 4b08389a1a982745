#include "base/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vyo {
namespace {

std::string VFormat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

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

void WriteLocalLog(LogLevel level, std::string_view line) {
  if (LocalLogSink sink = g_sink.load()) {
    sink(level, line);
    return;
  }
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fprintf(stderr, "%s %.*s\n", LogLevelName(level), static_cast<int>(line.size()), line.data());
  std::fflush(stderr);
}

void HostLogf(LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = "[FenyraOverlayHost]" + VFormat(format, args);
  va_end(args);
  WriteLocalLog(level, text);
}

void TaggedLogf(LogLevel level, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = std::string("[") + tag + "]" + VFormat(format, args);
  va_end(args);
  WriteLocalLog(level, text);
}

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = VFormat(format, args);
  va_end(args);
  return out;
}

}  // namespace vyo
