// The per-view fields that belong to modules (a part of ViewState): the owning module and the two
// relay flags the overlay reads for the view.
#pragma once
#include <cstdint>

namespace vyo::host {

struct ViewModuleState {
  uint32_t owner_module = 0;  // 0: the overlay's own view
  bool relay_flag_a = true;
  bool relay_flag_b = false;
};

}  // namespace vyo::host
