// The host's logger: a process-wide singleton that writes each record to a log file (one per run,
// compressed and encrypted), to the memory log (the latest records in a fixed-size ring file) and,
// when asked, to the console.
//
// Every operation holds a shared reference to the logger's state for its whole duration, so a
// Shutdown racing with writes on other threads never frees what they use: Shutdown only drops the
// global reference, and the file's footer and trailer are written when the last user lets go.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/log_crypt.h"
#include "logging/log_format.h"

namespace base {

struct LoggerConfig {
  bool timestamp_in_name = true;
  std::string tag;
  std::u16string directory;  // empty: DefaultLogDirectory()
  std::string prefix;        // empty: "fenyra"
  bool synchronous = true;
  bool encrypt = true;  // the log file is then also compressed; the memory log is never compressed
  bool memory_log = true;
  std::uint64_t retention_bytes = 52428800;
  std::uint32_t retention_hours = 336;
  // For tests: another reader key than built-in key 0, and a smaller segment size.
  const log_crypt::PublicKey* reader_key = nullptr;
  std::uint32_t segment_bytes = 0;
};

// A message under construction: level, source location and text.
struct LogMessage {
  int kind = kLogInfo;
  std::string_view file;
  std::int32_t line = 0;
  std::string_view function;
  std::string_view text;
};

class ILogger {
 public:
  virtual ~ILogger() = default;
  // True at once when already initialised.
  virtual bool Init(const LoggerConfig& config) = 0;
  virtual void Shutdown() = 0;
  virtual void SetFileLevel(int kind) = 0;
  virtual bool GetFileLevel(int& kind) = 0;
  virtual int FileLevel() = 0;  // 6 when not initialised
  virtual bool IsEnabled(int kind) = 0;
  // True when the record reached at least one sink (or the queue, in asynchronous mode).
  virtual bool Write(const LogMessage& message) = 0;
  virtual bool DumpMemoryLog(const std::u16string& target) = 0;
  virtual void Flush() = 0;
  virtual void FlushMemoryLog() = 0;
  virtual bool InitConsole(bool synchronous) = 0;
};

class logger final : public ILogger {
 public:
  struct InnerData;

  static logger& Instance();

  bool Init(const LoggerConfig& config) override;
  void Shutdown() override;
  void SetFileLevel(int kind) override;
  bool GetFileLevel(int& kind) override;
  int FileLevel() override;
  bool IsEnabled(int kind) override;
  bool Write(const LogMessage& message) override;
  bool DumpMemoryLog(const std::u16string& target) override;
  void Flush() override;
  void FlushMemoryLog() override;
  bool InitConsole(bool synchronous) override;

  // For the watchdog and the crash path: a write that gives up (false) when one of the logger's
  // locks (the state pointer's, the asynchronous queue's, a sink's) is not free within `timeout_ms`
  // (each lock polled with try_lock, never waited on), and a shutdown that ends the log file within `timeout_ms`: with footer and
  // trailer when the file sink's lock is free in time, otherwise with the trailer alone (a stuck
  // writer's state is then left alone and never freed). True when the footer was written.
  bool WriteBounded(const LogMessage& message, int timeout_ms);
  bool ShutdownBounded(int timeout_ms);

  // Where this run's files are (empty when there are none).
  std::u16string LogFilePath();
  std::u16string MemoryLogPath();
  // Whether the memory log is in use (it is switched off when it cannot be opened).
  bool MemoryLogEnabled();

  // Tests: holds the asynchronous queue's lock (what a writer stuck inside the queue holds) until
  // the returned lock goes; an empty lock when the logger is not running asynchronously.
  std::unique_lock<std::mutex> HoldQueueLockForTesting();

 private:
  logger() = default;
  std::shared_ptr<InnerData> Acquire();
  // Acquire for the bounded paths: gives up (null, `timed_out`) when the pointer's lock stays
  // held for `timeout_ms`; a negative time waits as Acquire does.
  std::shared_ptr<InnerData> AcquireBounded(int timeout_ms, bool* timed_out);
  bool WriteImpl(const LogMessage& message, int timeout_ms);

  std::mutex init_lock_;   // serialises Init, InitConsole and Shutdown
  std::mutex inner_lock_;  // guards the pointer below, never held while logging
  std::shared_ptr<InnerData> inner_;
};

ILogger& GetLogger();

// "<executable's folder>/log/" (with the platform's separator); empty when the executable's
// folder is unknown.
std::u16string DefaultLogDirectory();

// What InitLogging passes to Init besides the tag; the defaults are the host's settings.
struct LoggingOptions {
  std::u16string directory;  // empty: DefaultLogDirectory()
  bool encrypt = true;
  bool memory_log = true;
  bool synchronous = true;
  int file_level = kLogTrace;
  std::uint64_t retention_bytes = 52428800;
  std::uint32_t retention_hours = 336;
  const log_crypt::PublicKey* reader_key = nullptr;
  std::uint32_t segment_bytes = 0;
};

// Start-up: Init with the tag and options, the file level, and the version banner once per process.
bool InitLogging(std::string_view tag, const LoggingOptions& options = {});
void ShutdownLogging();

// Writes one finished message at `kind`; the source location is the caller's unless given.
bool LogWrite(int kind, std::string_view text, const char* file = __builtin_FILE(), int line = __builtin_LINE(),
              const char* function = __builtin_FUNCTION());
// The same, giving up after `timeout_ms` when a sink is held by a stuck thread.
bool LogWriteBounded(int kind, std::string_view text, int timeout_ms, const char* file = __builtin_FILE(),
                     int line = __builtin_LINE(), const char* function = __builtin_FUNCTION());

// printf-style message with the bracketed tag in front: "[" tag "]" + the formatted text, written
// with the caller's location. Untrusted text must be an argument ("%s"), never the format. Use the
// LogPrintf macro.
void LogPrintfAt(const vyo::SourceLocation& where, int kind, const char* tag, const char* format, ...)
    VYO_PRINTF_FORMAT(4, 5);

// The version banner's fixed facts.
inline constexpr const char* kHostVersion = "1.1.0.41";
inline constexpr const char* kBuildTimeText = "Oct 16 2026 15:33:32";

}  // namespace base

#define LogPrintf(kind, tag, ...) ::base::LogPrintfAt(::vyo::SourceLocation::Current(), kind, tag, __VA_ARGS__)
