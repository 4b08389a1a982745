// The browser process as the DevTools backend sees it: where the executable is, its installed
// version, whether a user data folder is held by a live browser, and one started browser with the
// two ends of its DevTools pipe. One implementation per platform (posix/, win32/).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vyo::web::cdp {

// The exit status a browser ends with when another live browser holds its user data folder.
constexpr int kProfileInUseExitCode = 21;

// The usual install locations of a Chromium-family browser on this platform, in the order tried.
std::vector<std::string> DefaultBrowserLocations();

// True when `path` names an existing regular file this process may run.
bool IsExecutableFile(const std::string& path);

// The installed version ("156.0.8078.129") of the browser at `executable`, or empty.
std::string ReadInstalledVersion(const std::string& executable);

// The process id of a live browser that holds `user_data_dir` (from the folder's singleton lock;
// 0 when the holder runs on another machine), or nullopt when the folder is free or its lock is
// stale.
std::optional<uint32_t> ProfileHolder(const std::string& user_data_dir);

// True where the browser's sandbox cannot run for this process (Linux: running as root).
bool SandboxMustBeOff();

// A started browser. Read is called by one reader thread, Write by one writer thread; the other
// calls may come from any thread.
class BrowserProcess {
 public:
  virtual ~BrowserProcess() = default;  // kills and reaps a browser that is still running

  // Starts `executable` with `args` and the DevTools pipe (the pipe flags are added here). Null
  // with `error` set on failure.
  static std::unique_ptr<BrowserProcess> Start(const std::string& executable, const std::vector<std::string>& args,
                                               std::string* error);

  virtual uint32_t Pid() const = 0;
  // Blocks until bytes arrive: the count, 0 at the end of the stream or after InterruptRead,
  // negative on an error.
  virtual long Read(char* buffer, size_t size) = 0;
  // Writes the whole buffer; false when the browser no longer reads.
  virtual bool Write(const char* data, size_t size) = 0;
  // Wakes a blocked Read (which returns 0) and makes later reads return 0.
  virtual void InterruptRead() = 0;
  // Waits up to `timeout_ms` for the exit and reaps the process: its exit status once it ended.
  virtual std::optional<int> WaitExit(uint32_t timeout_ms) = 0;
  // Ends the browser and every process it started that is still in its group, and reaps it.
  virtual void Kill() = 0;
};

}  // namespace vyo::web::cdp
