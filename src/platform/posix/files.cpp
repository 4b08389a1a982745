// Files and paths on POSIX systems. Paths are UTF-8 at this layer.
#include "platform/files.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "base/text.h"

#include "platform/posix/unique_fd.h"

namespace vyo::platform {
namespace {

constexpr std::size_t kMaxPath = 4095;


std::string Native(std::u16string_view path) { return Utf16ToUtf8(path); }

// Opens without blocking (a FIFO would otherwise wait for a writer) and without following a final
// link when asked to.
int OpenForRead(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

FileStatus ReadOpened(int fd, std::uint64_t max_size, std::vector<std::uint8_t>& out) {
  out.clear();
  struct stat st {};
  if (fstat(fd, &st) != 0) return FileStatus::kReadError;
  if (!S_ISREG(st.st_mode)) return FileStatus::kNotRegular;
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > max_size) return FileStatus::kTooLarge;
  const auto size = static_cast<std::size_t>(st.st_size);
  try {
    out.resize(size);
  } catch (const std::bad_alloc&) {
    out.clear();
    return FileStatus::kReadError;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = read(fd, out.data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      out.clear();
      return FileStatus::kReadError;
    }
    done += static_cast<std::size_t>(n);
  }
  return FileStatus::kOk;
}

// The real path of an opened file, read back from the kernel so that it names what was opened
// rather than what the path named a moment earlier.
std::optional<std::string> RealPathOfFd(int fd, const std::string& fallback) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink(link.c_str(), buffer, PATH_MAX);
  if (n > 0 && buffer[0] == '/') return std::string(buffer, static_cast<std::size_t>(n));
  char* resolved = realpath(fallback.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string result(resolved);
  free(resolved);
  return result;
}

}  // namespace


std::optional<std::u16string> FullPathName(std::u16string_view path) {
  if (path.empty()) return std::nullopt;
  std::string input = Native(path);
  if (input.find('\0') != std::string::npos) return std::nullopt;
  if (input[0] != '/') {
    char cwd[PATH_MAX + 1];
    if (!getcwd(cwd, sizeof cwd)) return std::nullopt;
    input = std::string(cwd) + "/" + input;
  }
  // Lexical normalisation: drop empty and "." segments, let ".." remove the segment before it.
  std::vector<std::string> segments;
  std::size_t pos = 0;
  while (pos <= input.size()) {
    std::size_t next = input.find('/', pos);
    if (next == std::string::npos) next = input.size();
    std::string segment = input.substr(pos, next - pos);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(std::move(segment));
    }
    pos = next + 1;
  }
  std::string result;
  for (const auto& segment : segments) result += "/" + segment;
  if (result.empty()) result = "/";
  const bool trailing = input.back() == '/' && result != "/";
  if (trailing) result += '/';
  if (result.size() > kMaxPath) return std::nullopt;
  return Utf8ToUtf16(result);
}

std::optional<std::u16string> RealPath(std::u16string_view path) {
  if (path.empty()) return std::nullopt;
  const std::string input = Native(path);
  char* resolved = realpath(input.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::u16string result = Utf8ToUtf16(resolved);
  free(resolved);
  return result;
}

std::optional<FileId> FileIdentity(std::u16string_view path) {
  struct stat st {};
  if (path.empty() || stat(Native(path).c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool IsDirectory(std::u16string_view path) {
  struct stat st {};
  return !path.empty() && stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathStartsWith(std::u16string_view path, std::u16string_view prefix) {
  return path.size() >= prefix.size() && path.substr(0, prefix.size()) == prefix;
}

FileStatus ReadWholeFile(std::u16string_view path, std::uint64_t max_size, std::vector<std::uint8_t>& out) {
  out.clear();
  const UniqueFd fd(OpenForRead(Native(path)));
  if (fd.get() < 0) return FileStatus::kNotFound;
  return ReadOpened(fd.get(), max_size, out);
}

FileStatus ReadFileWithin(std::u16string_view real_root, std::u16string_view path, std::uint64_t max_size,
                          std::vector<std::uint8_t>& out) {
  out.clear();
  const std::string native = Native(path);
  const UniqueFd fd(OpenForRead(native));
  if (fd.get() < 0) return FileStatus::kNotFound;
  const auto real = RealPathOfFd(fd.get(), native);
  if (!real) return FileStatus::kOutside;
  const std::string root = Native(real_root);
  if (root.empty() || root.back() != '/' || real->size() <= root.size() || real->compare(0, root.size(), root) != 0) {
    return FileStatus::kOutside;
  }
  return ReadOpened(fd.get(), max_size, out);
}

}  // namespace vyo::platform
