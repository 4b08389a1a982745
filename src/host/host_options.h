// The host's command line: option lookup, value conversions and validation.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vyo::host {

struct HostOptions {
  std::u16string pipe_name;
  std::u16string input_map_name;
  std::u16string input_event_name;
  std::u16string beat_map_name;
  std::u16string module_config_path;
  uint32_t parent_pid = 0;
  bool windowed = false;
  uint64_t game_hwnd = 0;
  uint32_t game_pid = 0;
};

// Value of `name` in `args` (args[0] is the program): the argument after the first
// case-insensitive match among args[1] .. args[n-2]; empty when absent or when the option is last.
std::u16string FindOption(const std::vector<std::u16string>& args, std::u16string_view name);

// Process ids: optional white space and sign, leading decimal digits, 0 when nothing converts.
// A value that is negative or does not fit a 32-bit signed integer counts as 0 (a negative id would
// name "any process").
uint32_t ParseProcessId(std::u16string_view text);

// Unsigned 64-bit decimal as the C library converts it: optional white space and sign, leading
// digits, 0 when nothing converts, the largest value on overflow, a minus sign negates modulo 2^64.
uint64_t ParseUnsigned64(std::u16string_view text);

// Parses every option. `windowed_error` is set when windowed presentation was asked for without a
// game window or game process id; `windowed` is then cleared.
HostOptions ParseHostOptions(const std::vector<std::u16string>& args, bool* windowed_error);

// Required: pipe, input map and input event names non-empty, parent id non-zero.
bool IsValid(const HostOptions& options);

}  // namespace vyo::host
