// The browser process on Windows: CreateProcessW with two anonymous pipes whose child ends are the
// only handles it inherits; their values are passed with --remote-debugging-io-pipes (the end the
// browser reads commands from, then the end it writes to). The browser and the helpers it starts
// run in a job object that ends them all with it.
#include "renderers/cdp/browser_process.h"

#include <windows.h>

#include <mutex>

#include "base/text.h"
#include "renderers/cdp/cdp_protocol.h"

namespace vyo::web::cdp {
namespace {

std::wstring Wide(const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const std::wstring& text) { return Utf16ToUtf8(std::u16string(text.begin(), text.end())); }

// Quotes one argument the way the C runtime's parser reads it back.
void AppendQuoted(std::wstring* line, const std::wstring& arg) {
  if (!line->empty()) line->push_back(L' ');
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  line->push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') line->append(backslashes * 2 + 1, L'\\');
    else line->append(backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

void CloseHandleOnce(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

class WinBrowserProcess final : public BrowserProcess {
 public:
  WinBrowserProcess(HANDLE process, DWORD pid, HANDLE job, HANDLE to_browser, HANDLE from_browser)
      : process_(process), pid_(pid), job_(job), to_browser_(to_browser), from_browser_(from_browser) {}

  ~WinBrowserProcess() override {
    Kill();
    CloseHandleOnce(to_browser_);
    CloseHandleOnce(from_browser_);
    CloseHandleOnce(job_);
    CloseHandleOnce(process_);
    CloseHandleOnce(reader_thread_);
  }

  uint32_t Pid() const override { return pid_; }

  long Read(char* buffer, size_t size) override {
    RegisterReader();
    if (interrupted_) return 0;
    DWORD got = 0;
    const DWORD want = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!ReadFile(from_browser_, buffer, want, &got, nullptr)) {
      return interrupted_ ? 0 : (GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1);
    }
    return interrupted_ ? 0 : static_cast<long>(got);
  }

  bool Write(const char* data, size_t size) override {
    while (size > 0) {
      DWORD put = 0;
      const DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
      if (!WriteFile(to_browser_, data, chunk, &put, nullptr)) return false;
      data += put;
      size -= put;
    }
    return true;
  }

  void InterruptRead() override {
    interrupted_ = true;
    // The reader blocks in a synchronous ReadFile on an anonymous pipe: cancel it. A read not yet
    // started sees the flag.
    std::lock_guard<std::mutex> lock(mutex_);
    if (reader_thread_ == nullptr) return;
    CancelSynchronousIo(reader_thread_);
  }

  std::optional<int> WaitExit(uint32_t timeout_ms) override {
    if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    // The browser's helpers must not outlive it.
    if (job_ != nullptr) TerminateJobObject(job_, 1);
    return static_cast<int>(code);
  }

  void Kill() override {
    if (job_ != nullptr) TerminateJobObject(job_, 1);
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
  }

 private:
  // The reading thread is remembered so that InterruptRead can cancel its blocked read. A read
  // that starts just after a cancel still ends: Kill comes first, and a dead browser closes the
  // pipe.
  void RegisterReader() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reader_thread_ != nullptr) return;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &reader_thread_, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  }

  HANDLE process_;
  DWORD pid_;
  HANDLE job_;
  HANDLE to_browser_, from_browser_;
  std::mutex mutex_;
  HANDLE reader_thread_ = nullptr;
  volatile bool interrupted_ = false;
};

std::wstring ProgramFilesPath(const wchar_t* variable) {
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(variable, buffer, MAX_PATH);
  return (n > 0 && n < MAX_PATH) ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace

std::vector<std::string> DefaultBrowserLocations() {
  std::vector<std::string> out;
  for (const wchar_t* variable : {L"ProgramFiles", L"ProgramFiles(x86)", L"LOCALAPPDATA"}) {
    const std::wstring base = ProgramFilesPath(variable);
    if (base.empty()) continue;
    out.push_back(Narrow(base + L"\\Chromium\\Application\\chrome.exe"));
    out.push_back(Narrow(base + L"\\Google\\Chrome\\Application\\chrome.exe"));
  }
  return out;
}

bool IsExecutableFile(const std::string& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ReadInstalledVersion(const std::string& executable) {
  // The browser prints nothing for --version on Windows; its installation keeps each version in a
  // folder named after it beside the executable.
  const std::wstring exe = Wide(executable);
  const size_t slash = exe.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  const std::wstring pattern = exe.substr(0, slash + 1) + L"*";
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return {};
  std::string best;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    const std::string name = Narrow(data.cFileName);
    if (ParseVersion(name) == name && name > best) best = name;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return best;
}

bool SandboxMustBeOff() { return false; }

std::optional<uint32_t> ProfileHolder(const std::string& user_data_dir) {
  // A running browser keeps "lockfile" in its folder open without sharing; opening it for
  // deletion fails while it lives.
  const std::wstring lock = Wide(user_data_dir) + L"\\lockfile";
  HANDLE h = CreateFileW(lock.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return std::nullopt;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION ? std::optional<uint32_t>(0) : std::nullopt;
}

std::unique_ptr<BrowserProcess> BrowserProcess::Start(const std::string& executable,
                                                      const std::vector<std::string>& args, std::string* error) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_read = nullptr, to_browser = nullptr, from_browser = nullptr, child_write = nullptr;
  if (!CreatePipe(&child_read, &to_browser, &inherit, 0)) {
    *error = "CreatePipe failed";
    return nullptr;
  }
  if (!CreatePipe(&from_browser, &child_write, &inherit, 0)) {
    *error = "CreatePipe failed";
    CloseHandleOnce(child_read);
    CloseHandleOnce(to_browser);
    return nullptr;
  }
  SetHandleInformation(to_browser, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(from_browser, HANDLE_FLAG_INHERIT, 0);

  std::wstring line;
  AppendQuoted(&line, Wide(executable));
  AppendQuoted(&line, L"--remote-debugging-pipe");
  AppendQuoted(&line, L"--remote-debugging-io-pipes=" +
                          std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(child_read))) +
                          L"," +
                          std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(child_write))));
  for (const auto& arg : args) AppendQuoted(&line, Wide(arg));

  // Only the two pipe ends are inherited.
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  HANDLE inherited[2] = {child_read, child_write};
  bool ok = InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
            UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                      nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION info{};
  if (ok) {
    ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr,
                        &startup.StartupInfo, &info);
  }
  DeleteProcThreadAttributeList(attributes);
  CloseHandleOnce(child_read);
  CloseHandleOnce(child_write);
  if (!ok) {
    *error = "CreateProcessW failed";
    CloseHandleOnce(to_browser);
    CloseHandleOnce(from_browser);
    return nullptr;
  }
  // The job's only handle is this process's (not inheritable) and the job kills everything in it
  // when that handle closes: however the host ends, killed included, the browser and its helpers
  // end with it. The browser is still suspended, so nothing it starts can escape the job. A job
  // that cannot be set up is not kept (one without kill-on-close would only pretend); the browser
  // then still ends when its DevTools pipe closes with the host.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, info.hProcess)) {
      CloseHandleOnce(job);
    }
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  return std::make_unique<WinBrowserProcess>(info.hProcess, info.dwProcessId, job, to_browser, from_browser);
}

}  // namespace vyo::web::cdp
