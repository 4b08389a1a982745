// Report files that must survive the process ending right after the write: the watchdog's stall
// reports. Windows: FILE_APPEND_DATA with FILE_FLAG_WRITE_THROUGH, then FlushFileBuffers. Linux:
// O_APPEND, then fsync.
#pragma once
#include <cstddef>
#include <string>

namespace vyo::platform {

// Creates `directory` when missing (its parent must exist), then appends `size` bytes to the file
// `directory` + separator + `file_name` (created when missing) and pushes them to the storage
// device. False when the file could not be opened or written.
bool AppendReportFile(const std::u16string& directory, const std::u16string& file_name, const void* data,
                      std::size_t size);

// The same append with the path prepared ahead: Append neither allocates nor takes a lock, so it
// can run while another thread of the process is stuck anywhere (the watchdog's report, a failing
// thread). It gives up at the first failed write instead of retrying.
class ReportFile {
 public:
  ReportFile(const std::u16string& directory, const std::u16string& file_name);
  // False when the file could not be opened or written (or the names were empty or too long).
  bool Append(const void* data, std::size_t size) const;

 private:
  static constexpr std::size_t kPathChars = 1024;
  bool ready_ = false;
#ifdef _WIN32
  wchar_t directory_[kPathChars] = {};
  wchar_t path_[kPathChars] = {};
#else
  char directory_[kPathChars] = {};
  char path_[kPathChars] = {};
#endif
};

}  // namespace vyo::platform
