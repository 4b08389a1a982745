#include "platform/report_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/text.h"

namespace vyo::platform {

namespace {

bool AppendToPath(const char* dir, const char* path, const void* data, std::size_t size) {
  if (mkdir(dir, 0755) != 0 && errno != EEXIST) return false;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const auto* bytes = static_cast<const char*>(data);
  bool ok = true;
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) ok = false;
  close(fd);
  return ok;
}

}  // namespace

bool AppendReportFile(const std::u16string& directory, const std::u16string& file_name, const void* data,
                      std::size_t size) {
  if (directory.empty() || file_name.empty()) return false;
  const std::string dir = Utf16ToUtf8(directory);
  const std::string path = dir + "/" + Utf16ToUtf8(file_name);
  return AppendToPath(dir.c_str(), path.c_str(), data, size);
}

ReportFile::ReportFile(const std::u16string& directory, const std::u16string& file_name) {
  if (directory.empty() || file_name.empty()) return;
  const std::string dir = Utf16ToUtf8(directory);
  const std::string path = dir + "/" + Utf16ToUtf8(file_name);
  if (path.size() >= kPathChars) return;
  dir.copy(directory_, dir.size());
  path.copy(path_, path.size());
  ready_ = true;
}

bool ReportFile::Append(const void* data, std::size_t size) const {
  return ready_ && AppendToPath(directory_, path_, data, size);
}

}  // namespace vyo::platform
