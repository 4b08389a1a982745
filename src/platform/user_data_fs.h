// File system and process facts for choosing the browser's user data directory (a real one here,
// a fake in tests).
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vyo::platform {

class IUserDataFs {
 public:
  virtual ~IUserDataFs() = default;
  // Folder of the host executable; empty when unknown.
  virtual std::u16string ExecutableDirectory() = 0;
  virtual std::optional<std::u16string> GetEnv(const std::string& name) = 0;
  // The per-user application data base (LOCALAPPDATA on Windows, the cache folder elsewhere).
  virtual std::optional<std::u16string> PerUserBase() = 0;
  // The temporary directory, ending in a separator; empty when unknown.
  virtual std::u16string TempPath() = 0;
  virtual char16_t Separator() = 0;
  enum class CreateResult { kCreated, kExists, kNotDirectory, kFailed };
  // Creates one directory level.
  virtual CreateResult MakeDirectory(const std::u16string& path) = 0;
  virtual bool DeleteDirectory(const std::u16string& path) = 0;
  // Creates a new file exclusively (never through a link) and deletes it again.
  virtual bool CreateProbeFile(const std::u16string& path) = 0;
  struct Entry {
    std::u16string name;
    bool is_directory = false;
    bool is_link = false;
    uint64_t created_unix_ms = 0;
  };
  // Entries of `parent` whose names begin with `prefix`.
  virtual std::vector<Entry> List(const std::u16string& parent, const std::u16string& prefix) = 0;
  // Deletes a tree; links are removed, never followed.
  virtual bool RemoveTree(const std::u16string& path) = 0;
  // Whether the process lives (an unknown state counts as alive) and when it started (0 unknown).
  virtual bool ProcessAlive(uint32_t pid) = 0;
  virtual uint64_t ProcessStartUnixMs(uint32_t pid) = 0;
  virtual uint32_t CurrentProcessId() = 0;
};

std::unique_ptr<IUserDataFs> CreateUserDataFs();

}  // namespace vyo::platform
