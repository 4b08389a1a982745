// The per-view record of the view registry. Subsystems add their own fields as they are built.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "content/mount.h"
#include "platform/system.h"
#include "renderers/web/page_messages.h"
#include "renderers/web/web_runtime.h"

namespace vyo::host {

class ViewEventSink;

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
  // The view's controller and web view; null while the view has no web content.
  std::shared_ptr<web::IWebView> webview;
  // Forwards the web view's events to the application with this view's id.
  std::shared_ptr<ViewEventSink> event_sink;
  // Controller requests: one outstanding (`creating`), counted by epoch; answers of an older
  // epoch are stale. `retry_left` attempts remain (0 = given up).
  bool creating = false;
  int32_t creation_epoch = 0;
  int32_t retry_left = 8;
  uint32_t last_failure_tick = 0;
  int32_t last_create_hr = 0;
  // Web content failed for good (controller creation gave up, browser process failed, content
  // navigation failed).
  bool web_failed = false;
  double zoom_factor = 1.0;
  // Event handlers added to the web view (bit per web::WebEvent) and whether the page scripts were.
  uint32_t registered_events = 0;
  bool scripts_added = false;
  // Mounted content: the mount, the view's origin while it shows mounted content, the filter.
  std::shared_ptr<content::Mount> mount = std::make_shared<content::Mount>();
  std::u16string origin;
  bool filter_added = false;
  // Capture expectation of the current navigation (start and completion ticks).
  uint32_t nav_start_tick = 0;
  uint32_t nav_complete_tick = 0;
  // Frames per second the view asks for, 1 to 60.
  uint32_t frame_rate = 30;
  // 0xAARRGGBB background of the web view.
  uint32_t background_color = 0;
  // Hit testing: on when mode is 1; alpha threshold 1 to 255.
  bool hit_test = false;
  int32_t hit_alpha_threshold = 32;
  // Frame analysis work is in flight: the paced wait is cut into short slices.
  bool analysis_in_flight = false;
  // Regions the page reported as changed ("vyo-dirty" messages); frame copying consumes them.
  web::DirtyState dirty;
  // Frame copying modes that take whole frames whatever the page reports (set by the overlay's
  // commands and the frame copy): page dirty reports are ignored while any is on.
  bool full_frame_mode = false;
  bool live_mode = false;
  uint32_t full_until = 0;  // tick until which whole frames are copied; 0 = none
  bool full_refresh = false;
  bool hit_mask_ready = false;
};

}  // namespace vyo::host
