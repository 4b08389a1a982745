// The per-view record of the view registry: what the registry itself knows of a view (its id,
// kind, place, size, visibility, frame rate, owner). Every subsystem that keeps more per view keeps
// it itself, by view id, filled when the registry says a view was created and erased when it says
// the view was destroyed.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/system.h"

namespace vyo::host {

constexpr int32_t kMaxViewSide = 16384;  // the largest texture side the GPU device accepts

enum class ViewKind : int32_t {
  kWeb = 0,
  kNative = 1,  // native buttons: no web content
};

// The plain values of a view's record: what other subsystems copy out of the registry.
struct ViewFacts {
  uint32_t view_id = 0;
  ViewKind kind = ViewKind::kWeb;
  int32_t width = 0, height = 0;
  int32_t x = 0, y = 0;
  int32_t z_order = 0;
  bool visible = false;
  // The view's surface (its shared texture, or its place in the windowed window) has been set up
  // by the create path; a view without one is (re)created by the next EnsureView.
  bool has_surface = false;
  // Frames per second the view asks for, 1 to 60.
  uint32_t frame_rate = 30;
  // The module that created the view (0: the overlay's own view) and the two relay flags the
  // overlay reads for it.
  uint32_t owner_module = 0;
  bool relay_flag_a = true;
  bool relay_flag_b = false;
};

struct ViewState : ViewFacts {
  std::u16string url;
  // The view's own window when it owns one (platforms with windows, outside windowed presentation).
  std::shared_ptr<platform::HostWindow> window;
  intptr_t view_window = 0;
};

// A view without a browser (a native button): its record's facts. The image it shows is filled by
// its maker once the view exists.
struct NativeViewRequest {
  uint32_t view_id = 0;
  int32_t x = 0, y = 0, width = 1, height = 1;
  int32_t z_order = 0;
  bool visible = false;
};

// The record of a native view as `request` gives it.
inline void MakeNativeRecord(ViewState& view, const NativeViewRequest& request) {
  view.view_id = request.view_id;
  view.kind = ViewKind::kNative;
  view.width = request.width;
  view.height = request.height;
  view.visible = request.visible;
  view.x = request.x;
  view.y = request.y;
  view.z_order = request.z_order;
  view.has_surface = true;
}

}  // namespace vyo::host
