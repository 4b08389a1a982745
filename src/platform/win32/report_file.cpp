#include "platform/report_file.h"

#include <windows.h>

namespace vyo::platform {

namespace {

bool AppendToPath(const wchar_t* dir, const wchar_t* path, const void* data, std::size_t size) {
  if (size > 0xFFFFFFFFu) return false;
  // An existing folder is fine.
  CreateDirectoryW(dir, nullptr);
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
  if (!FlushFileBuffers(file)) ok = false;
  CloseHandle(file);
  return ok;
}

}  // namespace

bool AppendReportFile(const std::u16string& directory, const std::u16string& file_name, const void* data,
                      std::size_t size) {
  if (directory.empty() || file_name.empty()) return false;
  const std::wstring dir(directory.begin(), directory.end());
  const std::wstring path = dir + L"\\" + std::wstring(file_name.begin(), file_name.end());
  return AppendToPath(dir.c_str(), path.c_str(), data, size);
}

ReportFile::ReportFile(const std::u16string& directory, const std::u16string& file_name) {
  if (directory.empty() || file_name.empty()) return;
  const std::wstring dir(directory.begin(), directory.end());
  const std::wstring path = dir + L"\\" + std::wstring(file_name.begin(), file_name.end());
  if (path.size() >= kPathChars) return;
  dir.copy(directory_, dir.size());
  path.copy(path_, path.size());
  ready_ = true;
}

bool ReportFile::Append(const void* data, std::size_t size) const {
  return ready_ && AppendToPath(directory_, path_, data, size);
}

}  // namespace vyo::platform
