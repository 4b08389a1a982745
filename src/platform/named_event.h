// A named auto-reset event: the overlay signals it after adding input, the host waits on it with a
// zero time-out. Windows: an event object. Linux: the POSIX named semaphore "/vyo.ev.NAME"; the
// zero-time-out wait drains the whole count, so many signals read as one.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace vyo::platform {

class NamedEvent {
 public:
  virtual ~NamedEvent() = default;
  // Opens an existing event with wait access only. Null when it does not exist.
  static std::unique_ptr<NamedEvent> Open(const std::u16string& name);
  // Creates the event (the overlay's side). An existing one of the same name is replaced.
  static std::unique_ptr<NamedEvent> Create(const std::u16string& name);

  // Zero-time-out wait: true when the event was signalled (and resets it).
  virtual bool TryWait() = 0;
  // Waits up to `timeout_ms`; true when signalled.
  virtual bool Wait(uint32_t timeout_ms) = 0;
  virtual void Signal() = 0;
  virtual intptr_t NativeHandle() const = 0;
};

}  // namespace vyo::platform
