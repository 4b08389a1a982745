// SharedChannels: the shared-memory channels the overlay created, as the host uses them: the input
// ring and its event (drained into an input sink), and the beat map the heartbeat publishes to.
// Main thread only, except the heartbeat's readers.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "platform/main_wait.h"
#include "platform/named_event.h"
#include "platform/shared_memory.h"
#include "shared_channels/channels.h"

namespace vyo::host {

// Receives each input record taken from the ring (the input subsystem), and the end of each
// drain pass (a pass takes at most 1024 records).
class IInputSink {
 public:
  virtual ~IInputSink() = default;
  virtual void OnInputRecord(const InputRecord& record) = 0;
  virtual void OnDrainEnd() = 0;
};

class SharedChannels {
 public:
  // `input_sink` receives the input ring's records on the main thread.
  SharedChannels(platform::Clock& clock, OverlayChannel& overlay, IInputSink& input_sink);
  ~SharedChannels();

  // Start-up: the input ring and its event must exist (false otherwise); the input event then
  // wakes `wait`.
  bool OpenInput(const std::u16string& ring_name, const std::u16string& event_name, platform::MainThreadWait& wait);
  // The beat map is optional: without it the heartbeat stays in the process.
  void OpenBeatMap(const std::u16string& name);
  // Shutdown: `wait` (when given) stops watching the event, then everything is unmapped.
  void Close(platform::MainThreadWait* wait);

  // The main loop's input stage: drains when the event was signalled or a drain was cut short.
  void PumpInput(bool signalled);
  void DrainInputEvents();
  bool drain_pending() const { return drain_pending_; }
  bool input_open() const { return input_ring_.mapped() && input_event_ != nullptr; }

  Heartbeat& heartbeat() { return heartbeat_; }
  // The input ring's mapping, shared with readers that may outlive Close (the watchdog).
  std::shared_ptr<platform::SharedMemory> input_map() const { return input_map_; }
  InputRing& input_ring() { return input_ring_; }


 private:
  OverlayChannel& overlay_;
  std::shared_ptr<platform::SharedMemory> input_map_;
  std::unique_ptr<platform::NamedEvent> input_event_;
  std::unique_ptr<platform::SharedMemory> beat_map_;
  InputRing input_ring_{nullptr};
  Heartbeat heartbeat_;
  IInputSink& input_sink_;
  bool drain_pending_ = false;
  bool ring_corrupt_logged_ = false;
};

}  // namespace vyo::host
