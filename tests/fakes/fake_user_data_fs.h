// An in-memory file system for choosing the user data directory: directories exist or not, can be
// made unwritable, and processes are alive or dead with a start time.
#pragma once
#include <map>
#include <set>
#include <string>

#include "platform/user_data_fs.h"

namespace vyo::testing {

class FakeUserDataFs final : public platform::IUserDataFs {
 public:
  std::u16string exe_dir = u"C:\\Games\\Overlay";
  std::map<std::string, std::u16string> env;
  std::optional<std::u16string> per_user = u"C:\\Users\\p\\AppData\\Local";
  std::u16string temp = u"C:\\Temp\\";
  std::set<std::u16string> dirs;          // existing directories
  std::set<std::u16string> unwritable;    // directories where nothing can be created
  std::map<std::u16string, uint64_t> created_ms;
  std::map<uint32_t, uint64_t> live_processes;  // pid → start time
  std::vector<std::u16string> removed;
  uint32_t pid = 4242;

  std::u16string ExecutableDirectory() override { return exe_dir; }
  std::optional<std::u16string> GetEnv(const std::string& name) override {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  }
  std::optional<std::u16string> PerUserBase() override { return per_user; }
  std::u16string TempPath() override { return temp; }
  char16_t Separator() override { return u'\\'; }
  CreateResult MakeDirectory(const std::u16string& path) override {
    if (dirs.count(path)) return CreateResult::kExists;
    if (Blocked(path)) return CreateResult::kFailed;
    dirs.insert(path);
    return CreateResult::kCreated;
  }
  bool DeleteDirectory(const std::u16string& path) override { return dirs.erase(path) != 0; }
  bool CreateProbeFile(const std::u16string& path) override { return !Blocked(path); }
  std::vector<Entry> List(const std::u16string& parent, const std::u16string& prefix) override {
    std::vector<Entry> out;
    for (const auto& d : dirs) {
      if (d.size() <= parent.size() + 1 || d.compare(0, parent.size(), parent) != 0 || d[parent.size()] != u'\\') continue;
      const std::u16string name = d.substr(parent.size() + 1);
      if (name.find(u'\\') != std::u16string::npos || name.compare(0, prefix.size(), prefix) != 0) continue;
      out.push_back(Entry{name, true, false, created_ms.count(d) ? created_ms[d] : 1000});
    }
    return out;
  }
  bool RemoveTree(const std::u16string& path) override {
    removed.push_back(path);
    return dirs.erase(path) != 0;
  }
  bool ProcessAlive(uint32_t p) override { return p == 0 || live_processes.count(p) != 0; }
  uint64_t ProcessStartUnixMs(uint32_t p) override { return live_processes.count(p) ? live_processes[p] : 0; }
  uint32_t CurrentProcessId() override { return pid; }

 private:
  bool Blocked(const std::u16string& path) const {
    for (const auto& u : unwritable)
      if (path.compare(0, u.size(), u) == 0) return true;
    return false;
  }
};

}  // namespace vyo::testing
