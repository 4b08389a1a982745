// The module configuration file: which plug-in modules the host loads, read from
// "FenyraOverlayHost.modules.ini" beside the executable or the file named on the command line.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vyo::modules {

struct ModuleEntry {
  std::u16string module_path;  // full path of the module library
  std::string module_name;     // display name (UTF-8)
  std::string module_config;   // configuration text handed to the module (UTF-8, may be empty)
};

enum ModuleConfigResult : uint32_t {
  kModuleConfigOk = 0,          // read, at least one entry
  kModuleConfigNoFile = 1,      // no path, no file, or a folder
  kModuleConfigReadFailed = 2,  // unreadable or larger than 1 MiB
  kModuleConfigNoEntries = 3,   // read, but no usable module section
};

constexpr char16_t kModuleConfigFileName[] = u"FenyraOverlayHost.modules.ini";
constexpr uint64_t kMaxModuleConfigFileBytes = 0x100000;
// Bounds on what one configuration can hold: module sections beyond the 64th are ignored, and the
// configuration texts (the file and every config_file) together stay within 4 MiB; a config_file
// that would pass that bound leaves its section without configuration.
constexpr size_t kMaxModuleSections = 64;
constexpr uint64_t kMaxModuleConfigTotalBytes = 4 * 0x100000;
constexpr size_t kMaxResolvedPathChars = 1040;

// Reads a whole regular file of at most 1 MiB; false when it cannot.
using ConfigFileReader = std::function<bool(const std::u16string& path, std::vector<uint8_t>* bytes)>;

// `path` made full: a relative path is taken below `base`; '\' separates too where the platform's
// separator is '/', so a file shared with Windows works. Empty when unresolvable or too long.
std::u16string ResolveModulePath(std::u16string_view base, std::u16string_view path);

// Parses the file's bytes into entries (in file order); result 0 or 3.
uint32_t ParseModuleConfig(const std::vector<uint8_t>& bytes, std::u16string_view host_folder,
                           const ConfigFileReader& read_file, std::vector<ModuleEntry>* entries);

// Finds, reads and parses the configuration file; `resolved_path` receives the path looked at.
uint32_t LoadModuleConfig(std::u16string_view configured_path, std::u16string_view host_folder,
                          std::vector<ModuleEntry>* entries, std::u16string* resolved_path);

// The reader LoadModuleConfig uses: regular files only, at most 1 MiB.
bool ReadModuleConfigFile(const std::u16string& path, std::vector<uint8_t>* bytes);

}  // namespace vyo::modules
