// The host's own log. Lines reach it directly (with the "[FenyraOverlayHost]" tag prefix) or through
// the log path, which also sends them to the overlay. Until the file logger is in place the local
// log is a console sink on standard error.
#pragma once
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

enum class LogLevel { kDebug, kTrace, kInfo, kNotice, kWarning, kError, kFatal };

const char* LogLevelName(LogLevel level);

// Writes one finished line at `level`. Thread-safe. Lines go to the installed sink (the host's log
// files once logging is up), or to standard error while none is installed.
void WriteLocalLog(LogLevel level, std::string_view line);

using LocalLogSink = void (*)(LogLevel level, std::string_view line);
// Installs the sink for WriteLocalLog; null goes back to standard error.
void SetLocalLogSink(LocalLogSink sink);

// printf-style line with the host's tag prefix: "[FenyraOverlayHost]" + the formatted text.
// Untrusted text must be passed as an argument ("%s"), never as the format.
void HostLogf(LogLevel level, const char* format, ...) VYO_PRINTF_FORMAT(2, 3);

// printf-style line with a bracketed tag prefix: "[" + tag + "]" + the formatted text.
void TaggedLogf(LogLevel level, const char* tag, const char* format, ...) VYO_PRINTF_FORMAT(3, 4);

// Formats like printf into a std::string.
std::string StringPrintf(const char* format, ...) VYO_PRINTF_FORMAT(1, 2);

}  // namespace vyo
