// Logger file operations on Windows. Paths are UTF-16 throughout. Log files are shared for reading
// only, so a second writer cannot open them.
#include "platform/log_files.h"

#include <windows.h>

#include <string>

#include "platform/win32/unique_handle.h"

namespace vyo::platform {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

void SetError(std::uint32_t* error) {
  if (error != nullptr) *error = GetLastError();
}

constexpr std::int64_t kEpochDifference100ns = 116444736000000000LL;  // 1601 to 1970

std::int64_t FileTimeToUnixNs(const FILETIME& ft) {
  const std::int64_t t = (static_cast<std::int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (t - kEpochDifference100ns) * 100;
}

FILETIME UnixNsToFileTime(std::int64_t ns) {
  const std::int64_t t = ns / 100 + kEpochDifference100ns;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
  return ft;
}

class WinLogFile final : public LogFile {
 public:
  explicit WinLogFile(UniqueHandle h) : h_(std::move(h)) {}
  bool Write(const void* data, std::size_t size) const override {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(h_.get(), p, chunk, &written, nullptr) || written == 0) return false;
      p += written;
      size -= written;
    }
    return true;
  }
  bool Sync() const override { return FlushFileBuffers(h_.get()) != 0; }

 private:
  const UniqueHandle h_;
};

class WinMappedLogFile final : public MappedLogFile {
 public:
  WinMappedLogFile(UniqueHandle file, UniqueHandle mapping, std::uint8_t* view, std::size_t size)
      : file_(std::move(file)), mapping_(std::move(mapping)), view_(view), size_(size) {}
  ~WinMappedLogFile() override { UnmapViewOfFile(view_); }
  std::uint8_t* data() override { return view_; }
  std::size_t size() const override { return size_; }
  bool Flush(std::uint32_t* error) override {
    if (!FlushViewOfFile(view_, 0) || !FlushFileBuffers(file_.get())) {
      SetError(error);
      return false;
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME ft;
    if (!SystemTimeToFileTime(&now, &ft) || !SetFileTime(file_.get(), nullptr, nullptr, &ft)) {
      SetError(error);
      return false;
    }
    return true;
  }

 private:
  const UniqueHandle file_;
  const UniqueHandle mapping_;
  std::uint8_t* const view_;
  const std::size_t size_;
};

}  // namespace

std::unique_ptr<LogFile> LogFile::Open(const std::u16string& path, Mode mode, std::uint32_t* error) {
  const DWORD disposition = mode == Mode::kCreateNew ? CREATE_NEW : CREATE_ALWAYS;
  UniqueHandle h(CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!h) {
    SetError(error);
    return nullptr;
  }
  return std::make_unique<WinLogFile>(std::move(h));
}

std::unique_ptr<MappedLogFile> MappedLogFile::Open(const std::u16string& path, std::size_t size,
                                                   std::uint32_t* error) {
  UniqueHandle file(CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    SetError(error);
    return nullptr;
  }
  const auto size64 = static_cast<std::uint64_t>(size);
  UniqueHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, static_cast<DWORD>(size64 >> 32),
                                          static_cast<DWORD>(size64 & 0xFFFFFFFF), nullptr));
  if (!mapping) {
    SetError(error);
    return nullptr;
  }
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
  if (view == nullptr) {
    SetError(error);
    return nullptr;
  }
  return std::make_unique<WinMappedLogFile>(std::move(file), std::move(mapping), static_cast<std::uint8_t*>(view),
                                            size);
}

bool CreateDirectoryTree(const std::u16string& path) {
  std::u16string p = path;
  while (p.size() > 3 && (p.back() == u'\\' || p.back() == u'/')) p.pop_back();
  if (p.empty()) return false;
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i != p.size() && p[i] != u'\\' && p[i] != u'/') continue;
    const std::u16string part = p.substr(0, i);
    if (part.size() == 2 && part[1] == u':') continue;  // a drive
    if (!CreateDirectoryW(W(part), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
        GetLastError() != ERROR_ACCESS_DENIED)
      return false;
  }
  const DWORD attributes = GetFileAttributesW(W(p));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ListLogDirectory(const std::u16string& dir, std::vector<LogDirEntry>& out) {
  out.clear();
  std::u16string prefix = dir;
  if (!prefix.empty() && prefix.back() != u'\\' && prefix.back() != u'/') prefix += u'\\';
  const std::u16string pattern = prefix + u"*";
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(W(pattern), &data);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    LogDirEntry entry;
    entry.name = reinterpret_cast<const char16_t*>(data.cFileName);
    entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.mtime_ns = FileTimeToUnixNs(data.ftLastWriteTime);
    out.push_back(std::move(entry));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return true;
}

bool DeleteLogFile(const std::u16string& path) { return DeleteFileW(W(path)) != 0; }

bool SetLogFileTime(const std::u16string& path, std::int64_t mtime_ns) {
  HANDLE h = CreateFileW(W(path), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const FILETIME ft = UnixNsToFileTime(mtime_ns);
  const bool ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
  CloseHandle(h);
  return ok;
}

bool LocalCalendarTime(std::int64_t seconds, std::tm& out) {
  const __time64_t t = seconds;
  return _localtime64_s(&out, &t) == 0;
}

std::uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void DebugOutput(std::string_view text) {
  const std::string copy(text);
  OutputDebugStringA(copy.c_str());
}

}  // namespace vyo::platform
