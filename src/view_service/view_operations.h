// The view operations modules and the popup manager both use (through IModuleServices and
// IWebPopupHost). They may be called from any thread; every one that touches views or sends runs on
// the main thread, posted there in order when called elsewhere.
#pragma once
#include <cstdint>

namespace vyo::host {

class IViewOperations {
 public:
  virtual ~IViewOperations() = default;
  // A web view of `owner_module` (0: none) at (x, y), width x height, showing `url`. The overlay is
  // told ViewCreated first; false when it cannot be told.
  virtual bool CreateView(uint32_t view_id, uint32_t owner_module, const char16_t* url, int32_t x, int32_t y,
                          int32_t width, int32_t height, bool visible) = 0;
  virtual void SetViewRect(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height) = 0;
  virtual void ShowView(uint32_t view_id, bool visible) = 0;
  virtual void SetViewZOrder(uint32_t view_id, int32_t z) = 0;
  virtual void SetViewFrameRate(uint32_t view_id, int32_t fps) = 0;
  virtual void SetViewBackgroundColor(uint32_t view_id, uint32_t argb) = 0;
  virtual void SetRelayFlagA(uint32_t view_id, bool on) = 0;
  virtual void SetRelayFlagB(uint32_t view_id, bool on) = 0;
  virtual void SetViewHitTest(uint32_t view_id, int32_t mode, int32_t alpha_threshold) = 0;
  // Null texts count as empty.
  virtual void NavigateView(uint32_t view_id, const char16_t* url) = 0;
  virtual uint64_t Now() = 0;
};

}  // namespace vyo::host
