// Levels, time stamps, file names and the text of log records.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

// MinGW's C++ runtime formats with its ANSI (GNU) printf, so GNU format checking applies there too.
#if defined(__MINGW32__)
#define VYO_LOG_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define VYO_LOG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define VYO_LOG_PRINTF(f, a)
#endif

namespace base {

// Level kinds; filtering compares kinds.
enum LogKind : int {
  kLogDebug = 0,
  kLogTrace = 1,
  kLogInfo = 2,
  kLogNotice = 3,
  kLogWarning = 4,
  kLogError = 5,
  kLogFatal = 6,
};
inline constexpr int kLogKindOff = 7;  // a sink level that lets nothing through

struct LogLevel {
  int kind;
  int value;
  const char* name;
};
// The level of a kind; kinds out of range are clamped to 0..6.
const LogLevel& LevelForKind(int kind);

// Time of a record: seconds since 1970 and nanoseconds.
struct LogTime {
  std::int64_t seconds = 0;
  std::int32_t nanos = 0;
};
// The system clock anchored once to the steady clock, so that later calls never go backwards.
LogTime NowForLog();

// Formats a local time with a strftime pattern in which "%f" stands for the milliseconds (3 digits)
// and "%fN" (N = 1..9) for the first N digits of the nanoseconds. "%f" is replaced before strftime
// sees the pattern.
std::string FormatLogTime(std::string_view pattern, const LogTime& time);

// prefix ["." tag] [".%Y%m%d-%H%M%S-%f" of `time`] ".log"
std::string MakeLogFileName(std::string_view prefix, std::string_view tag, bool timestamp, const LogTime& time);

// Removes white space, "/", "\" and ":"; a prefix that still holds a character that is not allowed
// in a log name (or is empty) becomes empty. The reasons go to the debugger output.
std::string SanitizeLogPrefix(std::string_view prefix);

// The part of a source path after its last "(", "/" or "\".
std::string_view SourceFileName(std::string_view path);

struct LogRecord {
  LogTime time;
  std::uint32_t thread_id = 0;
  int kind = kLogInfo;
  std::string file;  // already cut to its file name
  std::int32_t line = 0;
  std::string function;
  std::string message;
};

// "\n[time][tid][LEVEL][file(line)]function\tmessage" (file and memory log).
std::string RecordLine(const LogRecord& record);
// "\n[time][tid][LEVEL]\tmessage" (console).
std::string ConsoleLine(const LogRecord& record);

// printf into a std::string.
std::string StringPrintfV(const char* format, std::va_list args);
std::string LogStringPrintf(const char* format, ...) VYO_LOG_PRINTF(1, 2);

}  // namespace base
