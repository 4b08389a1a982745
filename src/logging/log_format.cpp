#include "logging/log_format.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/log_files.h"

namespace base {
namespace {

constexpr LogLevel kLevels[7] = {
    {kLogDebug, 0, "DEBUG"},     {kLogTrace, 50, "TRACE"}, {kLogInfo, 100, "INFO"},   {kLogNotice, 200, "NOTICE"},
    {kLogWarning, 500, "WARNING"}, {kLogError, 600, "ERROR"}, {kLogFatal, 1000, "FATAL"},
};

constexpr std::string_view kRecordTimePattern = "%Y-%m-%d %H:%M:%S.%f";

// Characters that may not appear in a log name prefix.
constexpr std::string_view kIllegalPrefixChars = "/,|<>:#$%{}[]'\"^!?+*\\ ";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

const LogLevel& LevelForKind(int kind) {
  if (kind < 0) kind = 0;
  if (kind > 6) kind = 6;
  return kLevels[kind];
}

LogTime NowForLog() {
  using namespace std::chrono;
  static const auto anchor_system = system_clock::now();
  static const auto anchor_steady = steady_clock::now();
  const auto elapsed = steady_clock::now() - anchor_steady;
  const auto ns = duration_cast<nanoseconds>(anchor_system.time_since_epoch()).count() +
                  duration_cast<nanoseconds>(elapsed).count();
  LogTime t;
  t.seconds = ns / 1000000000;
  t.nanos = static_cast<std::int32_t>(ns % 1000000000);
  if (t.nanos < 0) {
    t.nanos += 1000000000;
    t.seconds -= 1;
  }
  return t;
}

std::string FormatLogTime(std::string_view pattern, const LogTime& time) {
  char digits[10];
  std::snprintf(digits, sizeof digits, "%09d", static_cast<int>(time.nanos));
  std::string expanded;
  expanded.reserve(pattern.size() + 8);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      expanded += c;
      continue;
    }
    const char next = pattern[i + 1];
    if (next == 'f') {
      std::size_t count = 3;
      i += 1;
      if (i + 1 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
        count = static_cast<std::size_t>(pattern[i + 1] - '0');
        i += 1;
      }
      expanded.append(digits, count);
    } else {
      // Any other directive (including "%%") is left whole for strftime.
      expanded += c;
      expanded += next;
      i += 1;
    }
  }
  std::tm tm{};
  if (!vyo::platform::LocalCalendarTime(time.seconds, tm)) return {};
  std::string out(expanded.size() + 64, '\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::size_t n = std::strftime(out.data(), out.size(), expanded.c_str(), &tm);
    if (n > 0 || expanded.empty()) {
      out.resize(n);
      return out;
    }
    out.resize(out.size() * 4);
  }
  return {};
}

std::string MakeLogFileName(std::string_view prefix, std::string_view tag, bool timestamp, const LogTime& time) {
  std::string name(prefix);
  if (!tag.empty()) {
    name += '.';
    name += tag;
  }
  if (timestamp) name += FormatLogTime(".%Y%m%d-%H%M%S-%f", time);
  name += ".log";
  return name;
}

std::string SanitizeLogPrefix(std::string_view prefix) {
  std::string out;
  for (const char c : prefix) {
    if (IsSpace(c) || c == '/' || c == '\\' || c == ':') continue;
    out += c;
  }
  for (const char c : out) {
    if (kIllegalPrefixChars.find(c) != std::string_view::npos) {
      vyo::platform::DebugOutput("Illegal character [" + std::string(1, c) + "] in logname prefix: [" + out + "]");
      out.clear();
      break;
    }
  }
  if (out.empty()) vyo::platform::DebugOutput("Empty filename prefix is not allowed");
  return out;
}

std::string_view SourceFileName(std::string_view path) {
  const std::size_t cut = path.find_last_of("(/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string RecordLine(const LogRecord& r) {
  std::string line;
  line.reserve(64 + r.file.size() + r.function.size() + r.message.size());
  line += "\n[";
  line += FormatLogTime(kRecordTimePattern, r.time);
  line += "][";
  line += std::to_string(r.thread_id);
  line += "][";
  line += LevelForKind(r.kind).name;
  line += "][";
  line += r.file;
  line += '(';
  line += std::to_string(r.line);
  line += ")]";
  line += r.function;
  line += '\t';
  line += r.message;
  return line;
}

std::string ConsoleLine(const LogRecord& r) {
  std::string line = "\n[";
  line += FormatLogTime(kRecordTimePattern, r.time);
  line += "][";
  line += std::to_string(r.thread_id);
  line += "][";
  line += LevelForKind(r.kind).name;
  line += "]\t";
  line += r.message;
  return line;
}

}  // namespace base
