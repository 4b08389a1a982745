// The layouts of the shared-memory blocks the overlay creates and the host opens: the input ring
// (1024 slots of 304-byte input records after two u32 indices) and the beat map (the host's
// heartbeat, six u32 fields), with the main-loop stages the heartbeat names.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace vyo::host {

constexpr uint32_t kInputSlots = 1024;
constexpr uint32_t kInputRecordSize = 304;
constexpr size_t kInputRingSize = 8 + static_cast<size_t>(kInputSlots) * kInputRecordSize;  // 311,304
constexpr size_t kBeatMapSize = 24;

using InputRecord = std::array<uint8_t, kInputRecordSize>;

// Main-loop stages published in the heartbeat.
enum class Stage : int32_t {
  kInit = 0,
  kPumpMessages = 1,
  kPumpPipe = 2,
  kPumpInput = 3,
  kModuleTick = 4,
  kPumpFrames = 5,
  kWaitFrame = 6,
};

// "init", "pump_messages", ... for stages 0 to 6; "unknown" otherwise.
const char* StageName(int32_t stage);

}  // namespace vyo::host
