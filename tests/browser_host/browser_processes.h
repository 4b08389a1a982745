// The browser processes of a host, found from outside in /proc (Linux only; elsewhere every query
// answers "none"). The host starts its browser in a process group of its own, and every helper the
// browser forks (zygotes, renderers, GPU and utility processes) stays in that group, so a group
// names a browser and all its helpers even after the host is gone and they have been reparented.
#pragma once
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace vyo::testing {

struct ProcessEntry {
  int pid = 0, ppid = 0, group = 0;
  char state = 0;
  std::string command_line;  // arguments joined by NUL bytes
  bool live() const { return state != 'Z' && state != 'X'; }
};

// One process's entry, or nothing when it is gone (a process that ends while it is read makes the
// read fail, and the stream library throws then).
inline std::optional<ProcessEntry> ReadProcess(const std::filesystem::path& dir, int pid) {
  try {
    std::ifstream stat(dir / "stat");
    std::string text;
    if (!std::getline(stat, text)) return std::nullopt;
    // "pid (comm) state ppid pgrp ..."; comm may hold spaces and parentheses.
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return std::nullopt;
    ProcessEntry e;
    e.pid = pid;
    long ppid = 0, group = 0;
    if (std::sscanf(text.c_str() + paren + 1, " %c %ld %ld", &e.state, &ppid, &group) != 3) return std::nullopt;
    e.ppid = static_cast<int>(ppid);
    e.group = static_cast<int>(group);
    std::ifstream cmd(dir / "cmdline", std::ios::binary);
    e.command_line.assign(std::istreambuf_iterator<char>(cmd), std::istreambuf_iterator<char>());
    return e;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

inline std::vector<ProcessEntry> ListProcesses() {
  std::vector<ProcessEntry> out;
#if !defined(_WIN32)
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (auto e = ReadProcess(it->path(), std::stoi(name))) out.push_back(std::move(*e));
  }
#endif
  return out;
}

// The browser a host started: its child that holds the DevTools pipe. Its pid is its group.
inline std::optional<int> BrowserOf(uint32_t host_pid) {
  for (const auto& e : ListProcesses()) {
    if (e.live() && e.ppid == static_cast<int>(host_pid) &&
        e.command_line.find("--remote-debugging-pipe") != std::string::npos) {
      return e.pid;
    }
  }
  return std::nullopt;
}

// Live processes of the browser group `group`.
inline int LiveInGroup(int group) {
  int n = 0;
  for (const auto& e : ListProcesses()) n += e.live() && e.group == group;
  return n;
}

// Live browser processes started with this user data folder.
inline int BrowsersUsing(const std::string& folder) {
  int n = 0;
  const std::string flag = "--user-data-dir=" + folder;
  for (const auto& e : ListProcesses()) n += e.live() && e.command_line.find(flag) != std::string::npos;
  return n;
}

}  // namespace vyo::testing
