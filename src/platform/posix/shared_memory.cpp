#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/names.h"
#include "platform/posix/owner_record.h"

namespace vyo::platform {
namespace {

std::string ShmName(const std::u16string& name) { return "/vyo." + posix::ObjectName(name); }

}  // namespace

SharedMemory::~SharedMemory() {
  if (data_ != nullptr) munmap(data_, size_);
  if (handle_ >= 0) close(static_cast<int>(handle_));
  if (owner_ && !unlink_name_.empty()) shm_unlink(unlink_name_.c_str());
  posix::UnlistOwnedName(owner_slot_);  // after the unlink: a listed name may already be gone, never the reverse
}

std::unique_ptr<SharedMemory> SharedMemory::OpenExisting(const std::u16string& name, size_t size,
                                                         MapAccess access) {
  if (name.empty() || size == 0) return nullptr;
  const std::string shm = ShmName(name);
  const int flags = access == MapAccess::kRead ? O_RDONLY : O_RDWR;
  const int fd = shm_open(shm.c_str(), flags | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  std::unique_ptr<SharedMemory> mem(new SharedMemory());
  mem->handle_ = fd;
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<uint64_t>(st.st_size) < size) return nullptr;
  const int prot = access == MapAccess::kRead ? PROT_READ : PROT_READ | PROT_WRITE;
  void* p = mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  mem->data_ = static_cast<uint8_t*>(p);
  mem->size_ = size;
  return mem;
}

std::unique_ptr<SharedMemory> SharedMemory::Create(const std::u16string& name, size_t size) {
  if (name.empty() || size == 0) return nullptr;
  const std::string shm = ShmName(name);
  shm_unlink(shm.c_str());  // a stale object of a dead process must not be reused
  const int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::unique_ptr<SharedMemory> mem(new SharedMemory());
  mem->handle_ = fd;
  mem->owner_ = true;
  mem->unlink_name_ = shm;
  // Listed in this process's owner record, so that its name is removed after an abnormal end.
  mem->owner_slot_ = posix::ListOwnedName(shm.c_str());
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) return nullptr;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  mem->data_ = static_cast<uint8_t*>(p);
  mem->size_ = size;
  return mem;
}

}  // namespace vyo::platform
