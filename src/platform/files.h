// Files and paths for the content subsystem: full-path resolution, directory tests, whole-file
// reads with a size cap, and reads confined to a directory tree whose real location is checked
// after the file is opened (so a symbolic link or junction cannot lead outside it).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyo::platform {

enum class FileStatus {
  kOk,
  kNotFound,    // the path does not exist or cannot be opened
  kNotRegular,  // a directory, device, pipe or other non-regular file
  kTooLarge,    // larger than the caller's cap
  kOutside,     // the file's real location is not below the allowed root
  kReadError,   // the read did not return the whole file, or memory for it could not be had
};

// The platform's preferred path separator ('\\' on Windows, '/' elsewhere); the same function
// process.h declares, defined once with the process functions.
char16_t PathSeparator();

// Absolute, lexically normalised form of a path (no link resolution), as GetFullPathNameW gives it
// on Windows. Empty optional when the path cannot be resolved or the result is too long.
std::optional<std::u16string> FullPathName(std::u16string_view path);

// The real location of an existing file or directory: absolute, with every link followed.
std::optional<std::u16string> RealPath(std::u16string_view path);

// The identity of a file, the same whichever path or link reaches it: the device and inode on
// POSIX, the volume serial number and file index on Windows.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId& other) const { return volume == other.volume && index == other.index; }
};

// The identity of the existing file `path` names (links followed); empty when it cannot be had.
std::optional<FileId> FileIdentity(std::u16string_view path);

// True if the path names an existing directory (following links).
bool IsDirectory(std::u16string_view path);

// True if `path` begins with `prefix`, compared the way the platform compares paths
// (case-insensitively on Windows, byte for byte elsewhere).
bool PathStartsWith(std::u16string_view path, std::u16string_view prefix);

// Reads a regular file whole. Files above max_size are refused before anything is allocated.
FileStatus ReadWholeFile(std::u16string_view path, std::uint64_t max_size, std::vector<std::uint8_t>& out);

// Like ReadWholeFile, but the file's real location, taken from the opened file, must lie below
// real_root (a RealPath result ending in a separator).
FileStatus ReadFileWithin(std::u16string_view real_root, std::u16string_view path, std::uint64_t max_size,
                          std::vector<std::uint8_t>& out);

}  // namespace vyo::platform
