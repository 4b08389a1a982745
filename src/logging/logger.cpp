#include "logging/logger.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <system_error>
#include <thread>
#include <vector>

#include "base/lock_checks.h"
#include "base/text.h"
#include "logging/memory_log.h"
#include "logging/retention.h"
#include "logging/text_file_sink.h"
#include "platform/log_files.h"
#include "platform/process.h"

namespace base {
namespace {

constexpr std::size_t kQueueLimit = 100000;

std::u16string WithSeparator(std::u16string dir) {
  if (!dir.empty() && dir.back() != u'/' && dir.back() != u'\\') dir += vyo::platform::PathSeparator();
  return dir;
}

std::u16string FileNameOf(const std::u16string& path) {
  const std::size_t cut = path.find_last_of(u"/\\");
  return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

LogRecord MakeRecord(const LogMessage& m) {
  LogRecord r;
  r.time = NowForLog();
  r.thread_id = vyo::platform::CurrentThreadId();
  r.kind = m.kind < 0 ? 0 : (m.kind > 6 ? 6 : m.kind);
  r.file = std::string(SourceFileName(m.file));
  r.line = m.line;
  r.function = std::string(m.function);
  r.message = std::string(m.text);
  return r;
}

std::atomic<bool> g_banner_written{false};

// Takes `lock` by polling try_lock until `timeout_ms` passed: the bounded paths (the watchdog's
// report, the crash path's relay) must never wait on a thread that is stuck holding it.
bool TryLockFor(std::mutex& lock, int timeout_ms) {
  if (lock.try_lock()) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (lock.try_lock()) return true;
  }
  return false;
}

}  // namespace

struct logger::InnerData {
  std::atomic<int> file_level{kLogNotice};
  std::atomic<int> memlog_level{kLogTrace};
  std::atomic<bool> memlog_enabled{true};
  bool synchronous = true;
  std::atomic<bool> initialised{false};
  std::unique_ptr<g3::TextFileSink> file_sink;
  std::unique_ptr<g3::StdoutSink> console_sink;
  MemoryLog memory_log;
  std::u16string memory_log_path;

  // Asynchronous mode: records wait here for the worker.
  std::mutex queue_lock;
  std::condition_variable queue_ready;
  std::condition_variable queue_space;
  std::deque<LogRecord> queue;
  bool stopping = false;
  std::thread worker;

  std::thread retention;

  ~InnerData() {
    if (worker.joinable()) {
      {
        std::lock_guard<std::mutex> guard(queue_lock);
        stopping = true;
      }
      queue_ready.notify_all();
      worker.join();  // the worker writes what is still queued before it ends
    }
    if (retention.joinable()) retention.join();
    file_sink.reset();  // footer and trailer
    memory_log.Close();
  }

  // Writes one record to the file sink (or the console); false when nothing took it.
  bool WriteToFile(const LogRecord& record, int timeout_ms) {
    if (file_sink != nullptr) return file_sink->Write(RecordLine(record), timeout_ms);
    if (console_sink != nullptr) {
      console_sink->Write(ConsoleLine(record));
      return true;
    }
    return false;
  }

  void WorkerLoop() {
    std::deque<LogRecord> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(queue_lock);
        queue_ready.wait(guard, [&] { return stopping || !queue.empty(); });
        if (queue.empty() && stopping) return;
        batch.swap(queue);
      }
      queue_space.notify_all();
      for (const auto& record : batch) WriteToFile(record, -1);
      batch.clear();
    }
  }
};

logger& logger::Instance() {
  static logger instance;
  return instance;
}

ILogger& GetLogger() { return logger::Instance(); }

std::shared_ptr<logger::InnerData> logger::Acquire() {
  std::lock_guard<std::mutex> guard(inner_lock_);
  return inner_;
}

