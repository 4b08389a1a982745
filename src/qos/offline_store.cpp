#include "qos/offline_store.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/log.h"
#include "base/text.h"
#include "platform/cross_process_lock.h"
#include "platform/process.h"

namespace vyo::qos {
namespace {

constexpr char16_t kLockName[] = u"FenyraOverlayQosOffline";

std::filesystem::path Path(const std::u16string& p) { return std::filesystem::path(p); }

}  // namespace

OfflineStore::OfflineStore(std::u16string directory) : directory_(std::move(directory)) {
  if (directory_.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(Path(directory_), ec);
  file_ = directory_ + platform::PathSeparator() + u"qos_offline.ndjson";
}

OfflineStore& OfflineStore::Default() {
  static OfflineStore* store = [] {
    const std::u16string dir = platform::ExecutableDirectory();
    return new OfflineStore(dir.empty() ? std::u16string() : dir + platform::PathSeparator() + u"log");
  }();
  return *store;
}

size_t OfflineStore::Store(const std::vector<std::string>& payloads, uint32_t lock_timeout_ms) {
  if (file_.empty() || payloads.empty()) return 0;
  auto lock = platform::CrossProcessLock::Acquire(kLockName, directory_, lock_timeout_ms);
  if (!lock) return 0;  // dropped without a log
  std::error_code ec;
  uint64_t size = std::filesystem::exists(Path(file_), ec) ? std::filesystem::file_size(Path(file_), ec) : 0;
  if (ec) size = 0;
  std::string text;
  // A writer that died mid-line left a partial last line: end it so the next payload stays whole.
  if (size > 0) {
    std::ifstream in(Path(file_), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(size - 1));
    char last = '\n';
    if (in.get(last) && last != '\n') text.push_back('\n');
  }
  size_t written = 0;
  bool full_logged = false;
  for (const auto& p : payloads) {
    if (p.empty() || p.find('\n') != std::string::npos) continue;
    if (size + text.size() + p.size() + 1 > kOfflineMaxBytes) {
      if (!full_logged) TaggedLogf(LogLevel::kWarning, "VyoQos", "%s", "offline file full, drop payload");
      full_logged = true;
      continue;
    }
    text += p;
    text.push_back('\n');
    ++written;
  }
  if (written == 0) return 0;
  std::ofstream out(Path(file_), std::ios::binary | std::ios::app);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  return out ? written : 0;
}

std::vector<std::string> OfflineStore::Drain() {
  std::vector<std::string> out;
  if (file_.empty()) return out;
  auto lock = platform::CrossProcessLock::Acquire(kLockName, directory_, kOfflineLockTimeoutMs);
  if (!lock) return out;
  std::error_code ec;
  if (!std::filesystem::exists(Path(file_), ec)) return out;
  const uint64_t size = std::filesystem::file_size(Path(file_), ec);
  std::string content;
  if (!ec && size >= 1 && size <= kOfflineMaxBytes) {
    std::ifstream in(Path(file_), std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Remove the file; where that fails, empty it, so nothing is uploaded twice.
  if (!std::filesystem::remove(Path(file_), ec) || ec) {
    std::ofstream truncate(Path(file_), std::ios::binary | std::ios::trunc);
  }
  size_t start = 0;
  while (start < content.size() && out.size() < kOfflineMaxLines) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    if (end > start) out.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  if (!out.empty()) TaggedLogf(LogLevel::kNotice, "VyoQos", "offline drain, count=%d", static_cast<int>(out.size()));
  return out;
}

}  // namespace vyo::qos
