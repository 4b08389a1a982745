#include "renderers/web/user_data_dir.h"

#include <atomic>

#include "base/text.h"

namespace vyo::web {
namespace {

constexpr const char* kProtectedVariables[] = {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432", "ProgramData",
                                               "SystemRoot"};

bool StartsWithIgnoreCase(const std::u16string& text, const std::u16string& prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(std::u16string_view(text).substr(0, prefix.size()), prefix);
}

}  // namespace

bool UserDataDirectories::EnsureWritableDir(const std::u16string& path) {
  if (path.empty()) return false;
  const auto created = fs_.MakeDirectory(path);
  if (created != IUserDataFs::CreateResult::kCreated && created != IUserDataFs::CreateResult::kExists) return false;
  // A fresh name each time: a file or link left under the probe name cannot stand in for the test.
  static std::atomic<uint32_t> counter{0};
  const std::u16string probe = path + fs_.Separator() + u".vyo_write_probe." +
                               Utf8ToUtf16(std::to_string(fs_.CurrentProcessId()) + "." + std::to_string(counter++)) +
                               u".tmp";
  return fs_.CreateProbeFile(probe);
}

bool UserDataDirectories::ProbeUserDataDir(const std::u16string& path) {
  if (!EnsureWritableDir(path)) return false;
  const std::u16string probe_dir = path + fs_.Separator() + u".vyo_probe_dir";
  const auto created = fs_.MakeDirectory(probe_dir);
  if (created != IUserDataFs::CreateResult::kCreated && created != IUserDataFs::CreateResult::kExists) return false;
  fs_.DeleteDirectory(probe_dir);
  return true;
}

std::u16string UserDataDirectories::Select() {
  const char16_t sep = fs_.Separator();
  const auto chosen = [this](const char* source, const std::u16string& path) {
    log_(std::string("WebView2 user data dir: source=") + source + ", path=" + Utf16ToUtf8(path));
    return path;
  };
  const std::u16string exe_dir = fs_.ExecutableDirectory();
  const std::u16string exe_candidate = exe_dir + sep + u"webview_user_data";

  bool is_protected = false;
  if (!exe_dir.empty()) {
    const std::u16string exe_with_sep = exe_dir.back() == sep ? exe_dir : exe_dir + sep;
    for (const char* name : kProtectedVariables) {
      std::optional<std::u16string> value = fs_.GetEnv(name);
      if (!value || value->empty() || value->size() > 259) continue;
      if (value->back() != sep) value->push_back(sep);
      if (StartsWithIgnoreCase(exe_with_sep, *value)) is_protected = true;
    }
  }
  if (is_protected) {
    log_("WebView2 user data dir: exe dir is a protected install location");
  } else if (ProbeUserDataDir(exe_candidate)) {
    return chosen("exe dir", exe_candidate);
  } else {
    log_("WebView2 user data dir: exe dir candidate not usable");
  }

  std::optional<std::u16string> per_user_candidate;
  if (std::optional<std::u16string> base = fs_.PerUserBase(); base && !base->empty() && base->size() <= 259) {
    const std::u16string dir = *base + sep + u"FenyraOverlay";
    per_user_candidate = dir + sep + u"webview_user_data";
    if (EnsureWritableDir(dir) && ProbeUserDataDir(*per_user_candidate)) return chosen("per-user", *per_user_candidate);
  }
  if (const std::u16string temp = fs_.TempPath(); !temp.empty() && temp.size() <= 259) {
    const std::u16string dir = temp + u"FenyraOverlay";
    const std::u16string candidate = dir + sep + u"webview_user_data";
    if (EnsureWritableDir(dir) && ProbeUserDataDir(candidate)) return chosen("temp", candidate);
  }
  if (per_user_candidate) return chosen("last resort per-user", *per_user_candidate);
  return chosen("last resort exe dir", exe_candidate);
}

std::optional<std::u16string> UserDataDirectories::PrivateCandidate(const std::u16string& current) {
  const std::u16string candidate = current + u"_pid" + Utf8ToUtf16(std::to_string(fs_.CurrentProcessId()));
  if (ProbeUserDataDir(candidate)) {
    log_("WebView2 user data dir: source=private fallback, path=" + Utf16ToUtf8(candidate));
    return candidate;
  }
  log_("WebView2 private user data dir not usable, keep shared dir");
  return std::nullopt;
}

int UserDataDirectories::PurgeStale(const std::u16string& dir) {
  const size_t split = dir.find_last_of(fs_.Separator());
  if (split == std::u16string::npos || split + 1 >= dir.size()) return 0;
  const std::u16string parent = dir.substr(0, split);
  const std::u16string prefix = dir.substr(split + 1) + u"_pid";
  const uint32_t self = fs_.CurrentProcessId();
  int removed = 0;
  for (const auto& entry : fs_.List(parent.empty() ? std::u16string(1, fs_.Separator()) : parent, prefix)) {
    if (!entry.is_directory && !entry.is_link) continue;
    if (entry.name.size() <= prefix.size()) continue;
    const std::u16string suffix = entry.name.substr(prefix.size());
    if (suffix.size() > 10) continue;
    uint64_t pid = 0;
    bool digits = true;
    for (char16_t c : suffix) {
      if (c < u'0' || c > u'9') {
        digits = false;
        break;
      }
      pid = pid * 10 + static_cast<uint64_t>(c - u'0');
    }
    if (!digits || pid > 0xFFFFFFFFull || pid == self) continue;
    const auto p = static_cast<uint32_t>(pid);
    bool remove = !fs_.ProcessAlive(p);
    if (!remove) {
      // A live process with that id owns the directory unless it started after the directory was
      // made (the id was reused by a newer process).
      const uint64_t started = fs_.ProcessStartUnixMs(p);
      remove = started != 0 && entry.created_unix_ms != 0 && started > entry.created_unix_ms;
    }
    if (remove && fs_.RemoveTree(parent + fs_.Separator() + entry.name)) ++removed;
  }
  if (removed > 0) log_("WebView2 stale private user data dirs purged, count=" + std::to_string(removed));
  return removed;
}

}  // namespace vyo::web
