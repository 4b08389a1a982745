// The capture port of the DevTools backend: a view's visual source is the browser's screencast of
// its page (PNG frames, premultiplied colour in RGBA order; a frame goes back to the pool with its
// acknowledgement, and the browser keeps at most three unacknowledged), its window source is
// polling the page's screenshot (PNG, straight alpha).
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "capture/capture_port.h"
#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

struct CaptureOptions {
  // Fault injection for tests: visual sessions start but never deliver a frame, as a screencast
  // that stays silent would.
  bool silent_screencast = false;
};

std::unique_ptr<capture::ICapturePort> CreateCapturePort(Poster post_to_main, WebViewLookup views,
                                                        CaptureOptions options = {});

// Decodes base64 text (the standard alphabet, '=' padding) into `out` (replaced). False on any
// character outside the alphabet or a bad length.
bool Base64Decode(std::string_view text, std::vector<uint8_t>* out);

// Finds a Page.screencastFrame event in one DevTools message without parsing its image: the
// flat-session id, the frame's acknowledgement id, the device size from its metadata and the
// base64 image text (a view into `message`), and the time the frame was drawn (seconds since the
// epoch; 0 when the metadata has none). False for any other message.
struct ScreencastFrameRef {
  std::string session;
  int64_t ack_id = 0;
  int32_t device_width = 0, device_height = 0;
  double timestamp = 0;
  std::string_view data;
};
bool FindScreencastFrame(std::string_view message, ScreencastFrameRef* out);

}  // namespace vyo::web::cdp
