// The offline telemetry file: payloads that could not be uploaded, one per line, in
// "<host folder>/log/qos_offline.ndjson", guarded by a lock shared by every host process.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vyo::qos {

constexpr uint64_t kOfflineMaxBytes = 262144;
constexpr size_t kOfflineMaxLines = 200;
constexpr uint32_t kOfflineLockTimeoutMs = 2000;

class OfflineStore {
 public:
  // `directory` holds the file (created when missing); empty disables the store.
  explicit OfflineStore(std::u16string directory);
  // The store of this process: "<executable folder>/log".
  static OfflineStore& Default();

  // Appends payloads under one lock acquisition; returns how many were written. Payloads that are
  // empty or contain LF are refused; so is any append that would take the file past 262144 bytes.
  size_t Store(const std::vector<std::string>& payloads, uint32_t lock_timeout_ms = kOfflineLockTimeoutMs);
  bool Store(const std::string& payload) { return Store(std::vector<std::string>{payload}) == 1; }
  // Reads back at most 200 payloads and removes the file.
  std::vector<std::string> Drain();

  const std::u16string& file_path() const { return file_; }

 private:
  std::u16string directory_;
  std::u16string file_;
};

}  // namespace vyo::qos
