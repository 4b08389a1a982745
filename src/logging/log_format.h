// Levels, time stamps, file names and the text of log records.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/log.h"

namespace base {

// Level kinds, as plain integers of the host's one level scale (vyo::LogLevel); filtering compares
// kinds.
inline constexpr int kLogDebug = static_cast<int>(vyo::LogLevel::kDebug);
inline constexpr int kLogTrace = static_cast<int>(vyo::LogLevel::kTrace);
inline constexpr int kLogInfo = static_cast<int>(vyo::LogLevel::kInfo);
inline constexpr int kLogNotice = static_cast<int>(vyo::LogLevel::kNotice);
inline constexpr int kLogWarning = static_cast<int>(vyo::LogLevel::kWarning);
inline constexpr int kLogError = static_cast<int>(vyo::LogLevel::kError);
inline constexpr int kLogFatal = static_cast<int>(vyo::LogLevel::kFatal);
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

}  // namespace base
