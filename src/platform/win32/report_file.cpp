#include "platform/report_file.h"

#include <windows.h>

namespace vyo::platform {

bool AppendReportFile(const std::u16string& directory, const std::u16string& file_name, const void* data,
                      std::size_t size) {
  if (directory.empty() || file_name.empty() || size > 0xFFFFFFFFu) return false;
  const std::wstring dir(directory.begin(), directory.end());
  // An existing folder is fine.
  CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring path = dir + L"\\" + std::wstring(file_name.begin(), file_name.end());
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
  if (!FlushFileBuffers(file)) ok = false;
  CloseHandle(file);
  return ok;
}

}  // namespace vyo::platform
