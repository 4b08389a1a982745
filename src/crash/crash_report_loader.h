// The crash report loader: loads the crash report helper library from the "BugReport" folder beside
// the executable, hands it the configuration record, registers the host's crash callback, keeps
// the user id current and unloads the library at exit. The crash callback names the faulting
// module, logs the crash, stores a telemetry event without waiting and ends the log before the
// helper takes the process down.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crash/helper_abi.h"

namespace vyo::platform {
class DynamicLibrary;
}

namespace vyo::crash {

// What the crash path needs from the rest of the host. Every call but Prepare and Trace may run on
// a failing thread, inside a signal handler on Linux, possibly while that thread holds the heap's
// lock: those calls must not allocate and must not wait for a lock another thread could hold
// (they copy into fixed buffers and hand work to a thread prepared at start, waited for with a
// bound).
class CrashServices {
 public:
  virtual ~CrashServices() = default;
  // At start, on an ordinary thread: makes ready what the calls below need.
  virtual void Prepare() = 0;
  // Loader messages for a debugger ("[%d-%d %d:%d:%d:%d][T%d] %s\n").
  virtual void Trace(std::string_view message) = 0;
  // One ERROR line with a bounded wait for the logger; the record carries the given call site.
  virtual void LogError(std::string_view text, const char* file, int line, const char* function) = 0;
  // Stores one telemetry event in the offline file directly (no queue, no network).
  virtual void ReportOffline(int32_t kind, std::span<const int32_t> ints, std::span<const std::string_view> strs) = 0;
  // Ends the log file within a bound.
  virtual void ShutdownLog() = 0;
  virtual void Pause(uint32_t ms) = 0;
};

// The host's services: its logger, telemetry reporter and debugger output.
CrashServices& HostCrashServices();

constexpr size_t kVersionChars = 64;  // including the terminator
constexpr size_t kPathChars = 260;    // including the terminator
// A module's UTF-8 file name, including the terminator.
constexpr size_t kModuleNameBytes = 261;

// A loaded module as the crash path sees it: prepared at start so that naming the faulting module
// needs no loader call, no allocation and no file access.
struct CrashModule {
  uintptr_t begin = 0;
  uintptr_t end = 0;
  char name[kModuleNameBytes] = {};               // "unknown" when the name is not usable
  bool has_version = false;                       // the file has a version resource
  std::array<char16_t, kVersionChars> version{};  // what the report's version becomes
};

class CrashReportLoader {
 public:
  // The process's loader (created on first use, over the host's services).
  static CrashReportLoader& Instance();

  // `executable_path`: the executable's full path (empty: the running executable's).
  explicit CrashReportLoader(CrashServices& services, std::u16string executable_path = {});
  ~CrashReportLoader();
  CrashReportLoader(const CrashReportLoader&) = delete;
  CrashReportLoader& operator=(const CrashReportLoader&) = delete;

  // Loads and initialises the helper. True when crash reporting is on.
  bool Init(std::u16string_view product_tag, std::optional<uint64_t> user_id, uint64_t option1, uint32_t option2,
            VyoCrashCallback callback);
  void SetUserId(uint64_t user_id);
  void Uninit();
  // Takes the list of loaded modules again, here and in the helper; Init takes the first, and every
  // library DynamicLibrary::Open loads later calls it (platform::SetLibraryLoadedHook).
  void RefreshModules();

  // The host's crash callback: forwards to the loader that registered it.
  static int HostCrashCallback(const VyoCrashCallbackInfo* info);
  // What the callback does (returns 1).
  int OnCrash(const VyoCrashCallbackInfo* info);

  bool initialised() const { return record_ != nullptr; }
  const uint8_t* record() const { return record_ ? record_->data() : nullptr; }
  std::u16string version() const { return version_.data(); }
  std::u16string host_version() const { return host_version_.data(); }
  std::u16string crash_folder() const { return crash_folder_.data(); }
  std::u16string library_path() const { return library_path_.data(); }
  std::u16string dbghelp_path() const { return dbghelp_path_.data(); }
  uint64_t user_id() const { return user_id_.load(); }
  // An export of the loaded library (diagnostics and tests); null when none is loaded.
  void* Symbol(const char* name) const;

 private:
  void TraceF(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void PushUserId(uint64_t user_id);
  void ClearExports();
  const CrashModule* FindModule(const void* address) const;

  CrashServices& services_;
  std::u16string executable_path_;
  std::unique_ptr<platform::DynamicLibrary> library_;
  VyoInitCrashReportHelperFn init_ = nullptr;
  VyoUninitCrashReportHelperFn uninit_ = nullptr;
  VyoSetCrashReportHelperOfflineFn set_offline_ = nullptr;
  VyoSetCrashReportHelperCallbackFn set_callback_ = nullptr;
  VyoAddCrashReportHelperFileFn add_file_ = nullptr;
  VyoUpdateCrashReportHelperUserIdFn update_user_id_ = nullptr;
  VyoRefreshCrashReportHelperModulesFn refresh_modules_ = nullptr;

  // The record and every text it points at belong to the loader and stay put while it is handed out.
  struct alignas(8) Record : std::array<uint8_t, VYO_CRASH_RECORD_SIZE> {};
  std::unique_ptr<Record> record_;
  std::array<char16_t, kVersionChars> product_{};
  std::array<char16_t, kVersionChars> version_{};
  std::array<char16_t, kVersionChars> host_version_{};
  std::array<char16_t, kPathChars> crash_folder_{};
  std::array<char16_t, kPathChars> dbghelp_path_{};
  std::array<char16_t, kPathChars> library_path_{};
  std::atomic<uint64_t> user_id_{0};
  // The module list the crash path reads; lists replaced by RefreshModules are kept (a failing
  // thread may be reading one), they are few and small.
  std::atomic<const std::vector<CrashModule>*> modules_{nullptr};
  std::mutex module_lists_lock_;  // guards module_lists_ (never held while listing modules)
  std::vector<std::unique_ptr<std::vector<CrashModule>>> module_lists_;
  std::atomic<int> crash_in_progress_{0};
};

// Pure helpers of the callback, exposed for tests.
// "%u.%u.%u.%u" of a version.
std::u16string FormatVersion(const std::array<uint16_t, 4>& v);
// True when `path` lies in one of `folders` (compared without regard to case, the folder followed
// in the path by its end, a backslash or a slash).
bool IsInFolders(std::u16string_view path, const std::vector<std::u16string>& folders);
// The part after the last backslash, or else after the last slash.
std::u16string_view FileNamePart(std::u16string_view path);
// Copies text into a fixed array, cut to fit with its terminator; false when it had to be cut.
template <size_t N>
bool CopyText(std::array<char16_t, N>& to, std::u16string_view text) {
  const size_t n = text.size() < N ? text.size() : N - 1;
  for (size_t i = 0; i < n; ++i) to[i] = text[i];
  to[n] = 0;
  return n == text.size();
}

}  // namespace vyo::crash
