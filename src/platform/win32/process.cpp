// Processes on Windows: watching the overlay's process, starting children, facts about ourselves.
#include "platform/process.h"

#include <windows.h>

#include <string>
#include <vector>

#include "base/text.h"

#include "platform/win32/unique_handle.h"

namespace vyo::platform {
namespace {

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
std::u16string FromWide(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

// Looks up an export at run time so the program still starts where it is missing.
template <typename Fn>
Fn ResolveExport(const wchar_t* module_name, const char* export_name) {
  HMODULE module = GetModuleHandleW(module_name);
  if (!module) return nullptr;
  FARPROC proc = GetProcAddress(module, export_name);
  if (!proc) return nullptr;
  // Through void(*)() so the compiler accepts the change of signature.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// Appends `arg` quoted so that the C runtime's argument parser gives it back unchanged:
// backslashes are literal except before a quote, where they are doubled and the quote escaped.
void AppendQuoted(std::wstring& line, std::wstring_view arg) {
  line.push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t ch : arg) {
    if (ch == L'\\') {
      ++backslashes;
      continue;
    }
    if (ch == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line.push_back(ch);
  }
  // The closing quote follows, so trailing backslashes are doubled too.
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

class Win32ProcessWatch final : public ProcessWatch {
 public:
  explicit Win32ProcessWatch(HANDLE process) : process_(process) {}
  Win32ProcessWatch(const Win32ProcessWatch&) = delete;
  Win32ProcessWatch& operator=(const Win32ProcessWatch&) = delete;

  bool HasExited() override { return WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0; }

 private:
  UniqueHandle process_;
};

class Win32ChildProcess final : public ChildProcess {
 public:
  Win32ChildProcess(HANDLE process, uint32_t pid) : process_(process), pid_(pid) {}
  Win32ChildProcess(const Win32ChildProcess&) = delete;
  Win32ChildProcess& operator=(const Win32ChildProcess&) = delete;

  uint32_t Pid() const override { return pid_; }

  std::optional<uint32_t> Wait(uint32_t timeout_ms) override {
    if (WaitForSingleObject(process_.get(), timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
    return static_cast<uint32_t>(code);
  }

  void Kill() override { TerminateProcess(process_.get(), 1); }

 private:
  UniqueHandle process_;
  uint32_t pid_;
};

}  // namespace

std::unique_ptr<ProcessWatch> ProcessWatch::Open(uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!process) return nullptr;
  return std::make_unique<Win32ProcessWatch>(process);
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::u16string& program,
                                                  const std::vector<std::u16string>& args) {
  if (program.empty()) return nullptr;
  std::wstring line;
  AppendQuoted(line, Wide(program));
  for (const std::u16string& arg : args) {
    line.push_back(L' ');
    AppendQuoted(line, Wide(arg));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  // CreateProcessW may write into the command line, so it gets a private, writable copy.
  std::vector<wchar_t> writable(line.begin(), line.end());
  writable.push_back(L'\0');
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return nullptr;
  }
  UniqueHandle(info.hThread).reset();
  return std::make_unique<Win32ChildProcess>(info.hProcess, info.dwProcessId);
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void TerminateCurrentProcess(uint32_t code) {
  TerminateProcess(GetCurrentProcess(), code);
  // Not reached; the call above does not return for the current process.
  for (;;) ExitProcess(code);
}

int ExitStatusFor(uint32_t code) { return static_cast<int>(code); }

std::u16string ExecutablePath() {
  // Long paths can exceed MAX_PATH; grow until the whole path fits. A path that fills the buffer
  // may have been cut, so it is never returned.
  for (DWORD capacity = MAX_PATH; capacity <= 0x10000; capacity *= 2) {
    std::wstring buffer(capacity, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) return {};
    if (length < capacity) return FromWide(std::wstring_view(buffer.data(), length));
  }
  return {};
}

std::u16string ExecutableDirectory() {
  const std::u16string path = ExecutablePath();
  const size_t slash = path.find_last_of(u"\\/");
  if (slash == std::u16string::npos) return {};
  return path.substr(0, slash);
}

char16_t PathSeparator() { return u'\\'; }

std::optional<std::string> GetEnv(const std::string& name) {
  const std::wstring wide_name = Wide(Utf8ToUtf16(name));
  std::wstring buffer(256, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), buffer.data(),
                                                 static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      // Zero is both "not set" and "set to the empty string"; the error code tells them apart.
      if (GetLastError() == ERROR_SUCCESS) return std::string();
      return std::nullopt;
    }
    if (length < buffer.size()) {
      return Utf16ToUtf8(FromWide(std::wstring_view(buffer.data(), length)));
    }
    // Too small: `length` is the size needed including the terminator. The value may change
    // between calls, hence the retries.
    buffer.assign(length, L'\0');
  }
  return std::nullopt;
}

ForegroundGrant AllowForegroundFor(uint32_t pid) {
  ForegroundGrant grant;
  grant.ok = AllowSetForegroundWindow(pid) != FALSE;
  if (!grant.ok) grant.error = GetLastError();
  return grant;
}

int ApplyDpiAwareness() {
  using SetContextFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  if (auto set_context = ResolveExport<SetContextFn>(L"user32.dll", "SetProcessDpiAwarenessContext")) {
    if (set_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) return 2;
  }
  if (SetProcessDPIAware()) return 1;
  return 0;
}

OsVersion GetOsVersion() {
  // RtlGetVersion reports the real version, unlike GetVersionEx under compatibility shims.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OsVersion version;
  auto rtl_get_version = ResolveExport<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
  if (!rtl_get_version) return version;
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (rtl_get_version(&info) != 0) return version;
  version.major = info.dwMajorVersion;
  version.minor = info.dwMinorVersion;
  version.build = info.dwBuildNumber;
  return version;
}

}  // namespace vyo::platform
