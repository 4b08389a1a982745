// Every overlay command decoder over arbitrary payloads: the first 4 bytes pick the type.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t selector = 0;
  std::memcpy(&selector, data, 4);
  static const uint32_t kTypes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13, 14, 15, 18, 19, 20, 21, 22, 115, 117, 11};
  const uint32_t type = kTypes[selector % (sizeof(kTypes) / sizeof(kTypes[0]))];
  const auto command = vyo::host::DecodeCommand(type, data + 4, size - 4);
  if (command) {
    // A decoded command re-encodes to something that decodes again to the same alternative.
    const auto bytes = vyo::host::EncodeCommand(*command);
    const auto again = vyo::host::DecodeCommand(type, bytes.data(), bytes.size());
    if (!again || again->index() != command->index()) __builtin_trap();
  }
  return 0;
}
