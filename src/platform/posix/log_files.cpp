// Logger file operations on POSIX systems. Paths are UTF-8 at this layer. Write sharing is refused
// with an exclusive advisory lock (flock), which every logger takes on the files it writes.
#include "platform/log_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/text.h"

#include "platform/posix/unique_fd.h"

namespace vyo::platform {
namespace {

std::string Native(std::u16string_view path) { return Utf16ToUtf8(path); }

void SetError(std::uint32_t* error) {
  if (error != nullptr) *error = static_cast<std::uint32_t>(errno);
}

class PosixLogFile final : public LogFile {
 public:
  explicit PosixLogFile(UniqueFd fd) : fd_(std::move(fd)) {}
  bool Write(const void* data, std::size_t size) const override {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const ssize_t n = write(fd_.get(), p, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      p += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Sync() const override { return fsync(fd_.get()) == 0; }

 private:
  const UniqueFd fd_;
};

class PosixMappedLogFile final : public MappedLogFile {
 public:
  PosixMappedLogFile(UniqueFd fd, std::uint8_t* view, std::size_t size)
      : fd_(std::move(fd)), view_(view), size_(size) {}
  ~PosixMappedLogFile() override { munmap(view_, size_); }
  std::uint8_t* data() override { return view_; }
  std::size_t size() const override { return size_; }
  bool Flush(std::uint32_t* error) override {
    if (msync(view_, size_, MS_SYNC) != 0 || fsync(fd_.get()) != 0 || futimens(fd_.get(), nullptr) != 0) {
      SetError(error);
      return false;
    }
    return true;
  }

 private:
  const UniqueFd fd_;
  std::uint8_t* const view_;
  const std::size_t size_;
};

}  // namespace

std::unique_ptr<LogFile> LogFile::Open(const std::u16string& path, Mode mode, std::uint32_t* error) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == Mode::kCreateNew ? O_EXCL : 0);
  UniqueFd fd(open(Native(path).c_str(), flags, 0644));
  if (!fd) {
    SetError(error);
    return nullptr;
  }
  // Another writer holding the file refuses us; only then is it truncated.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ftruncate(fd.get(), 0) != 0) {
    SetError(error);
    return nullptr;
  }
  return std::make_unique<PosixLogFile>(std::move(fd));
}

std::unique_ptr<MappedLogFile> MappedLogFile::Open(const std::u16string& path, std::size_t size,
                                                   std::uint32_t* error) {
  UniqueFd fd(open(Native(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) {
    SetError(error);
    return nullptr;
  }
  // The lock comes before the size change so that a running host's mapping is never cut short
  // under it (which would fault its next write).
  struct stat st {};
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    SetError(error);
    return nullptr;
  }
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (view == MAP_FAILED) {
    SetError(error);
    return nullptr;
  }
  return std::make_unique<PosixMappedLogFile>(std::move(fd), static_cast<std::uint8_t*>(view), size);
}

bool CreateDirectoryTree(const std::u16string& path) {
  std::string p = Native(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty()) return false;
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i != p.size() && p[i] != '/') continue;
    const std::string part = p.substr(0, i);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ListLogDirectory(const std::u16string& dir, std::vector<LogDirEntry>& out) {
  out.clear();
  const std::string base = Native(dir);
  DIR* d = opendir(base.c_str());
  if (d == nullptr) return false;
  const std::string prefix = (!base.empty() && base.back() == '/') ? base : base + "/";
  while (dirent* e = readdir(d)) {
    struct stat st {};
    const std::string full = prefix + e->d_name;
    if (lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    LogDirEntry entry;
    entry.name = Utf8ToUtf16(e->d_name);
    entry.size = static_cast<std::uint64_t>(st.st_size);
    entry.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.push_back(std::move(entry));
  }
  closedir(d);
  return true;
}

bool DeleteLogFile(const std::u16string& path) { return unlink(Native(path).c_str()) == 0; }

bool SetLogFileTime(const std::u16string& path, std::int64_t mtime_ns) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtime_ns / 1000000000);
  times[1].tv_nsec = static_cast<long>(mtime_ns % 1000000000);
  return utimensat(AT_FDCWD, Native(path).c_str(), times, 0) == 0;
}

bool LocalCalendarTime(std::int64_t seconds, std::tm& out) {
  const time_t t = static_cast<time_t>(seconds);
  return localtime_r(&t, &out) != nullptr;
}

namespace {

// Bumped in a forked child, whose threads have new ids: a cached id of an older generation is read
// again.
std::atomic<std::uint32_t> g_fork_generation{1};

}  // namespace

// Asked for every log record: the id is cached per thread instead of a system call each time.
std::uint32_t CurrentThreadId() {
  struct Cached {
    std::uint32_t generation = 0;
    std::uint32_t id = 0;
  };
  thread_local Cached cached;
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1); });
    return true;
  }();
  (void)registered;
  const std::uint32_t generation = g_fork_generation.load(std::memory_order_relaxed);
  if (cached.generation != generation) {
    cached.id = static_cast<std::uint32_t>(syscall(SYS_gettid));
    cached.generation = generation;
  }
  return cached.id;
}

void DebugOutput(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace vyo::platform