std::shared_ptr<logger::InnerData> logger::AcquireBounded(int timeout_ms, bool* timed_out) {
  *timed_out = false;
  if (timeout_ms < 0) return Acquire();
  if (!TryLockFor(inner_lock_, timeout_ms)) {
    *timed_out = true;
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(inner_lock_, std::adopt_lock);
  return inner_;
}

std::u16string DefaultLogDirectory() {
  const std::u16string exe_dir = vyo::platform::ExecutableDirectory();
  if (exe_dir.empty()) return {};
  std::u16string dir = WithSeparator(exe_dir);
  dir += u"log";
  dir += vyo::platform::PathSeparator();
  return dir;
}

bool logger::Init(const LoggerConfig& config) {
  std::lock_guard<std::mutex> init_guard(init_lock_);
  if (auto current = Acquire(); current != nullptr && current->initialised.load()) return true;

  const std::string prefix = config.prefix.empty() ? std::string("fenyra") : config.prefix;
  std::u16string directory = config.directory.empty() ? DefaultLogDirectory() : config.directory;
  if (directory.empty()) return false;
  directory = WithSeparator(directory);

  // The state is built whole before it is published, so no writer sees a half-made logger.
  auto inner = std::make_shared<InnerData>();
  if (config.memory_log) {
    const std::u16string folder = directory + u"memlog";
    if (!vyo::platform::CreateDirectoryTree(folder)) return false;
    inner->memory_log_path =
        WithSeparator(folder) + vyo::Utf8ToUtf16(MakeLogFileName(prefix, config.tag.empty() ? "mem" : config.tag,
                                                                 false, LogTime{}));
    if (!inner->memory_log.Open(inner->memory_log_path, config.encrypt, config.reader_key)) {
      // The host carries on without the memory log.
      inner->memlog_enabled = false;
      inner->memlog_level = kLogKindOff;
    }
  } else {
    inner->memlog_enabled = false;
    inner->memlog_level = kLogKindOff;
    if (!vyo::platform::CreateDirectoryTree(directory)) return false;
  }

  g3::TextFileSinkOptions sink_options;
  sink_options.prefix = prefix;
  sink_options.directory = directory;
  sink_options.tag = config.tag;
  sink_options.timestamp_in_name = config.timestamp_in_name;
  sink_options.encrypt = config.encrypt;
  sink_options.compress = config.encrypt;
  sink_options.reader_key = config.reader_key;
  sink_options.segment_bytes = config.segment_bytes;
  inner->file_sink = std::make_unique<g3::TextFileSink>(sink_options);

  inner->synchronous = config.synchronous;
  if (!config.synchronous) {
    try {
      inner->worker = std::thread([raw = inner.get()] { raw->WorkerLoop(); });
    } catch (const std::system_error&) {
      inner->synchronous = true;  // without a worker, callers write themselves
    }
  }
  inner->initialised = true;

  // Retention of old files; without a thread this run simply skips it.
  try {
    const std::u16string pattern = vyo::Utf8ToUtf16(prefix + "." + config.tag);
    inner->retention = std::thread([directory, pattern, hours = config.retention_hours,
                                    bytes = config.retention_bytes] {
      PruneLogDirectory(directory, pattern, u".log", hours, bytes);
    });
  } catch (const std::system_error&) {
  }

  std::lock_guard<std::mutex> guard(inner_lock_);
  inner_ = std::move(inner);
  return true;
}

bool logger::InitConsole(bool synchronous) {
  std::lock_guard<std::mutex> init_guard(init_lock_);
  if (auto current = Acquire(); current != nullptr && current->initialised.load()) return true;
  auto inner = std::make_shared<InnerData>();
  inner->memlog_enabled = false;
  inner->memlog_level = kLogKindOff;
  inner->console_sink = std::make_unique<g3::StdoutSink>();
  inner->synchronous = synchronous;
  if (!synchronous) {
    try {
      inner->worker = std::thread([raw = inner.get()] { raw->WorkerLoop(); });
    } catch (const std::system_error&) {
      inner->synchronous = true;
    }
  }
  inner->initialised = true;
  std::lock_guard<std::mutex> guard(inner_lock_);
  inner_ = std::move(inner);
  return true;
}

void logger::Shutdown() {
  std::shared_ptr<InnerData> dropped;
  {
    std::lock_guard<std::mutex> init_guard(init_lock_);
    std::lock_guard<std::mutex> guard(inner_lock_);
    dropped.swap(inner_);
  }
  // `dropped` goes here; if another thread still uses the state, the last of them ends the files.
}

bool logger::ShutdownBounded(int timeout_ms) {
  std::shared_ptr<InnerData> dropped;
  {
    if (!TryLockFor(inner_lock_, timeout_ms < 0 ? 0 : timeout_ms)) return false;
    std::lock_guard<std::mutex> guard(inner_lock_, std::adopt_lock);
    dropped.swap(inner_);
  }
  if (dropped == nullptr || dropped->file_sink == nullptr) return false;
  const bool footer = dropped->file_sink->Close(timeout_ms);
  if (!footer) {
    // A writer may be stuck inside a sink: this thread must not wait for it in the state's
    // destructor. The state is deliberately kept; the process is about to end.
    new std::shared_ptr<InnerData>(std::move(dropped));
  }
  return footer;
}

void logger::SetFileLevel(int kind) {
  if (auto inner = Acquire()) inner->file_level = kind;
}

bool logger::GetFileLevel(int& kind) {
  auto inner = Acquire();
  if (inner == nullptr) return false;
  kind = inner->file_level;
  return true;
}

int logger::FileLevel() {
  auto inner = Acquire();
  return inner != nullptr && inner->initialised ? inner->file_level.load() : kLogFatal;
}

bool logger::IsEnabled(int kind) {
  auto inner = Acquire();
  return inner != nullptr && inner->initialised && (kind >= inner->file_level || kind >= inner->memlog_level);
}

bool logger::Write(const LogMessage& message) { return WriteImpl(message, -1); }

bool logger::WriteBounded(const LogMessage& message, int timeout_ms) {
  return WriteImpl(message, timeout_ms < 0 ? 0 : timeout_ms);
}

bool logger::WriteImpl(const LogMessage& message, int timeout_ms) {
  vyo::CheckNoRegistryLock("write a log record");  // it takes the logger's locks, maybe the file
  bool timed_out = false;
  auto inner = AcquireBounded(timeout_ms, &timed_out);
  if (inner == nullptr || !inner->initialised) return false;
  const bool to_memlog = inner->memlog_enabled && message.kind >= inner->memlog_level;
  const bool to_file = message.kind >= inner->file_level;
  if (!to_memlog && !to_file) return false;

  LogRecord record = MakeRecord(message);
  bool written = false;
  if (to_memlog) written = inner->memory_log.Append(RecordLine(record), timeout_ms);
  if (!to_file) return written;

  if (inner->synchronous) return inner->WriteToFile(record, timeout_ms) || written;

  std::unique_lock<std::mutex> guard(inner->queue_lock, std::defer_lock);
  if (timeout_ms < 0) {
    guard.lock();
  } else if (TryLockFor(inner->queue_lock, timeout_ms)) {
    guard = std::unique_lock<std::mutex>(inner->queue_lock, std::adopt_lock);
  } else {
    return written;  // a thread is stuck holding the queue
  }
  const auto has_space = [&] { return inner->queue.size() < kQueueLimit || inner->stopping; };
  if (timeout_ms < 0) {
    inner->queue_space.wait(guard, has_space);
  } else if (!inner->queue_space.wait_for(guard, std::chrono::milliseconds(timeout_ms), has_space)) {
    return written;
  }
  inner->queue.push_back(std::move(record));
  guard.unlock();
  inner->queue_ready.notify_one();
  return true;
}

bool logger::DumpMemoryLog(const std::u16string& target) {
  auto inner = Acquire();
  return inner != nullptr && inner->memlog_enabled && inner->memory_log.DumpToFile(target);
}

void logger::Flush() {
  auto inner = Acquire();
  if (inner == nullptr) return;
  if (inner->file_sink != nullptr) {
    inner->file_sink->Flush();
  } else if (inner->console_sink != nullptr) {
    inner->console_sink->Flush();
  }
}

void logger::FlushMemoryLog() {
  if (auto inner = Acquire()) inner->memory_log.Flush();
}

std::unique_lock<std::mutex> logger::HoldQueueLockForTesting() {
  auto inner = Acquire();
  if (inner == nullptr || inner->synchronous) return {};
  // The state outlives the lock: the logger keeps it until Shutdown, which tests call later.
  return std::unique_lock<std::mutex>(inner->queue_lock);
}

std::u16string logger::LogFilePath() {
  auto inner = Acquire();
  return inner != nullptr && inner->file_sink != nullptr ? inner->file_sink->path() : std::u16string();
}

std::u16string logger::MemoryLogPath() {
  auto inner = Acquire();
  return inner != nullptr && inner->memlog_enabled ? inner->memory_log_path : std::u16string();
}

bool logger::MemoryLogEnabled() {
  auto inner = Acquire();
  return inner != nullptr && inner->memlog_enabled;
}

namespace {

void WriteVersionBanner() {
  if (g_banner_written.exchange(true)) return;
  ILogger& log = GetLogger();
  if (!log.IsEnabled(kLogNotice)) return;
  const std::string host = vyo::Utf16ToUtf8(vyo::platform::ExecutablePath());
  // The logger is linked into the executable, so the module that holds it is the executable.
  const std::string module_name = vyo::Utf16ToUtf8(FileNameOf(vyo::platform::ExecutablePath()));
  LogPrintf(kLogNotice, "VyoVersion", "%s version=%s, arch=%s, config=%s, built=%s", module_name.c_str(),
            kHostVersion, "x64", "Release", kBuildTimeText);
  LogPrintf(kLogNotice, "VyoVersion", "module=%s, host=%s, pid=%u", host.c_str(), host.c_str(),
            static_cast<unsigned>(vyo::platform::CurrentProcessId()));
}

}  // namespace

bool InitLogging(std::string_view tag, const LoggingOptions& options) {
  LoggerConfig config;
  config.timestamp_in_name = true;
  config.tag = std::string(tag);
  config.directory = options.directory;
  config.synchronous = options.synchronous;
  config.encrypt = options.encrypt;
  config.memory_log = options.memory_log;
  config.retention_bytes = options.retention_bytes;
  config.retention_hours = options.retention_hours;
  config.reader_key = options.reader_key;
  config.segment_bytes = options.segment_bytes;
  ILogger& log = GetLogger();
  if (!log.Init(config)) return false;
  log.SetFileLevel(options.file_level);
  WriteVersionBanner();
  return true;
}

void ShutdownLogging() { GetLogger().Shutdown(); }

bool LogWrite(int kind, std::string_view text, const char* file, int line, const char* function) {
  LogMessage m;
  m.kind = kind;
  m.file = file != nullptr ? file : "";
  m.line = line;
  m.function = function != nullptr ? function : "";
  m.text = text;
  return GetLogger().Write(m);
}

bool LogWriteBounded(int kind, std::string_view text, int timeout_ms, const char* file, int line,
                     const char* function) {
  LogMessage m;
  m.kind = kind;
  m.file = file != nullptr ? file : "";
  m.line = line;
  m.function = function != nullptr ? function : "";
  m.text = text;
  return logger::Instance().WriteBounded(m, timeout_ms);
}

void LogPrintfAt(const vyo::SourceLocation& where, int kind, const char* tag, const char* format, ...) {
  if (!GetLogger().IsEnabled(kind)) return;
  std::va_list args;
  va_start(args, format);
  std::string text = "[";
  text += tag;
  text += "]";
  text += vyo::StringPrintfV(format, args);
  va_end(args);
  LogMessage m;
  m.kind = kind;
  m.file = where.file;
  m.line = where.line;
  m.function = where.function;
  m.text = text;
  GetLogger().Write(m);
}

}  // namespace base
