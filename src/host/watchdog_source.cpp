#include "host/watchdog_source.h"

#include <atomic>

#include "protocol/shared_memory_layout.h"

namespace vyo::host {
namespace {

uint32_t LoadWord(const std::shared_ptr<platform::SharedMemory>& map, size_t offset) {
  if (!map) return 0;
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(map->data() + offset)).load(std::memory_order_acquire);
}

}  // namespace

HostWatchdogSource::HostWatchdogSource(const Heartbeat& heartbeat, std::shared_ptr<platform::SharedMemory> input_ring,
                                       const OverlayChannel& overlay, std::shared_ptr<platform::ProcessWatch> parent,
                                       uint32_t parent_pid)
    : heartbeat_(heartbeat),
      input_ring_(std::move(input_ring)),
      overlay_(overlay),
      parent_(std::move(parent)),
      parent_pid_(parent_pid) {}

// Records written and not yet taken: the overlay's write index against the host's own read index.
int32_t HostWatchdogSource::InputPending() {
  if (!input_ring_) return 0;
  const uint32_t write = LoadWord(input_ring_, 0);
  const uint32_t read = heartbeat_.input_progress().read_index();
  if (write >= kInputSlots || read >= kInputSlots) return 0;
  return static_cast<int32_t>((write - read + kInputSlots) % kInputSlots);
}

bool HostWatchdogSource::PipeWriting() {
  const PipeWriter* writer = overlay_.writer();
  return writer != nullptr && writer->writing();
}

uint32_t HostWatchdogSource::PipeWriteStartTick() {
  const PipeWriter* writer = overlay_.writer();
  return writer != nullptr ? writer->write_start_tick() : 0;
}

}  // namespace vyo::host
