// The per-view fields of focus emulation, kept by the focus controller.
#pragma once
#include <cstdint>

namespace vyo::host {

struct ViewInputState {
  // Focus emulation: the state the host wants, the last state the browser confirmed, and the
  // request in flight (at most one), counted by epoch so that a late answer for a detached web view
  // changes nothing.
  bool focus_emulation_wanted = false;
  bool focus_emulation_enabled = false;
  bool focus_emulation_pending = false;
  bool focus_emulation_pending_value = false;
  uint32_t focus_emulation_epoch = 0;
  int32_t focus_emulation_budget = 3;
};

}  // namespace vyo::host
