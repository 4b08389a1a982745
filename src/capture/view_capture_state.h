// The per-view fields of frame capture, copying and hit testing (a part of ViewState). Frame
// capture fills them in; until it runs, they hold the overlay's and modules' requests.
#pragma once
#include <cstdint>

namespace vyo::host {

struct ViewCaptureState {
  // Hit testing: on when the mode is 1; alpha threshold 1 to 255.
  bool hit_test = false;
  int32_t hit_alpha_threshold = 32;
  // Frame analysis work is in flight: the paced wait is cut into short slices.
  bool analysis_in_flight = false;
  // Frame copying modes that take whole frames whatever the page reports (set by the overlay's
  // commands and the frame copy).
  bool full_frame_mode = false;
  bool live_mode = false;
  uint32_t full_until = 0;  // tick until which whole frames are copied; 0 = none
  bool full_refresh = false;
  bool hit_mask_ready = false;

  // Whole frames are copied anyway: the page's own dirty reports are ignored.
  bool TakesWholeFrames() const {
    return full_frame_mode || live_mode || full_until != 0 || full_refresh || hit_mask_ready;
  }
};

}  // namespace vyo::host
