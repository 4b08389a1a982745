// File operations of the logger: log files opened without write sharing, the memory-mapped ring
// file, directory listing with sizes and times for retention, deletion, and the few facts about the
// current thread and local time that a log record carries.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vyo::platform {

// An open log file for writing. Other processes may read it but not write it. Every Write goes
// straight to the operating system (no buffering in the process), so a process that is killed
// leaves every completed write in the file. Write may be called from several threads at once.
class LogFile {
 public:
  enum class Mode {
    kCreateNew,     // fails when the name is taken
    kCreateAlways,  // creates or truncates
  };
  virtual ~LogFile() = default;
  // Null on failure; `error` (when given) receives the system error number.
  static std::unique_ptr<LogFile> Open(const std::u16string& path, Mode mode, std::uint32_t* error = nullptr);
  // Writes every byte; false on failure.
  virtual bool Write(const void* data, std::size_t size) const = 0;
  // Pushes the data to the storage device.
  virtual bool Sync() const = 0;
};

// A file of a fixed size mapped into memory for reading and writing, held exclusively: a second
// opener (in this or another process) fails instead of sharing the mapping.
class MappedLogFile {
 public:
  virtual ~MappedLogFile() = default;
  // Opens or creates `path`, sets its size to `size` and maps it. Null on failure, with the system
  // error number in `error` when given.
  static std::unique_ptr<MappedLogFile> Open(const std::u16string& path, std::size_t size,
                                             std::uint32_t* error = nullptr);
  virtual std::uint8_t* data() = 0;
  virtual std::size_t size() const = 0;
  // Writes the mapped pages and the file to the storage device and sets the file's last-write time
  // to now; false (with the system error number) when that failed.
  virtual bool Flush(std::uint32_t* error = nullptr) = 0;
};

// Creates a directory and any missing parents. An existing directory is success.
bool CreateDirectoryTree(const std::u16string& path);

struct LogDirEntry {
  std::u16string name;        // file name without its directory
  std::uint64_t size = 0;     // bytes
  std::int64_t mtime_ns = 0;  // last-write time, nanoseconds since 1970 (UTC)
};
// Regular files directly in `dir` (not recursive). Entries whose status cannot be read are left
// out. False when the directory cannot be read at all.
bool ListLogDirectory(const std::u16string& dir, std::vector<LogDirEntry>& out);

// Deletes a file; false when it could not be deleted.
bool DeleteLogFile(const std::u16string& path);

// Sets a file's last-write time (nanoseconds since 1970, UTC).
bool SetLogFileTime(const std::u16string& path, std::int64_t mtime_ns);

// Local calendar time of `seconds` since 1970; false when it cannot be converted.
bool LocalCalendarTime(std::int64_t seconds, std::tm& out);

// The calling thread's id as the system numbers threads (GetCurrentThreadId, gettid).
std::uint32_t CurrentThreadId();

// Text for a debugger (OutputDebugString on Windows, standard error elsewhere).
void DebugOutput(std::string_view text);

}  // namespace vyo::platform
