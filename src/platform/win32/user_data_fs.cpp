#include "platform/user_data_fs.h"

#include <windows.h>

#include "base/text.h"
#include "platform/process.h"

namespace vyo::platform {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
std::u16string U(const wchar_t* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

uint64_t FileTimeToUnixMs(const FILETIME& ft) {
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  constexpr uint64_t kEpochDelta = 116444736000000000ull;  // 1601 to 1970 in 100 ns
  return t > kEpochDelta ? (t - kEpochDelta) / 10000 : 0;
}

bool RemoveTreeAt(const std::u16string& path) {
  const DWORD attrs = GetFileAttributesW(W(path));
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    if (attrs & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(W(path), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(W(path)) != 0;
  }
  // A junction or directory link is removed itself, never entered.
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return RemoveDirectoryW(W(path)) != 0;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(W(path + u"\\*"), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::u16string name = U(data.cFileName);
      if (name == u"." || name == u"..") continue;
      RemoveTreeAt(path + u"\\" + name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  return RemoveDirectoryW(W(path)) != 0;
}

class Win32UserDataFs final : public IUserDataFs {
 public:
  std::u16string ExecutableDirectory() override { return platform::ExecutableDirectory(); }
  std::optional<std::u16string> GetEnv(const std::string& name) override {
    const auto v = platform::GetEnv(name);
    if (!v) return std::nullopt;
    return Utf8ToUtf16(*v);
  }
  std::optional<std::u16string> PerUserBase() override { return GetEnv("LOCALAPPDATA"); }
  std::u16string TempPath() override {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH, buffer);
    if (n == 0 || n >= MAX_PATH) return {};
    return U(buffer);
  }
  char16_t Separator() override { return u'\\'; }
  CreateResult MakeDirectory(const std::u16string& path) override {
    if (CreateDirectoryW(W(path), nullptr)) return CreateResult::kCreated;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return CreateResult::kFailed;
    const DWORD attrs = GetFileAttributesW(W(path));
    return (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) ? CreateResult::kExists
                                                                                    : CreateResult::kNotDirectory;
  }
  bool DeleteDirectory(const std::u16string& path) override { return RemoveDirectoryW(W(path)) != 0; }
  bool CreateProbeFile(const std::u16string& path) override {
    // CREATE_NEW never opens an existing file or link under the name.
    HANDLE h = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
  }
  std::vector<Entry> List(const std::u16string& parent, const std::u16string& prefix) override {
    std::vector<Entry> out;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(W(parent + u"\\" + prefix + u"*"), &data);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
      Entry e;
      e.name = U(data.cFileName);
      e.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      e.is_link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      e.created_unix_ms = FileTimeToUnixMs(data.ftCreationTime);
      out.push_back(e);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return out;
  }
  bool RemoveTree(const std::u16string& path) override { return RemoveTreeAt(path); }
  bool ProcessAlive(uint32_t pid) override {
    if (pid == 0) return true;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (h == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
    const bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return alive;
  }
  uint64_t ProcessStartUnixMs(uint32_t pid) override {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == nullptr) return 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    const BOOL ok = GetProcessTimes(h, &created, &exited, &kernel, &user);
    CloseHandle(h);
    return ok ? FileTimeToUnixMs(created) : 0;
  }
  uint32_t CurrentProcessId() override { return platform::CurrentProcessId(); }
};

}  // namespace

std::unique_ptr<IUserDataFs> CreateUserDataFs() { return std::make_unique<Win32UserDataFs>(); }

}  // namespace vyo::platform
