#include "platform/report_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/text.h"

namespace vyo::platform {

bool AppendReportFile(const std::u16string& directory, const std::u16string& file_name, const void* data,
                      std::size_t size) {
  if (directory.empty() || file_name.empty()) return false;
  const std::string dir = Utf16ToUtf8(directory);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  const std::string path = dir + "/" + Utf16ToUtf8(file_name);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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

}  // namespace vyo::platform
