// Navigation URLs and per-view mounts. A "vyopkg:", "vyodir:" or "vyobuiltin:" URL attaches a
// mount to a view and sends the view to its own virtual origin, "https://v<id>." + kVirtualDomain,
// whose requests are answered from the mount (see resource.h). Everything here works on a
// `Mount` and a view id handed in by the view code; nothing here touches the view registry.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "content/keys.h"
#include "content/package.h"

namespace vyo::content {

// One fixed host name for every view's origin, all lower case (browsers lower-case host names
// and origins are compared exactly), under the reserved ".invalid" domain.
inline constexpr char16_t kVirtualDomain[] = u"content.vyo.invalid";

enum NavigationKind : std::uint32_t {
  kNavigatePackage = 1,
  kNavigateDirectory = 2,
  kNavigateBuiltin = 3,
  kNavigatePlainUrl = 4,
};

struct NavigationTarget {
  std::uint32_t kind = kNavigatePlainUrl;
  std::u16string path;
  std::string entry;  // UTF-8
};

// Splits a navigation URL into scheme kind, path and entry. Plain URLs succeed with kind 4.
bool ParseNavigationUrl(std::u16string_view url, NavigationTarget& target);

enum MountKind : std::uint32_t {
  kMountNone = 0,
  kMountPackage = 1,
  kMountDirectory = 2,
  kMountBuiltin = 3,
};

struct Mount {
  std::uint32_t mount_kind = kMountNone;
  std::u16string source;         // package path, directory path (unresolved) or built-in name
  std::u16string root_dir;       // directory mounts: full path ending in the path separator
  std::u16string real_root;      // directory mounts: root_dir with links resolved, for containment
  std::string default_entry;     // served for an empty path
  std::string csp;               // package mounts: the index's content security policy
  std::unique_ptr<PackageReader> package;
  std::map<std::string, Bytes, std::less<>> cache;  // package entries already decrypted

  // Back to "no mount": strings and cache emptied, the reader (and with it its key) destroyed.
  void Reset();
};

struct MountOutcome {
  bool ok = false;
  int package_code = 0;  // the reader's result code for package mounts
  std::string reason;    // why a mount failed, for the host's log
};

MountOutcome MountPackage(Mount& mount, std::u16string_view path, const KeySet& keys);
MountOutcome MountDirectory(Mount& mount, std::u16string_view path);
MountOutcome MountBuiltin(Mount& mount, std::u16string_view name);

// "https://v" + view id + "." + kVirtualDomain.
std::u16string ViewOrigin(std::uint32_t view_id);
// The origin joined with an entry (backslashes become slashes).
std::u16string EntryUrl(std::uint32_t view_id, std::string_view entry);

// The mount side of a view's navigation: parse, reset and mount, and work out where to navigate.
struct ContentNavigation {
  bool ok = false;
  bool mounted = false;        // false for a plain URL, which is navigated unchanged
  std::u16string url;          // what to hand to the web view
  std::u16string origin;       // the view's origin while it shows mounted content
  std::string failure_detail;  // "ParseNavigationUrl", "Mount failed" or "empty entry"
  MountOutcome mount_outcome;  // details of a failed mount
  std::string source_label;    // "package", or "directory" for directory and built-in mounts
};
ContentNavigation ResolveContentNavigation(std::uint32_t view_id, std::u16string_view url, Mount& mount,
                                           const KeySet& keys);

}  // namespace vyo::content
