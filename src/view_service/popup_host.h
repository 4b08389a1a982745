// What the host offers the popup manager: the view operations, quiet forms that do not tell the
// overlay, the popup state message and a few facts. Operations may be called from
// any thread; every one that touches views or sends runs on the main thread (posted there, in
// order, when called elsewhere).
#pragma once
#include <cstdint>
#include <string>

#include "protocol/protocol.h"
#include "view_service/view_operations.h"

namespace vyo::host {

class IWebPopupHost : public IViewOperations {
 public:
  virtual void DestroyViewNotifyAll(uint32_t view_id, uint32_t owner_module) = 0;
  virtual void DestroyViewNotifyOverlay(uint32_t view_id, uint32_t owner_module) = 0;
  virtual void ShowViewQuietly(uint32_t view_id, bool visible) = 0;
  virtual void SendPopupState(const PopupStateMsg& state) = 0;
  virtual bool IsWindowed() = 0;
  virtual void LogView(uint32_t view_id, const char* text) = 0;
};

}  // namespace vyo::host
