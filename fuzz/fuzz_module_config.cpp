// The module configuration parser over arbitrary bytes: any encoding, any length, config_file
// lines answered by a reader that returns the input again (so nested texts are exercised too).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "modules/module_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  std::vector<vyo::modules::ModuleEntry> entries;
  const auto reader = [&bytes](const std::u16string&, std::vector<uint8_t>* out) {
    *out = bytes;
    return true;
  };
  const uint32_t result = vyo::modules::ParseModuleConfig(bytes, u"/host", reader, &entries);
  if (result != 0 && result != 3) __builtin_trap();
  if (entries.size() > vyo::modules::kMaxModuleSections) __builtin_trap();
  for (const auto& entry : entries) {
    if (entry.module_path.empty()) __builtin_trap();
  }
  return 0;
}
