// A view's window capture source in the DevTools backend: screenshots of the page, one at a time,
// at most one per interval. A small timer thread only posts the next request to the main thread.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/capture_port.h"
#include "renderers/cdp/cdp_link.h"

namespace vyo::web::cdp {

class ScreenshotSession final : public capture::ICaptureSession {
 public:
  ScreenshotSession(ViewLink link, uint32_t interval_ms);
  ~ScreenshotSession() override;
  ScreenshotSession(const ScreenshotSession&) = delete;
  ScreenshotSession& operator=(const ScreenshotSession&) = delete;

  bool Start(capture::FrameCallback on_frame, capture::EndCallback on_end);

  capture::CaptureSource source() const override;
  void Kick() override;

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    // Main thread.
    bool in_flight = false;  // a screenshot was asked for, or is held by the host
    capture::FrameCallback on_frame;
    decltype(ViewLink::send) send;
  };

  static void Request(const std::shared_ptr<State>& state);

  ViewLink link_;
  uint32_t interval_ms_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread timer_;
};

}  // namespace vyo::web::cdp
