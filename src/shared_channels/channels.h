// The host's side of the shared-memory channels: reading the input ring and publishing the
// heartbeat (layouts in protocol/shared_memory_layout.h).
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/clock.h"
#include "protocol/shared_memory_layout.h"

namespace vyo::host {

// What the host itself knows of its input drain, for readers on other threads (the watchdog): the
// records it has taken since start and its own read index. Neither is read back from the shared
// memory, which the overlay can write: a read index the overlay rewrites can neither fake nor hide
// progress.
class InputProgress {
 public:
  void Took(uint32_t read_index) {
    read_index_.store(read_index, std::memory_order_relaxed);
    drained_.fetch_add(1, std::memory_order_release);
  }
  void SetReadIndex(uint32_t read_index) { read_index_.store(read_index, std::memory_order_relaxed); }
  // Records taken since start (wraps at 2^32; readers only compare samples).
  uint32_t drained() const { return drained_.load(std::memory_order_acquire); }
  uint32_t read_index() const { return read_index_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> drained_{0};
  std::atomic<uint32_t> read_index_{0};
};

// The host's side of the input ring. The overlay writes the records and the write index; the host
// owns the read index. The host keeps its own copy of the read index and only publishes it, so a
// read index changed by the overlay cannot steer the host.
class InputRing {
 public:
  // `memory` is the mapped ring of kInputRingSize bytes, or null (no ring). `progress`, when given,
  // counts each record taken and follows the host's read index.
  explicit InputRing(uint8_t* memory, InputProgress* progress = nullptr);

  // Takes at most 1024 records from the read index up to the write index, publishing the new read
  // index after copying each record and before handing it over. Returns the number taken; sets
  // *more when records were left for the next pass. A write index of 1024 or more ends the drain
  // and sets *corrupt, as does a ring that faults on access (then given up for good: lost()).
  uint32_t Drain(const std::function<void(const InputRecord&)>& handle, bool* more, bool* corrupt);

  // Records waiting: (write − read + 1024) mod 1024; 0 without a ring or with a corrupt index.
  int32_t PendingCount() const;
  uint32_t read_index() const { return read_index_; }
  bool mapped() const { return memory_ != nullptr; }
  // The ring faulted on access (its object was shrunk under the mapping) and was given up.
  bool lost() const { return lost_; }

 private:
  uint8_t* memory_;
  InputProgress* progress_;
  uint32_t read_index_ = 0;
  bool lost_ = false;
};

// The heartbeat: in-process atomic copies that a watchdog thread can read, and the beat map.
class Heartbeat {
 public:
  explicit Heartbeat(platform::Clock& clock) : clock_(clock) {}
  // `beat_map` is the mapped 24-byte block, or null (heartbeat in process only).
  void AttachBeatMap(uint8_t* beat_map) { beat_map_ = beat_map; }

  void PublishStage(Stage stage, int32_t detail);
  void PublishFrameTick();

  int32_t stage() const { return stage_.load(); }
  int32_t stage_tick() const { return stage_tick_.load(); }
  int32_t detail() const { return detail_.load(); }
  int32_t frame_counter() const { return frame_counter_.load(); }
  int32_t last_frame_tick() const { return last_frame_tick_.load(); }
  // The input drain's own progress (the ring counts into it).
  InputProgress& input_progress() { return input_progress_; }
  const InputProgress& input_progress() const { return input_progress_; }

 private:
  platform::Clock& clock_;
  uint8_t* beat_map_ = nullptr;
  std::atomic<int32_t> stage_{0};
  std::atomic<int32_t> stage_tick_{0};
  std::atomic<int32_t> detail_{0};
  std::atomic<int32_t> frame_counter_{0};
  std::atomic<int32_t> last_frame_tick_{0};
  InputProgress input_progress_;
};

}  // namespace vyo::host
