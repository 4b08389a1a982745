// What the capture service asks of the rest of the host: what a view shows now. The application
// implements it over the web view manager.
#pragma once
#include <cstdint>

namespace vyo::capture {

struct ViewContent {
  // The view's current web content, as an identity only (null: none). Content that changes (made
  // again after a failure, say) starts the view's capture anew.
  const void* content = nullptr;
  // The web content failed for good: nothing to capture.
  bool failed = false;
  double zoom = 1.0;
};

class ICaptureDelegate {
 public:
  virtual ~ICaptureDelegate() = default;
  virtual ViewContent ContentOf(uint32_t view_id) = 0;
};

}  // namespace vyo::capture
