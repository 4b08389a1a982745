#include "platform/user_data_fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "base/text.h"
#include "platform/process.h"

#include "platform/posix/unique_fd.h"

namespace vyo::platform {
namespace {

std::string N(const std::u16string& p) { return Utf16ToUtf8(p); }

uint64_t StatMs(const struct stat& st) {
  // Linux keeps no creation time in struct stat; the change time is the closest honest stand-in
  // (a directory's contents changing moves it forward, which only makes a purge more careful).
  return static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000 + static_cast<uint64_t>(st.st_ctim.tv_nsec) / 1'000'000;
}

bool RemoveTreeAt(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;  // files and links alike
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      RemoveTreeAt(path + "/" + name);
    }
    closedir(d);
  }
  return rmdir(path.c_str()) == 0;
}

class PosixUserDataFs final : public IUserDataFs {
 public:
  std::u16string ExecutableDirectory() override { return platform::ExecutableDirectory(); }
  std::optional<std::u16string> GetEnv(const std::string& name) override {
    const auto v = platform::GetEnv(name);
    if (!v) return std::nullopt;
    return Utf8ToUtf16(*v);
  }
  std::optional<std::u16string> PerUserBase() override {
    if (auto v = platform::GetEnv("LOCALAPPDATA"); v && !v->empty()) return Utf8ToUtf16(*v);
    if (auto v = platform::GetEnv("XDG_CACHE_HOME"); v && !v->empty()) return Utf8ToUtf16(*v);
    if (auto v = platform::GetEnv("HOME"); v && !v->empty()) return Utf8ToUtf16(*v + "/.cache");
    return std::nullopt;
  }
  std::u16string TempPath() override {
    auto v = platform::GetEnv("TMPDIR");
    std::string t = v && !v->empty() ? *v : "/tmp";
    if (t.back() != '/') t.push_back('/');
    return Utf8ToUtf16(t);
  }
  char16_t Separator() override { return u'/'; }
  CreateResult MakeDirectory(const std::u16string& path) override {
    if (mkdir(N(path).c_str(), 0700) == 0) return CreateResult::kCreated;
    if (errno != EEXIST) return CreateResult::kFailed;
    struct stat st {};
    if (stat(N(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return CreateResult::kExists;
    return CreateResult::kNotDirectory;
  }
  bool DeleteDirectory(const std::u16string& path) override { return rmdir(N(path).c_str()) == 0; }
  bool CreateProbeFile(const std::u16string& path) override {
    const std::string p = N(path);
    UniqueFd fd(open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return false;
    fd.reset();
    unlink(p.c_str());
    return true;
  }
  std::vector<Entry> List(const std::u16string& parent, const std::u16string& prefix) override {
    std::vector<Entry> out;
    const std::string dir = N(parent);
    const std::string pre = N(prefix);
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.compare(0, pre.size(), pre) != 0) continue;
      struct stat st {};
      if (lstat((dir + "/" + name).c_str(), &st) != 0) continue;
      out.push_back(Entry{Utf8ToUtf16(name), S_ISDIR(st.st_mode), S_ISLNK(st.st_mode), StatMs(st)});
    }
    closedir(d);
    return out;
  }
  bool RemoveTree(const std::u16string& path) override { return RemoveTreeAt(N(path)); }
  bool ProcessAlive(uint32_t pid) override {
    if (pid == 0) return true;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
  }
  uint64_t ProcessStartUnixMs(uint32_t pid) override {
    // Field 22 of /proc/PID/stat is the start time in clock ticks after boot.
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat_file, line)) return 0;
    const size_t close_paren = line.rfind(')');
    if (close_paren == std::string::npos) return 0;
    std::istringstream rest(line.substr(close_paren + 2));
    std::string field;
    unsigned long long start_ticks = 0;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
      if (i == 22) start_ticks = std::strtoull(field.c_str(), nullptr, 10);
    }
    if (start_ticks == 0) return 0;
    std::ifstream uptime_file("/proc/uptime");
    double uptime = 0;
    if (!(uptime_file >> uptime)) return 0;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double boot = static_cast<double>(std::time(nullptr)) - uptime;
    return static_cast<uint64_t>((boot + static_cast<double>(start_ticks) / ticks) * 1000.0);
  }
  uint32_t CurrentProcessId() override { return platform::CurrentProcessId(); }
};

}  // namespace

std::unique_ptr<IUserDataFs> CreateUserDataFs() { return std::make_unique<PosixUserDataFs>(); }

}  // namespace vyo::platform
