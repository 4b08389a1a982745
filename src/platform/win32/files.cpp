// Files and paths on Windows. Paths are UTF-16 throughout.
#include "platform/files.h"

#include <windows.h>

#include <new>

#include "platform/win32/unique_handle.h"

namespace vyo::platform {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }


HANDLE OpenForRead(const std::u16string& path, DWORD flags) {
  return CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
}

FileStatus ReadOpened(HANDLE file, std::uint64_t max_size, std::vector<std::uint8_t>& out) {
  out.clear();
  if (GetFileType(file) != FILE_TYPE_DISK) return FileStatus::kNotRegular;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return FileStatus::kReadError;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return FileStatus::kNotRegular;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0) return FileStatus::kReadError;
  const auto bytes = static_cast<std::uint64_t>(size.QuadPart);
  // One ReadFile call takes a 32-bit length, so a whole-file read stays below 4 GiB.
  if (bytes > max_size || bytes > 0xFFFFFFFFull) return FileStatus::kTooLarge;
  try {
    out.resize(static_cast<std::size_t>(bytes));
  } catch (const std::bad_alloc&) {
    out.clear();
    return FileStatus::kReadError;
  }
  DWORD read = 0;
  if (bytes > 0 && (!ReadFile(file, out.data(), static_cast<DWORD>(bytes), &read, nullptr) || read != bytes)) {
    out.clear();
    return FileStatus::kReadError;
  }
  return FileStatus::kOk;
}

// The final path of an opened file or directory, without the "\\?\" prefix.
std::optional<std::u16string> FinalPath(HANDLE h) {
  std::u16string buffer(1024, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = GetFinalPathNameByHandleW(h, reinterpret_cast<wchar_t*>(buffer.data()),
                                              static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) {
      buffer.resize(n);
      if (buffer.rfind(u"\\\\?\\UNC\\", 0) == 0) return u"\\\\" + buffer.substr(8);
      if (buffer.rfind(u"\\\\?\\", 0) == 0) return buffer.substr(4);
      return buffer;
    }
    buffer.assign(n + 1, u'\0');
  }
  return std::nullopt;
}

char16_t Lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace


std::optional<std::u16string> FullPathName(std::u16string_view path) {
  if (path.empty()) return std::nullopt;
  const std::u16string input(path);
  if (input.find(u'\0') != std::u16string::npos) return std::nullopt;
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetFullPathNameW(W(input), MAX_PATH, buffer, nullptr);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

std::optional<std::u16string> RealPath(std::u16string_view path) {
  if (path.empty()) return std::nullopt;
  const UniqueHandle h(OpenForRead(std::u16string(path), FILE_FLAG_BACKUP_SEMANTICS));
  if (h.get() == INVALID_HANDLE_VALUE) return std::nullopt;
  return FinalPath(h.get());
}

std::optional<FileId> FileIdentity(std::u16string_view path) {
  if (path.empty()) return std::nullopt;
  const std::u16string text(path);
  // Attributes only, shared with every other opener, so a loaded library can be asked too.
  UniqueHandle file(CreateFileW(W(text), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool IsDirectory(std::u16string_view path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(W(std::u16string(path)));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathStartsWith(std::u16string_view path, std::u16string_view prefix) {
  if (path.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(path[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

FileStatus ReadWholeFile(std::u16string_view path, std::uint64_t max_size, std::vector<std::uint8_t>& out) {
  out.clear();
  const UniqueHandle h(OpenForRead(std::u16string(path), FILE_ATTRIBUTE_NORMAL));
  if (h.get() == INVALID_HANDLE_VALUE) return FileStatus::kNotFound;
  return ReadOpened(h.get(), max_size, out);
}

FileStatus ReadFileWithin(std::u16string_view real_root, std::u16string_view path, std::uint64_t max_size,
                          std::vector<std::uint8_t>& out) {
  out.clear();
  const UniqueHandle h(OpenForRead(std::u16string(path), FILE_ATTRIBUTE_NORMAL));
  if (h.get() == INVALID_HANDLE_VALUE) return FileStatus::kNotFound;
  const auto real = FinalPath(h.get());
  if (!real || real_root.empty() || real_root.back() != u'\\' || real->size() <= real_root.size() ||
      !PathStartsWith(*real, real_root)) {
    return FileStatus::kOutside;
  }
  return ReadOpened(h.get(), max_size, out);
}

}  // namespace vyo::platform
