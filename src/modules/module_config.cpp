#include "modules/module_config.h"

#include <optional>

#include "base/text.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"

namespace vyo::modules {
namespace {

bool IsSpaceOrTab(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s, bool strip_line_ends) {
  while (!s.empty() && IsSpaceOrTab(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsSpaceOrTab(s.back()) || (strip_line_ends && (s.back() == u'\r' || s.back() == u'\n')))) {
    s.remove_suffix(1);
  }
  return s;
}

std::u16string Decode(const std::vector<uint8_t>& bytes) {
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    std::u16string text;
    text.reserve((bytes.size() - 2) / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return text;
  }
  size_t start = 0;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) start = 3;
  return Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes.data()) + start, bytes.size() - start));
}

bool IsFalseWord(std::u16string_view v) {
  return EqualsIgnoreCase(v, u"0") || EqualsIgnoreCase(v, u"false") || EqualsIgnoreCase(v, u"no") ||
         EqualsIgnoreCase(v, u"off");
}

// The file name of a path without its last extension (a leading dot is part of the name).
std::u16string DisplayName(std::u16string_view path) {
  const size_t slash = path.find_last_of(u"\\/");
  std::u16string_view name = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of(u'.');
  if (dot != std::u16string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::u16string(name);
}

struct Section {
  std::u16string path, name, config_file;
  std::string config;
  bool enabled = true;
  bool has_config = false;
};

}  // namespace

std::u16string ResolveModulePath(std::u16string_view base, std::u16string_view path) {
  if (path.empty()) return {};
  std::u16string joined(path);
  std::u16string base_text(base);
  if (platform::PathSeparator() == u'/') {
    for (char16_t& c : joined) c = c == u'\\' ? u'/' : c;
    for (char16_t& c : base_text) c = c == u'\\' ? u'/' : c;
  }
  if (!platform::IsFullPath(joined) && !base_text.empty()) {
    const char16_t last = base_text.back();
    if (last != u'\\' && last != u'/') base_text.push_back(platform::PathSeparator());
    joined = base_text + joined;
  }
  std::optional<std::u16string> full = platform::FullPathName(joined);
  if (!full || full->empty() || full->size() >= kMaxResolvedPathChars) return {};
  return *full;
}

bool ReadModuleConfigFile(const std::u16string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  return platform::ReadWholeFile(path, kMaxModuleConfigFileBytes, *bytes) == platform::FileStatus::kOk;
}

uint32_t ParseModuleConfig(const std::vector<uint8_t>& bytes, std::u16string_view host_folder,
                           const ConfigFileReader& read_file, std::vector<ModuleEntry>* entries) {
  entries->clear();
  uint64_t total_bytes = bytes.size();
  size_t sections_seen = 0;
  const std::u16string text = Decode(bytes);
  Section section;
  bool in_module = false;

  auto commit = [&] {
    if (!in_module || !section.enabled || section.path.empty()) return;
    ModuleEntry entry;
    entry.module_path = ResolveModulePath(host_folder, section.path);
    if (entry.module_path.empty()) return;
    entry.module_name = Utf16ToUtf8(section.name.empty() ? DisplayName(entry.module_path) : section.name);
    if (section.has_config) {
      entry.module_config = section.config;
    } else if (!section.config_file.empty()) {
      const std::u16string config_path = ResolveModulePath(host_folder, section.config_file);
      std::vector<uint8_t> config_bytes;
      if (!config_path.empty() && read_file && read_file(config_path, &config_bytes) &&
          total_bytes + config_bytes.size() <= kMaxModuleConfigTotalBytes) {
        total_bytes += config_bytes.size();
        size_t start = 0;
        if (config_bytes.size() >= 3 && config_bytes[0] == 0xEF && config_bytes[1] == 0xBB && config_bytes[2] == 0xBF)
          start = 3;
        entry.module_config.assign(reinterpret_cast<const char*>(config_bytes.data()) + start,
                                   config_bytes.size() - start);
      }
    }
    entries->push_back(std::move(entry));
  };

  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string::npos) end = text.size();
    const std::u16string_view line = Trim(std::u16string_view(text).substr(pos, end - pos), true);
    pos = end + 1;
    if (line.empty() || line[0] == u';' || line[0] == u'#') continue;
    if (line[0] == u'[') {
      commit();
      section = Section{};
      std::u16string_view name = line.substr(1);
      const size_t close = name.find(u']');
      if (close != std::u16string_view::npos) name = name.substr(0, close);
      in_module = EqualsIgnoreCase(Trim(name, false), u"module");
      if (in_module && ++sections_seen > kMaxModuleSections) in_module = false;
      continue;
    }
    if (!in_module) continue;
    const size_t eq = line.find(u'=');
    if (eq == std::u16string_view::npos) continue;
    const std::u16string_view key = Trim(line.substr(0, eq), false);
    std::u16string_view value = Trim(line.substr(eq + 1), false);
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"') value = value.substr(1, value.size() - 2);
    if (EqualsIgnoreCase(key, u"path")) {
      section.path = value;
    } else if (EqualsIgnoreCase(key, u"name")) {
      section.name = value;
    } else if (EqualsIgnoreCase(key, u"enabled")) {
      section.enabled = !IsFalseWord(value);
    } else if (EqualsIgnoreCase(key, u"config")) {
      section.config = Utf16ToUtf8(value);
      section.has_config = true;
    } else if (EqualsIgnoreCase(key, u"config_file")) {
      section.config_file = value;
    }
  }
  commit();
  return entries->empty() ? kModuleConfigNoEntries : kModuleConfigOk;
}

uint32_t LoadModuleConfig(std::u16string_view configured_path, std::u16string_view host_folder,
                          std::vector<ModuleEntry>* entries, std::u16string* resolved_path) {
  entries->clear();
  std::u16string path;
  if (!configured_path.empty()) {
    path = ResolveModulePath(host_folder, configured_path);
  } else {
    path = ResolveModulePath(host_folder, kModuleConfigFileName);
  }
  if (resolved_path != nullptr) *resolved_path = path;
  if (path.empty() || platform::IsDirectory(path)) return kModuleConfigNoFile;
  std::vector<uint8_t> bytes;
  const platform::FileStatus status = platform::ReadWholeFile(path, kMaxModuleConfigFileBytes, bytes);
  if (status == platform::FileStatus::kNotFound) {
    // Missing, or present but unopenable: only a path that does not exist is "no file".
    if (!platform::RealPath(path)) return kModuleConfigNoFile;
    return kModuleConfigReadFailed;
  }
  if (status != platform::FileStatus::kOk) return kModuleConfigReadFailed;
  return ParseModuleConfig(bytes, host_folder, &ReadModuleConfigFile, entries);
}

}  // namespace vyo::modules
