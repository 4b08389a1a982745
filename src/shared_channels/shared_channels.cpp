#include "shared_channels/shared_channels.h"

namespace vyo::host {

SharedChannels::SharedChannels(platform::Clock& clock, OverlayChannel& overlay, IInputSink& input_sink)
    : overlay_(overlay), heartbeat_(clock), input_sink_(input_sink) {}

SharedChannels::~SharedChannels() { Close(nullptr); }

bool SharedChannels::OpenInput(const std::u16string& ring_name, const std::u16string& event_name,
                               platform::MainThreadWait& wait) {
  input_map_ = platform::SharedMemory::OpenExisting(ring_name, kInputRingSize, platform::MapAccess::kAll);
  if (!input_map_) return false;
  input_event_ = platform::NamedEvent::Open(event_name);
  if (!input_event_) return false;
  input_ring_ = InputRing(input_map_->data(), &heartbeat_.input_progress());
  wait.WatchInputEvent(input_event_.get());
  return true;
}

void SharedChannels::OpenBeatMap(const std::u16string& name) {
  beat_map_ = platform::SharedMemory::OpenExisting(name, kBeatMapSize, platform::MapAccess::kWrite);
  heartbeat_.AttachBeatMap(beat_map_ ? beat_map_->data() : nullptr);
}

void SharedChannels::Close(platform::MainThreadWait* wait) {
  if (wait != nullptr) wait->WatchInputEvent(nullptr);
  heartbeat_.AttachBeatMap(nullptr);
  input_ring_ = InputRing(nullptr);
  input_map_.reset();
  input_event_.reset();
  beat_map_.reset();
}

void SharedChannels::PumpInput(bool signalled) {
  if (!input_open()) return;
  // A drain cut short goes on without waiting for another signal.
  if (signalled || drain_pending_) DrainInputEvents();
}

void SharedChannels::DrainInputEvents() {
  bool more = false;
  bool corrupt = false;
  input_ring_.Drain(
      [this](const InputRecord& record) {
        input_sink_.OnInputRecord(record);
      },
      &more, &corrupt);
  input_sink_.OnDrainEnd();
  drain_pending_ = more;
  if (corrupt && !ring_corrupt_logged_) {
    ring_corrupt_logged_ = true;
    overlay_.SendLog(input_ring_.lost() ? "input ring unreadable (its mapping shrank), input stopped"
                                        : "input ring write index out of range, drain stopped");
  }
}

}  // namespace vyo::host
