#include "logging/retention.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/log_files.h"
#include "platform/process.h"

namespace base {
namespace {

std::u16string ExtensionOf(std::u16string_view name) {
  const std::size_t stream = name.find(u':');
  if (stream != std::u16string_view::npos) name = name.substr(0, stream);
  const std::size_t dot = name.rfind(u'.');
  return dot == std::u16string_view::npos ? std::u16string() : std::u16string(name.substr(dot));
}

}  // namespace

int PruneLogDirectory(const std::u16string& directory, const std::u16string& pattern,
                      const std::u16string& extension, std::uint32_t hours, std::uint64_t bytes,
                      std::int64_t now_ns) {
  if (now_ns == 0) {
    now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  }
  std::vector<vyo::platform::LogDirEntry> entries;
  if (!vyo::platform::ListLogDirectory(directory, entries)) return 0;
  std::u16string prefix = directory;
  if (!prefix.empty() && prefix.back() != u'/' && prefix.back() != u'\\') prefix += vyo::platform::PathSeparator();

  const std::int64_t max_age_ns = static_cast<std::int64_t>(hours) * 3600 * 1000000000LL;
  int deleted = 0;
  std::vector<vyo::platform::LogDirEntry> kept;
  std::uint64_t total = 0;
  for (auto& e : entries) {
    if (e.name.find(pattern) == std::u16string::npos || ExtensionOf(e.name) != extension) continue;
    if (now_ns - e.mtime_ns > max_age_ns) {
      if (vyo::platform::DeleteLogFile(prefix + e.name)) ++deleted;
      continue;
    }
    total += e.size;
    kept.push_back(std::move(e));
  }
  std::sort(kept.begin(), kept.end(),
            [](const auto& a, const auto& b) { return a.mtime_ns < b.mtime_ns; });
  for (const auto& e : kept) {
    if (total <= bytes) break;
    // A file that cannot be deleted (the running host's own file on Windows) still counts.
    if (vyo::platform::DeleteLogFile(prefix + e.name)) {
      total -= e.size;
      ++deleted;
    }
  }
  return deleted;
}

}  // namespace base
