// Navigation URL grammar, mounting and the mount side of resolving a view's navigation.
#include "content/mount.h"

#include <algorithm>

#include "base/lock_checks.h"
#include "base/text.h"
#include "platform/files.h"

namespace vyo::content {
namespace {

bool HasPrefixIgnoreCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::u16string_view TrimSpacesAndTabs(std::u16string_view text) {
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

MountOutcome Failed(std::string reason, int code = 0) {
  MountOutcome outcome;
  outcome.package_code = code;
  outcome.reason = std::move(reason);
  return outcome;
}

}  // namespace

bool ParseNavigationUrl(std::u16string_view url, NavigationTarget& target) {
  target = NavigationTarget{};
  std::size_t prefix = 0;
  if (url.size() > 6 && HasPrefixIgnoreCase(url, u"vyopkg:")) {
    target.kind = kNavigatePackage;
    prefix = 7;
  } else if (url.size() > 6 && HasPrefixIgnoreCase(url, u"vyodir:")) {
    target.kind = kNavigateDirectory;
    prefix = 7;
  } else if (url.size() >= 11 && HasPrefixIgnoreCase(url, u"vyobuiltin:")) {
    target.kind = kNavigateBuiltin;
    prefix = 11;
  } else {
    return true;  // an ordinary URL, navigated unchanged
  }
  const std::u16string_view rest = url.substr(prefix);
  const std::size_t split = rest.find(u"!/");
  std::u16string_view path = rest;
  if (split != std::u16string_view::npos) {
    path = rest.substr(0, split);
    target.entry = Utf16ToUtf8(rest.substr(split + 2));
  }
  path = TrimSpacesAndTabs(path);
  if (path.empty()) return false;
  target.path = std::u16string(path);
  return true;
}

void Mount::Reset() {
  mount_kind = kMountNone;
  source.clear();
  root_dir.clear();
  real_root.clear();
  default_entry.clear();
  csp.clear();
  package.reset();
  cache.clear();
}

MountOutcome MountPackage(Mount& mount, std::u16string_view path, const KeySet& keys) {
  mount.Reset();
  if (path.empty()) return Failed("empty package path");
  auto reader = std::make_unique<PackageReader>();
  int code = reader->Open(path);
  if (code != kPackageOk) return Failed("package open failed", code);
  code = reader->Verify(keys.host_private, keys.host_public, keys.publisher_public);
  if (code != kPackageOk) return Failed("package verification failed", code);
  // The policy becomes a response header line: a CR or LF in it would start headers of its own.
  if (reader->policy().find_first_of("\r\n") != std::string::npos) {
    return Failed("content security policy contains a line break");
  }
  const auto& entries = reader->entries();
  if (entries.empty()) return Failed("package has no entries");
  const std::size_t position = reader->default_entry() < entries.size() ? reader->default_entry() : 0;
  if (entries[position].name.empty()) return Failed("package default entry has an empty name");
  mount.mount_kind = kMountPackage;
  mount.source = std::u16string(path);
  mount.csp = reader->policy();
  mount.default_entry = entries[position].name;
  mount.package = std::move(reader);
  return MountOutcome{true, kPackageOk, {}};
}

MountOutcome MountDirectory(Mount& mount, std::u16string_view path) {
  mount.Reset();
  if (path.empty()) return Failed("empty directory path");
  auto full = platform::FullPathName(path);
  if (!full || full->empty()) return Failed("directory path cannot be resolved");
  const char16_t separator = platform::PathSeparator();
  if (full->back() != separator) full->push_back(separator);
  if (!platform::IsDirectory(*full)) return Failed("not a directory");
  auto real = platform::RealPath(*full);
  if (!real || real->empty()) return Failed("directory real path cannot be resolved");
  if (real->back() != separator) real->push_back(separator);
  mount.mount_kind = kMountDirectory;
  mount.source = std::u16string(path);
  mount.root_dir = std::move(*full);
  mount.real_root = std::move(*real);
  mount.default_entry = "index.html";
  return MountOutcome{true, 0, {}};
}

MountOutcome MountBuiltin(Mount& mount, std::u16string_view name) {
  mount.Reset();
  if (name.empty()) return Failed("empty built-in name");
  mount.mount_kind = kMountBuiltin;
  mount.source = std::u16string(name);
  mount.default_entry = "index.html";
  return MountOutcome{true, 0, {}};
}

std::u16string ViewOrigin(std::uint32_t view_id) {
  return u"https://v" + Utf8ToUtf16(std::to_string(view_id)) + u"." + kVirtualDomain;
}

std::u16string EntryUrl(std::uint32_t view_id, std::string_view entry) {
  std::u16string wide = Utf8ToUtf16(entry);
  std::replace(wide.begin(), wide.end(), u'\\', u'/');
  std::u16string url = ViewOrigin(view_id);
  if (wide.empty() || wide.front() != u'/') url.push_back(u'/');
  return url + wide;
}

ContentNavigation ResolveContentNavigation(std::uint32_t view_id, std::u16string_view url, Mount& mount,
                                           const KeySet& keys) {
  CheckNoRegistryLock("mount content");
  ContentNavigation result;
  NavigationTarget target;
  mount.Reset();
  if (!ParseNavigationUrl(url, target)) {
    result.failure_detail = "ParseNavigationUrl";
    return result;
  }
  if (target.kind == kNavigatePlainUrl) {
    result.ok = true;
    result.url = std::u16string(url);
    return result;
  }
  switch (target.kind) {
    case kNavigatePackage:
      result.mount_outcome = MountPackage(mount, target.path, keys);
      break;
    case kNavigateDirectory:
      result.mount_outcome = MountDirectory(mount, target.path);
      break;
    default:
      result.mount_outcome = MountBuiltin(mount, target.path);
      break;
  }
  if (!result.mount_outcome.ok) {
    mount.Reset();
    result.failure_detail = "Mount failed";
    return result;
  }
  const std::string& entry = target.entry.empty() ? mount.default_entry : target.entry;
  if (entry.empty()) {
    mount.Reset();
    result.failure_detail = "empty entry";
    return result;
  }
  result.ok = true;
  result.mounted = true;
  result.origin = ViewOrigin(view_id);
  result.url = EntryUrl(view_id, entry);
  result.source_label = target.kind == kNavigatePackage ? "package" : "directory";
  return result;
}

}  // namespace vyo::content
