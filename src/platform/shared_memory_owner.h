// What a process that ended abnormally (a crash, the watchdog, SIGKILL) leaves in shared memory,
// and how the next host removes it. Linux only in effect: there, shared memory objects outlive
// their creator until their name is removed; on Windows a mapping goes with its last handle, so
// the calls below have nothing to do.
//
// Every process that creates shared memory (SharedMemory::Create) keeps an owner record, the
// object "/vyo.host.<pid>": its pid, its start time and a fixed table of the names it created and
// still holds. Textures also carry their owner in their name: the high 32 bits of the handle in
// "/vyo.tex.<16 hex>" are the creator's pid. A host sweeps at start-up: the objects of owners that
// have ended go, with their records. A process that ends abnormally removes its own names first
// where it can (the crash path, the watchdog's end), which the sweep then finds done.
#pragma once
#include <cstdint>
#include <string_view>

namespace vyo::platform {

struct SweepCounts {
  uint32_t owners = 0;   // owner records of ended processes removed
  uint32_t objects = 0;  // objects removed (listed names and textures)
};

// Start-up: removes the objects and owner records of processes that have ended. Never touches
// this process's objects or those of a live owner.
SweepCounts SweepSharedMemoryOfEndedProcesses();

// Async-signal-safe: removes the name of every object this process created and still holds, and
// its owner record. For paths that end the process right after (crash, watchdog); the mappings
// stay valid until then.
void UnlinkOwnedSharedMemory();

// A texture handle this process hands out: `pid` in the high 32 bits, `low` (never 0) below.
constexpr uint64_t TextureHandleFor(uint32_t pid, uint32_t low) {
  return (uint64_t{pid} << 32) | low;
}
constexpr uint32_t TextureHandleOwner(uint64_t handle) {
  return static_cast<uint32_t>(handle >> 32);
}

// The sweep's decisions, exposed for tests.
// What is known of an owner: whether a process with its pid exists, the start time its record holds
// and the start time of the process that now has the pid (0 where unknown).
struct OwnerFacts {
  bool process_exists = false;
  uint64_t recorded_start = 0;
  uint64_t current_start = 0;
};
// Ended: no such process, or one that started at another time (the pid was reused).
inline bool OwnerHasEnded(const OwnerFacts& facts) {
  if (!facts.process_exists) return true;
  return facts.recorded_start != 0 && facts.current_start != 0 && facts.recorded_start != facts.current_start;
}

enum class OwnedObjectKind { kOther, kOwnerRecord, kTexture };
struct OwnedObject {
  OwnedObjectKind kind = OwnedObjectKind::kOther;
  uint32_t pid = 0;
};
// An entry of the shared-memory folder: "vyo.host.<pid>" (an owner record), "vyo.tex.<16 hex>" (a
// texture, owned by the pid in its high 32 bits) or anything else.
inline OwnedObject ClassifySharedMemoryEntry(std::string_view file_name) {
  constexpr std::string_view kRecord = "vyo.host.";
  constexpr std::string_view kTexture = "vyo.tex.";
  OwnedObject out;
  if (file_name.substr(0, kRecord.size()) == kRecord) {
    const std::string_view digits = file_name.substr(kRecord.size());
    if (digits.empty() || digits.size() > 10) return out;
    uint64_t pid = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return out;
      pid = pid * 10 + static_cast<uint64_t>(c - '0');
    }
    if (pid == 0 || pid > 0xFFFFFFFFu) return out;
    out.kind = OwnedObjectKind::kOwnerRecord;
    out.pid = static_cast<uint32_t>(pid);
  } else if (file_name.substr(0, kTexture.size()) == kTexture) {
    const std::string_view hex = file_name.substr(kTexture.size());
    if (hex.size() != 16) return out;
    uint64_t handle = 0;
    for (char c : hex) {
      const int v = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (v < 0) return out;
      handle = handle << 4 | static_cast<uint64_t>(v);
    }
    if (TextureHandleOwner(handle) == 0) return out;
    out.kind = OwnedObjectKind::kTexture;
    out.pid = TextureHandleOwner(handle);
  }
  return out;
}

}  // namespace vyo::platform
