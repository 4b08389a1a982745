// Random bytes from the operating system's generator (getrandom on Linux, the system-preferred
// CNG generator on Windows).
#pragma once
#include <cstddef>
#include <cstdint>

namespace vyo::platform {

// Fills `out` with `size` random bytes; false when the generator failed (nothing usable in `out`).
bool RandomBytes(std::uint8_t* out, std::size_t size);

}  // namespace vyo::platform
