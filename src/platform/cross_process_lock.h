// A lock shared by every host process on the machine, guarding one file. Windows: the named mutex
// "Local\NAME" (an abandoned mutex counts as acquired). Linux: flock on the file NAME.lock beside the
// guarded file (the kernel releases it when its holder dies).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace vyo::platform {

class CrossProcessLock {
 public:
  virtual ~CrossProcessLock() = default;  // releases the lock
  // Waits up to `timeout_ms`; null when the lock could not be had in time.
  static std::unique_ptr<CrossProcessLock> Acquire(const std::u16string& name, const std::u16string& beside_dir,
                                                   uint32_t timeout_ms);
};

// The machine's identity: MachineGuid on Windows, /etc/machine-id on Linux; empty when unknown.
std::string MachineId();

}  // namespace vyo::platform
