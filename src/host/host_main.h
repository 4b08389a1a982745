// The host process: start-up, the main loop and the ordered shutdown, returning the exit code.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vyo::host {

constexpr uint32_t kExitNullArgs = 1;
constexpr uint32_t kExitBadArgs = 2;
constexpr uint32_t kExitInitFailed = 3;

// `args` is the whole argument vector (program first); null stands for a missing vector.
uint32_t HostMain(const std::vector<std::u16string>* args);

}  // namespace vyo::host
