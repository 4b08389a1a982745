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

}  // namespace vyo::platform
