// What the watchdog reads of this host: the heartbeat's atomics, the input drain's own count and
// read index (never the ring's read index, which the overlay can write), the ring's write index, the pipe writer's in-flight write and the parent process. It holds the
// ring's mapping and the parent watch itself, so that a shutdown that releases them never leaves
// the watchdog's thread reading freed memory.
#pragma once
#include <memory>

#include "overlay_channel/overlay_channel.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "shared_channels/channels.h"
#include "watchdog/watchdog.h"

namespace vyo::host {

class HostWatchdogSource final : public watchdog::WatchdogSource {
 public:
  HostWatchdogSource(const Heartbeat& heartbeat, std::shared_ptr<platform::SharedMemory> input_ring,
                     const OverlayChannel& overlay, std::shared_ptr<platform::ProcessWatch> parent, uint32_t parent_pid);

  int32_t Stage() override { return heartbeat_.stage(); }
  uint32_t StageTick() override { return static_cast<uint32_t>(heartbeat_.stage_tick()); }
  int32_t Detail() override { return heartbeat_.detail(); }
  int32_t FrameCounter() override { return heartbeat_.frame_counter(); }
  uint32_t InputDrained() override { return heartbeat_.input_progress().drained(); }
  int32_t InputPending() override;
  bool PipeWriting() override;
  uint32_t PipeWriteStartTick() override;
  bool ParentWatched() override { return parent_ != nullptr; }
  bool ParentExited() override { return parent_ != nullptr && parent_->HasExited(); }
  uint32_t ParentPid() override { return parent_pid_; }

 private:
  const Heartbeat& heartbeat_;
  std::shared_ptr<platform::SharedMemory> input_ring_;
  const OverlayChannel& overlay_;
  std::shared_ptr<platform::ProcessWatch> parent_;
  uint32_t parent_pid_;
};

}  // namespace vyo::host
