// What the host offers plug-in modules (through the module host): the view operations, removal,
// messages to the overlay and pages, and a few facts. Operations may be called from any thread;
// every one that touches views or sends runs on the main thread (posted there, in order, when
// called elsewhere).
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "view_service/view_operations.h"

namespace vyo::host {

class IModuleServices : public IViewOperations {
 public:
  virtual void RemoveView(uint32_t view_id) = 0;
  // A null text counts as empty.
  virtual void PostWebMessageToView(uint32_t view_id, const char* utf8_json) = 0;
  virtual bool GetSurfaceSize(uint32_t* width, uint32_t* height) = 0;
  virtual bool SendRawMessage(uint32_t type, const uint8_t* bytes, uint32_t length) = 0;
  virtual void ModuleLog(int32_t level, const char* text) = 0;
  virtual uint32_t GetParentProcessId() = 0;
  virtual void GetHostDirectory(std::u16string* out) = 0;

  // Runs `work` on the main thread: now when called there, otherwise posted, in order with the
  // caller's other work. False when it could not be posted (the host is shutting down).
  virtual bool RunOnMainThread(std::function<void()> work) = 0;
  // Places in the overlay's send queue held (any thread) for frames that posted work will send, so
  // that a frame that must not be dropped is refused at the call instead. False when there is no
  // room. Work releases its places once it has sent.
  virtual bool ReserveOverlayFrames(uint32_t count) = 0;
  virtual void ReleaseOverlayFrames(uint32_t count) = 0;
  // Main thread: sends a frame whose place is reserved, with no room check beyond the queue's own.
  // False when the channel cannot send.
  virtual bool SendReservedMessage(uint32_t type, const uint8_t* bytes, uint32_t length) = 0;
};

}  // namespace vyo::host
