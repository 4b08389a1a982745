// Named shared memory. The overlay creates the input ring and the beat map and the host opens them;
// the host creates per-view blocks and the reference overlay opens those.
// Windows: file mappings. Linux: POSIX shared memory objects "/vyo.NAME" ('\' and '/' become '_').
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vyo::platform {

enum class MapAccess { kRead, kWrite, kAll };

class SharedMemory {
 public:
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Opens an existing object and maps its first `size` bytes. Null when it does not exist or is
  // smaller than `size`.
  static std::unique_ptr<SharedMemory> OpenExisting(const std::u16string& name, size_t size,
                                                    MapAccess access);
  // Creates a new zero-filled object of `size` bytes, mapped for reading and writing. An object of
  // the same name that is still around is replaced. The creator removes the name when it releases
  // the object (Linux); on Windows the name lives while any handle is open. On Linux the name is
  // also listed in this process's owner record (platform/shared_memory_owner.h).
  static std::unique_ptr<SharedMemory> Create(const std::u16string& name, size_t size);

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  SharedMemory() = default;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  intptr_t handle_ = -1;
  bool owner_ = false;
  std::string unlink_name_;
  int owner_slot_ = -1;  // Linux: its slot in the owner record (platform/shared_memory_owner.h)
};

}  // namespace vyo::platform
