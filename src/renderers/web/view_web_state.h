// The per-view fields of the web runtime, kept by the web view manager: the view's web view and its
// event sink, controller requests, configuration flags and mounted content.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "renderers/web/mounted_content.h"
#include "renderers/web/web_runtime.h"

namespace vyo::web {

struct ViewWebState {
  // The view's controller and web view; null while the view has no web content.
  std::shared_ptr<IWebView> webview;
  // Forwards the web view's events to the host with this view's id.
  std::shared_ptr<IWebViewEvents> event_sink;
  // Controller requests: one outstanding (`creating`), counted by epoch; answers of an older
  // epoch are stale. `retry_left` attempts remain (0 = given up).
  bool creating = false;
  int32_t creation_epoch = 0;
  int32_t retry_left = 8;
  uint32_t last_failure_tick = 0;
  // Web content failed for good (controller creation gave up, browser process failed, content
  // navigation failed).
  bool web_failed = false;
  double zoom_factor = 1.0;
  // Event handlers added to the web view (bit per WebEvent) and whether the page scripts were.
  uint32_t registered_events = 0;
  bool scripts_added = false;
  // Mounted content: the mount, the view's origin while it shows mounted content, the filter.
  MountedState content;
  // Start tick of the current navigation (telemetry of its completion).
  uint32_t nav_start_tick = 0;
  // 0xAARRGGBB background of the web view.
  uint32_t background_color = 0;
};

}  // namespace vyo::web
