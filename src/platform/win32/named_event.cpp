// Named auto-reset events on Windows. The host opens the overlay's event with wait access only;
// the overlay (and the tests) create it.
#include "platform/named_event.h"

#include <windows.h>

#include <string>

#include "platform/win32/unique_handle.h"

namespace vyo::platform {
namespace {

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

class Win32NamedEvent final : public NamedEvent {
 public:
  explicit Win32NamedEvent(HANDLE handle) : handle_(handle) {}
  Win32NamedEvent(const Win32NamedEvent&) = delete;
  Win32NamedEvent& operator=(const Win32NamedEvent&) = delete;

  bool TryWait() override { return WaitForSingleObject(handle_.get(), 0) == WAIT_OBJECT_0; }
  bool Wait(uint32_t timeout_ms) override {
    return WaitForSingleObject(handle_.get(), timeout_ms) == WAIT_OBJECT_0;
  }
  // Fails quietly on an event opened with wait access only.
  void Signal() override { SetEvent(handle_.get()); }
  intptr_t NativeHandle() const override { return reinterpret_cast<intptr_t>(handle_.get()); }

 private:
  UniqueHandle handle_;
};

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Open(const std::u16string& name) {
  HANDLE handle = OpenEventW(SYNCHRONIZE, FALSE, Wide(name).c_str());
  if (!handle) return nullptr;
  return std::make_unique<Win32NamedEvent>(handle);
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::u16string& name) {
  HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, Wide(name).c_str());
  if (!handle) return nullptr;
  // An event of this name that is still open elsewhere is taken over; it starts unsignalled like a
  // new one would.
  if (GetLastError() == ERROR_ALREADY_EXISTS) ResetEvent(handle);
  return std::make_unique<Win32NamedEvent>(handle);
}

}  // namespace vyo::platform
