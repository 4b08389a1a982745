// A view's visual capture source in the DevTools backend: the page's screencast. Frames reach the
// session through the browser's screencast taps on the reader thread; each goes back to the
// browser's pool with its acknowledgement, sent on the main thread when the host releases it.
#pragma once
#include <cstdint>

#include "capture/capture_port.h"
#include "renderers/cdp/cdp_link.h"

namespace vyo::web::cdp {

class ScreencastSession final : public capture::ICaptureSession {
 public:
  ScreencastSession(ViewLink link, int32_t width, int32_t height);
  ~ScreencastSession() override;
  ScreencastSession(const ScreencastSession&) = delete;
  ScreencastSession& operator=(const ScreencastSession&) = delete;

  bool Start(capture::FrameCallback on_frame, capture::EndCallback on_end, bool silent);

  capture::CaptureSource source() const override;
  // A pointer move to the middle of the page makes it draw again.
  void Kick() override;

 private:
  ViewLink link_;
  int32_t width_, height_;
};

}  // namespace vyo::web::cdp
