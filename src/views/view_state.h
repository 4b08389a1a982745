// The per-view record of the view registry: the registry's own fields, then one group of fields per
// subsystem, each declared in that subsystem's folder.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "capture/view_capture_state.h"
#include "input/view_input_state.h"
#include "modules/view_module_state.h"
#include "platform/system.h"
#include "renderers/web/view_web_state.h"

namespace vyo::host {

constexpr int32_t kMaxViewSide = 16384;  // the largest texture side the GPU device accepts

enum class ViewKind : int32_t {
  kWeb = 0,
  kNative = 1,  // native buttons: no web content
};

struct ViewState {
  uint32_t view_id = 0;
  ViewKind kind = ViewKind::kWeb;
  int32_t width = 0, height = 0;
  int32_t x = 0, y = 0;
  int32_t z_order = 0;
  bool visible = false;
  std::u16string url;
  // The view's own window when it owns one (platforms with windows, outside windowed presentation).
  std::shared_ptr<platform::HostWindow> window;
  intptr_t view_window = 0;
  // The view's surface (its shared texture, or its place in the windowed window) has been set up
  // by the create path; a view without one is (re)created by the next EnsureView.
  bool has_surface = false;
  // Frames per second the view asks for, 1 to 60.
  uint32_t frame_rate = 30;

  web::ViewWebState web;
  ViewCaptureState capture;
  ViewInputState input;
  ViewModuleState module;
};

}  // namespace vyo::host
