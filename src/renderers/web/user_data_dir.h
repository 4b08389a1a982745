// Choosing the browser's user data directory: beside the executable when that is usable and not a
// protected install location, otherwise per user, otherwise in the temporary directory; a private
// per-process directory as a fallback when the shared one is held by another browser; and removal
// of stale private directories of earlier processes.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/user_data_fs.h"

namespace vyo::web {

using IUserDataFs = platform::IUserDataFs;



class UserDataDirectories {
 public:
  UserDataDirectories(IUserDataFs& fs, std::function<void(const std::string&)> log) : fs_(fs), log_(std::move(log)) {}

  // The directory for the first environment (logged with its source).
  std::u16string Select();
  // Removes private directories of earlier processes beside `dir`; returns how many went.
  int PurgeStale(const std::u16string& dir);
  // `current` + "_pid" + the process id when that directory is usable; logs and gives nullopt
  // otherwise.
  std::optional<std::u16string> PrivateCandidate(const std::u16string& current);

  bool EnsureWritableDir(const std::u16string& path);
  bool ProbeUserDataDir(const std::u16string& path);

 private:
  IUserDataFs& fs_;
  std::function<void(const std::string&)> log_;
};

}  // namespace vyo::web
