// Files and tools of the browser tests: a program built beside the test, running a tool to its end,
// writing a fixture file, and packing a site folder into a content package with the development keys.
#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/process.h"

namespace vyo::testing {

// The program `name` in the folder `dir` (empty: the test's own folder) beside the test program.
inline std::u16string Exe(const std::u16string& dir, const std::u16string& name) {
  std::u16string path = platform::ExecutableDirectory() + platform::PathSeparator();
  if (!dir.empty()) path += dir + platform::PathSeparator();
  path += name;
#if defined(_WIN32)
  path += u".exe";
#endif
  return path;
}

// Runs `tool` to its end (at most 30 s); true when it exited with 0.
inline bool RunTool(const std::u16string& tool, const std::vector<std::u16string>& args) {
  auto p = platform::ChildProcess::Start(tool, args);
  return p && p->Wait(30000) == std::optional<uint32_t>(0u);
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Packs the folder `site` into the package `package` with the development keys; the URL a view
// opens it by, or empty when packing failed.
inline std::u16string PackSite(const std::filesystem::path& site, const std::filesystem::path& package) {
  const std::u16string keys = Utf8ToUtf16(VYO_SOURCE_DIR "/keys/dev");
  if (!RunTool(Exe(u"", u"vyo-pack"), {u"pack", u"--keys", keys, site.u16string(), package.u16string()})) return {};
  return u"vyopkg:" + package.u16string();
}

}  // namespace vyo::testing
