// The host's own log. Lines reach it directly (with the "[FenyraOverlayHost]" tag prefix) or through
// the log path, which also sends them to the overlay. Until the file logger is in place the local
// log is a console sink on standard error.
//
// Every line carries the place in the code that wrote it (`SourceLocation`): the logging macros
// take it where they are used, and functions that pass text on (the log path, the pipe writer, the
// worker-log queue) take it as a defaulted last argument and hand it along.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

// MinGW's C++ runtime formats with its ANSI (GNU) printf, so GNU format checking applies there too.
#if defined(__MINGW32__)
#define VYO_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define VYO_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define VYO_PRINTF_FORMAT(f, a)
#endif

namespace vyo {

// The one level scale of the host's records; the logger filters by comparing them.
enum class LogLevel : int { kDebug = 0, kTrace = 1, kInfo = 2, kNotice = 3, kWarning = 4, kError = 5, kFatal = 6 };

const char* LogLevelName(LogLevel level);

// Where a record was written. `Current()` used as a default argument names the caller.
struct SourceLocation {
  const char* file = "";
  int line = 0;
  const char* function = "";

  static constexpr SourceLocation Current(const char* file = __builtin_FILE(), int line = __builtin_LINE(),
                                          const char* function = __builtin_FUNCTION()) {
    return SourceLocation{file, line, function};
  }
};

// Writes one finished line at `level`. Thread-safe. Lines go to the installed sink (the host's log
// files once logging is up), or to standard error while none is installed.
void WriteLocalLog(LogLevel level, std::string_view line, const SourceLocation& where = SourceLocation::Current());

using LocalLogSink = void (*)(LogLevel level, std::string_view line, const SourceLocation& where);
// Installs the sink for WriteLocalLog; null goes back to standard error.
void SetLocalLogSink(LocalLogSink sink);

// printf-style line with the host's tag prefix: "[FenyraOverlayHost]" + the formatted text.
// Untrusted text must be passed as an argument ("%s"), never as the format. Use the HostLogf macro.
void HostLogAt(const SourceLocation& where, LogLevel level, const char* format, ...) VYO_PRINTF_FORMAT(3, 4);

// printf-style line with a bracketed tag prefix: "[" + tag + "]" + the formatted text. Use the
// TaggedLogf macro.
void TaggedLogAt(const SourceLocation& where, LogLevel level, const char* tag, const char* format, ...)
    VYO_PRINTF_FORMAT(4, 5);

// Formats like printf into a std::string.
std::string StringPrintf(const char* format, ...) VYO_PRINTF_FORMAT(1, 2);
std::string StringPrintfV(const char* format, va_list args);

// An HRESULT-style result as the log lines write it: unsigned lower-case hex without "0x".
std::string HrHex(int32_t hr);
// A log line about one view: the text, then ", view_id=" and the id in decimal.
std::string ViewForm(const std::string& text, uint32_t view_id);

}  // namespace vyo

#define HostLogf(level, ...) ::vyo::HostLogAt(::vyo::SourceLocation::Current(), level, __VA_ARGS__)
#define TaggedLogf(level, tag, ...) ::vyo::TaggedLogAt(::vyo::SourceLocation::Current(), level, tag, __VA_ARGS__)
