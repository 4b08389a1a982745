#include "platform/process.h"

#include "platform/shared_memory_owner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/text.h"

extern char** environ;

#include "platform/posix/unique_fd.h"

namespace vyo::platform {
namespace {

class PidfdWatch final : public ProcessWatch {
 public:
  explicit PidfdWatch(int fd) : fd_(fd) {}
  bool HasExited() override {
    // A pidfd becomes readable when its process has exited.
    pollfd pfd{fd_.get(), POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLIN | POLLHUP)) != 0;
  }

 private:
  UniqueFd fd_;
};

class SpawnedProcess final : public ChildProcess {
 public:
  explicit SpawnedProcess(pid_t pid) : pid_(pid) {}
  ~SpawnedProcess() override {
    if (!status_) {
      Kill();
      Wait(5000);
    }
  }
  uint32_t Pid() const override { return static_cast<uint32_t>(pid_); }

  std::optional<uint32_t> Wait(uint32_t timeout_ms) override {
    if (status_) return status_;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        if (WIFEXITED(status)) {
          status_ = static_cast<uint32_t>(WEXITSTATUS(status));
        } else if (WIFSIGNALED(status)) {
          status_ = 128u + static_cast<uint32_t>(WTERMSIG(status));
        } else {
          continue;
        }
        return status_;
      }
      if (r < 0 && errno != EINTR) return std::nullopt;
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const int64_t elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000;
      if (elapsed >= timeout_ms) return std::nullopt;
      usleep(2000);
    }
  }

  void Kill() override {
    if (!status_) kill(pid_, SIGKILL);
  }

 private:
  pid_t pid_;
  std::optional<uint32_t> status_;
};

}  // namespace

std::unique_ptr<ProcessWatch> ProcessWatch::Open(uint32_t pid) {
  if (pid == 0 || pid > 0x7FFFFFFF) return nullptr;
  const long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0) return nullptr;
  fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return std::make_unique<PidfdWatch>(static_cast<int>(fd));
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::u16string& program,
                                                  const std::vector<std::u16string>& args) {
  std::vector<std::string> narrow;
  narrow.push_back(Utf16ToUtf8(program));
  for (const auto& a : args) narrow.push_back(Utf16ToUtf8(a));
  std::vector<char*> argv;
  for (auto& s : narrow) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, narrow[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0) return nullptr;
  return std::make_unique<SpawnedProcess>(pid);
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

// An abrupt end runs no destructors: the shared memory this process created is unlinked first.
void TerminateCurrentProcess(uint32_t code) {
  UnlinkOwnedSharedMemory();
  _exit(ExitStatusFor(code));
}

int ExitStatusFor(uint32_t code) {
  if ((code & 0xFFFFFFF0u) == 0xE0010000u) return 200 + static_cast<int>(code & 0xF);
  return static_cast<int>(code & 0xFF);
}

std::u16string ExecutablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    // A result that fills the buffer may have been cut: grow and try again, never truncate.
    if (static_cast<size_t>(n) < buffer.size()) return Utf8ToUtf16(std::string_view(buffer.data(), static_cast<size_t>(n)));
    if (buffer.size() >= 65536) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::u16string ExecutableDirectory() {
  std::u16string path = ExecutablePath();
  const size_t slash = path.find_last_of(u'/');
  if (slash == std::u16string::npos) return {};
  path.resize(slash == 0 ? 1 : slash);
  return path;
}

char16_t PathSeparator() { return u'/'; }

std::optional<std::string> GetEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

ForegroundGrant AllowForegroundFor(uint32_t /*pid*/) {
  // No foreground lock to hand over on Linux: the call is reported as not made.
  return ForegroundGrant{false, 0};
}

int ApplyDpiAwareness() { return 0; }

OsVersion GetOsVersion() {
  OsVersion v;
  utsname u{};
  if (uname(&u) == 0) {
    unsigned major = 0, minor = 0, patch = 0;
    if (std::sscanf(u.release, "%u.%u.%u", &major, &minor, &patch) >= 2) {
      v.major = major;
      v.minor = minor;
      v.build = patch;
    }
  }
  return v;
}

}  // namespace vyo::platform
