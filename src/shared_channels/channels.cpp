#include "shared_channels/channels.h"

#include <cstring>
#include <type_traits>

#include "platform/fault_guard.h"

namespace vyo::host {
namespace {

// Runs `step` over memory that the overlay maps and may shrink under the host (on Linux, reading
// past the end of a truncated object raises SIGBUS): a fault comes back as false instead of ending
// the host. The step only reads and writes the shared words; it calls out to nothing.
template <typename F>
bool Guarded(F&& step) {
  using Step = std::remove_reference_t<F>;
  return platform::GuardedCall([](void* context) { (*static_cast<Step*>(context))(); }, &step) == 0;
}

// The ring's index words are shared with the overlay's process: access them atomically.
std::atomic_ref<uint32_t> Word(uint8_t* memory, size_t offset) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(memory + offset));
}

}  // namespace

InputRing::InputRing(uint8_t* memory, InputProgress* progress) : memory_(memory), progress_(progress) {
  // Start where the overlay's view of the read index is, when it is a valid slot.
  if (memory_ != nullptr) {
    const uint32_t published = Word(memory_, 4).load();
    read_index_ = published < kInputSlots ? published : 0;
  }
  if (progress_ != nullptr) progress_->SetReadIndex(read_index_);
}

uint32_t InputRing::Drain(const std::function<void(const InputRecord&)>& handle, bool* more, bool* corrupt) {
  *more = false;
  *corrupt = false;
  if (memory_ == nullptr) return 0;
  uint32_t taken = 0;
  InputRecord record;
  for (;;) {
    enum class Next { kRecord, kEmpty, kMore, kCorrupt } next = Next::kEmpty;
    const bool readable = Guarded([&] {
      const uint32_t write_index = Word(memory_, 0).load(std::memory_order_acquire);
      if (write_index >= kInputSlots) {
        next = Next::kCorrupt;
      } else if (write_index == read_index_) {
        next = Next::kEmpty;
      } else if (taken == kInputSlots) {
        next = Next::kMore;  // bounded: the rest waits for the next pass
      } else {
        std::memcpy(record.data(), memory_ + 8 + static_cast<size_t>(read_index_) * kInputRecordSize,
                    kInputRecordSize);
        Word(memory_, 4).exchange((read_index_ + 1) % kInputSlots, std::memory_order_acq_rel);
        next = Next::kRecord;
      }
    });
    if (!readable) {
      // The ring can no longer be read (its object was shrunk under the mapping): it is given up.
      memory_ = nullptr;
      lost_ = true;
      *corrupt = true;
      return taken;
    }
    switch (next) {
      case Next::kCorrupt: *corrupt = true; return taken;
      case Next::kEmpty: return taken;
      case Next::kMore: *more = true; return taken;
      case Next::kRecord: break;
    }
    read_index_ = (read_index_ + 1) % kInputSlots;
    if (progress_ != nullptr) progress_->Took(read_index_);
    ++taken;
    handle(record);
  }
}

int32_t InputRing::PendingCount() const {
  if (memory_ == nullptr) return 0;
  uint32_t write_index = kInputSlots;
  if (!Guarded([&] { write_index = Word(memory_, 0).load(std::memory_order_acquire); })) return 0;
  if (write_index >= kInputSlots) return 0;
  return static_cast<int32_t>((write_index - read_index_ + kInputSlots) % kInputSlots);
}

void Heartbeat::PublishStage(Stage stage, int32_t detail) {
  const uint32_t now = clock_.TickMs();
  stage_.store(static_cast<int32_t>(stage));
  detail_.store(detail);
  stage_tick_.store(static_cast<int32_t>(now));
  if (beat_map_ != nullptr && !Guarded([&] {
        Word(beat_map_, 8).store(static_cast<uint32_t>(stage), std::memory_order_relaxed);
        Word(beat_map_, 20).store(static_cast<uint32_t>(detail), std::memory_order_relaxed);
        Word(beat_map_, 16).store(now, std::memory_order_relaxed);
        Word(beat_map_, 12).fetch_add(1, std::memory_order_release);
      })) {
    beat_map_ = nullptr;  // shrunk under the mapping: the heartbeat stays in process
  }
}

void Heartbeat::PublishFrameTick() {
  const uint32_t now = clock_.TickMs();
  last_frame_tick_.store(static_cast<int32_t>(now));
  frame_counter_.fetch_add(1);
  if (beat_map_ != nullptr && !Guarded([&] {
        Word(beat_map_, 4).store(now, std::memory_order_relaxed);
        Word(beat_map_, 0).fetch_add(1, std::memory_order_release);
      })) {
    beat_map_ = nullptr;
  }
}

}  // namespace vyo::host
