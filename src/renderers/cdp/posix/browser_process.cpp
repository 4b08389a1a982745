// The browser process on Linux: posix_spawn with the DevTools pipe on descriptors 3 (commands the
// browser reads) and 4 (answers and events it writes), in a process group of its own so that every
// helper it starts can be ended with it.
#include "renderers/cdp/browser_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "renderers/cdp/cdp_protocol.h"

extern char** environ;

namespace vyo::web::cdp {
namespace {

// Descriptors handed to the child are first moved above this so that moving them onto 3 and 4
// never overwrites one of them.
constexpr int kHighFd = 10;

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Whether a process of group `group`, other than a zombie, exists (`group` is an unreaped leader
// that has ended, so it does not count).
bool GroupHasLiveMember(pid_t group) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return ::killpg(group, 0) == 0;
  bool live = false;
  while (dirent* entry = ::readdir(proc)) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    char path[300];
    std::snprintf(path, sizeof path, "/proc/%s/stat", name);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char text[512];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) continue;
    text[n] = '\0';
    // "pid (comm) state ppid pgrp ..."; comm may hold spaces and parentheses.
    const char* close = std::strrchr(text, ')');
    char state = 0;
    long ppid = 0, pgrp = 0;
    if (close == nullptr || std::sscanf(close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3) continue;
    if (pgrp == group && state != 'Z' && state != 'X') {
      live = true;
      break;
    }
  }
  ::closedir(proc);
  return live;
}

int HighCloexec(int fd) {
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, kHighFd);
  ::close(fd);
  return high;
}

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args,
                        std::vector<std::string>* storage) {
  storage->clear();
  storage->push_back(program);
  storage->insert(storage->end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : *storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

// Spawn attributes shared by both launches: default signal dispositions, an empty signal mask, a
// new process group.
struct SpawnAttributes {
  posix_spawnattr_t attr{};
  explicit SpawnAttributes(bool new_group) {
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (new_group) {
      flags |= POSIX_SPAWN_SETPGROUP;
      posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, flags);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

class PosixBrowserProcess final : public BrowserProcess {
 public:
  PosixBrowserProcess(pid_t pid, int to_browser, int from_browser, int wake_read, int wake_write)
      : pid_(pid), to_browser_(to_browser), from_browser_(from_browser), wake_read_(wake_read), wake_write_(wake_write) {}

  ~PosixBrowserProcess() override {
    Kill();
    CloseFd(to_browser_);
    CloseFd(from_browser_);
    CloseFd(wake_read_);
    CloseFd(wake_write_);
  }

  uint32_t Pid() const override { return static_cast<uint32_t>(pid_); }

  long Read(char* buffer, size_t size) override {
    for (;;) {
      pollfd fds[2] = {{from_browser_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
      const int n = ::poll(fds, 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (fds[1].revents != 0) return 0;
      if (fds[0].revents == 0) continue;
      const ssize_t got = ::read(from_browser_, buffer, size);
      if (got < 0 && errno == EINTR) continue;
      return static_cast<long>(got);
    }
  }

  bool Write(const char* data, size_t size) override {
    // A browser that went away must not end the host with SIGPIPE: the signal is blocked on the
    // writing thread, so the write fails with EPIPE instead.
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);
    while (size > 0) {
      const ssize_t put = ::write(to_browser_, data, size);
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      data += put;
      size -= static_cast<size_t>(put);
    }
    return true;
  }

  void InterruptRead() override {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_write_, &byte, 1);
  }

  std::optional<int> WaitExit(uint32_t timeout_ms) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_) return status_;
        if (ReapLocked()) return status_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  void Kill() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (status_) return;
      ::kill(pid_, SIGKILL);
    }
    WaitExit(5000);
  }

 private:
  // Reaps the browser once it has ended. Before the reap, while the ended browser still holds its
  // process id (and so its group id), whatever is left of its group (zygote, renderers, GPU
  // helper) is killed: no helper outlives the browser.
  bool ReapLocked() {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == EINTR) return false;
      status_ = -1;  // not our child any more: nothing left to reap
      return true;
    }
    if (info.si_pid != pid_) return false;
    if (::killpg(pid_, SIGKILL) == 0) {
      // Killed helpers end shortly; wait (bounded) so that none still runs once this returns.
      // What remains are zombies, which their new parent (init) reaps.
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (GroupHasLiveMember(pid_) && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }

  const pid_t pid_;
  int to_browser_, from_browser_, wake_read_, wake_write_;
  std::mutex mutex_;
  std::optional<int> status_;
};

}  // namespace

std::vector<std::string> DefaultBrowserLocations() {
  return {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"};
}

bool IsExecutableFile(const std::string& path) {
  struct stat st{};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string ReadInstalledVersion(const std::string& executable) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  int out_read = fds[0], out_write = HighCloexec(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_write, 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  SpawnAttributes attributes(true);
  std::vector<std::string> storage;
  std::vector<char*> argv = Argv(executable, {"--version"}, &storage);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes.attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  CloseFd(out_write);
  std::string text;
  if (rc == 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buffer[512];
    while (text.size() < 4096) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{out_read, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      const ssize_t got = ::read(out_read, buffer, sizeof buffer);
      if (got <= 0) break;
      text.append(buffer, static_cast<size_t>(got));
    }
    ::killpg(pid, SIGKILL);  // a launcher that did not end by now never will
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  CloseFd(out_read);
  return ParseVersion(text);
}

bool SandboxMustBeOff() { return ::geteuid() == 0; }

std::optional<uint32_t> ProfileHolder(const std::string& user_data_dir) {
  // The lock is a symbolic link whose target is "<host name>-<pid>".
  char target[PATH_MAX];
  const std::string lock = user_data_dir + "/SingletonLock";
  const ssize_t n = ::readlink(lock.c_str(), target, sizeof target - 1);
  if (n <= 0) return std::nullopt;
  const std::string text(target, static_cast<size_t>(n));
  const size_t dash = text.rfind('-');
  if (dash == std::string::npos || dash + 1 >= text.size() || text.size() - dash - 1 > 10) return std::nullopt;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || text.compare(0, dash, host) != 0) {
    // Held from another machine (a shared folder): the browser refuses such a folder as well.
    return 0;
  }
  uint64_t pid = 0;
  for (size_t i = dash + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    pid = pid * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (pid == 0 || pid > INT_MAX) return std::nullopt;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return std::nullopt;
  return static_cast<uint32_t>(pid);
}

std::unique_ptr<BrowserProcess> BrowserProcess::Start(const std::string& executable,
                                                      const std::vector<std::string>& args, std::string* error) {
  int to[2], from[2], wake[2];
  if (::pipe2(to, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  if (::pipe2(from, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    ::close(to[0]);
    ::close(to[1]);
    return nullptr;
  }
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    for (int fd : {to[0], to[1], from[0], from[1]}) ::close(fd);
    return nullptr;
  }
  int child_read = HighCloexec(to[0]);
  int child_write = HighCloexec(from[1]);
  int to_browser = to[1], from_browser = from[0];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, child_read, 3);
  posix_spawn_file_actions_adddup2(&actions, child_write, 4);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  SpawnAttributes attributes(true);
  std::vector<std::string> full = args;
  full.insert(full.begin(), "--remote-debugging-pipe");
  std::vector<std::string> storage;
  std::vector<char*> argv = Argv(executable, full, &storage);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes.attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  CloseFd(child_read);
  CloseFd(child_write);
  if (rc != 0) {
    *error = std::string("posix_spawn: ") + std::strerror(rc);
    for (int fd : {to_browser, from_browser, wake[0], wake[1]}) ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixBrowserProcess>(pid, to_browser, from_browser, wake[0], wake[1]);
}

}  // namespace vyo::web::cdp
