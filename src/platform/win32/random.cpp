// Random bytes on Windows: the system-preferred CNG generator, in chunks that fit a ULONG.
#include "platform/random.h"

#include <windows.h>
#include <bcrypt.h>

namespace vyo::platform {

bool RandomBytes(std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const ULONG chunk = size > 0x10000000u ? 0x10000000u : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
    out += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace vyo::platform
