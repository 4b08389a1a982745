// Processes: the overlay's process watched by the host, child processes started by the reference
// overlay, and facts about the current process.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vyo::platform {

// A handle on another process that can only be asked whether it has exited.
// Windows: OpenProcess(SYNCHRONIZE). Linux: pidfd_open, polled.
class ProcessWatch {
 public:
  virtual ~ProcessWatch() = default;
  static std::unique_ptr<ProcessWatch> Open(uint32_t pid);  // null when it cannot be opened
  virtual bool HasExited() = 0;
};

// A process started by us.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Starts `program` with `args` (not including the program itself). Null on failure.
  static std::unique_ptr<ChildProcess> Start(const std::u16string& program,
                                             const std::vector<std::u16string>& args);
  virtual uint32_t Pid() const = 0;
  // Waits up to `timeout_ms` for the exit; returns the exit status when it has exited.
  virtual std::optional<uint32_t> Wait(uint32_t timeout_ms) = 0;
  virtual void Kill() = 0;
};

uint32_t CurrentProcessId();
// Ends the current process at once with `code` (mapped with ExitStatusFor on Linux).
[[noreturn]] void TerminateCurrentProcess(uint32_t code);

// The status a process exit code becomes on this platform: unchanged on Windows; on Linux, where
// statuses have 8 bits, 0xE001000N becomes 200 + N and other codes keep their low 8 bits.
int ExitStatusFor(uint32_t code);

// Full path of the running executable; empty when it cannot be found in full.
std::u16string ExecutablePath();
// Folder of the running executable (no trailing separator); empty on failure.
std::u16string ExecutableDirectory();
// The path separator of this platform.
char16_t PathSeparator();
// The program `name` in the running executable's folder (".exe" added on Windows).
inline std::u16string ProgramBesideThis(const std::u16string& name) {
  std::u16string path = ExecutableDirectory();
  path += PathSeparator();
  path += name;
#if defined(_WIN32)
  path += u".exe";
#endif
  return path;
}

// Environment variables: nullopt when the variable is not set (an empty value is a value).
std::optional<std::string> GetEnv(const std::string& name);

// Lets `pid` bring windows to the foreground (Windows); ok=false and the error code otherwise.
struct ForegroundGrant {
  bool ok = false;
  uint32_t error = 0;
};
ForegroundGrant AllowForegroundFor(uint32_t pid);

// Makes the process DPI aware: 2 per-monitor v2, 1 system aware, 0 failed (always 0 on Linux).
int ApplyDpiAwareness();

// Windows version as {major, minor, build}; zeros when it cannot be read (the kernel release on Linux).
struct OsVersion {
  uint32_t major = 0, minor = 0, build = 0;
};
OsVersion GetOsVersion();

}  // namespace vyo::platform
