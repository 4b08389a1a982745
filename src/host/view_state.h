// The per-view record of the view registry. Subsystems add their own fields as they are built.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/system.h"

namespace vyo::host {

constexpr int32_t kMaxViewSide = 16384;  // the largest texture side the GPU device accepts

struct ViewState {
  uint32_t view_id = 0;
  int32_t kind = 0;  // 0 web view, 1 native view
  int32_t width = 0, height = 0;
  int32_t x = 0, y = 0;
  int32_t z_order = 0;
  bool owns_window = true;
  bool visible = false;
  std::u16string url;
  intptr_t view_window = 0;
  // The view's own window when it owns one (platforms with windows, outside windowed presentation).
  std::shared_ptr<platform::HostWindow> window;
  uint32_t created_tick = 0;
  uint32_t owner_module = 0;
  bool relay_flag_a = true;
  bool relay_flag_b = false;

  // The view's surface (its shared texture, or its place in the windowed window) has been set up
  // by the create path; a view without one is (re)created by the next EnsureView.
  bool has_surface = false;
  // A controller whose composition parts are both alive; resizing such a view keeps it.
  bool has_live_controller = false;
  // Web content failed for good (controller creation gave up, content navigation failed).
  bool web_failed = false;
  // Frames per second the view asks for, 1 to 60.
  uint32_t frame_rate = 30;
  // 0xAARRGGBB background of the web view.
  uint32_t background_color = 0;
  // Hit testing: on when mode is 1; alpha threshold 1 to 255.
  bool hit_test = false;
  int32_t hit_alpha_threshold = 32;
  // Frame analysis work is in flight: the paced wait is cut into short slices.
  bool analysis_in_flight = false;
};

}  // namespace vyo::host
