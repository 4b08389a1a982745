// Named shared memory on Windows: pagefile-backed file mappings.
#include "platform/shared_memory.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace vyo::platform {
namespace {

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

DWORD MapAccessFlags(MapAccess access) {
  switch (access) {
    case MapAccess::kRead:
      return FILE_MAP_READ;
    case MapAccess::kWrite:
      return FILE_MAP_WRITE;
    case MapAccess::kAll:
      return FILE_MAP_ALL_ACCESS;
  }
  return FILE_MAP_READ;
}

// True when the view at `view` covers at least `size` bytes. Sections are sized in whole pages
// (the size asked for is rounded up), and the system refuses a view that reaches past a section's
// last page; this checks the view that was actually made.
bool ViewCovers(const void* view, size_t size) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(view, &info, sizeof(info)) != sizeof(info)) return false;
  return info.RegionSize >= size;
}

}  // namespace

SharedMemory::~SharedMemory() {
  if (data_) UnmapViewOfFile(data_);
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::unique_ptr<SharedMemory> SharedMemory::OpenExisting(const std::u16string& name, size_t size,
                                                         MapAccess access) {
  if (size == 0) return nullptr;
  const DWORD flags = MapAccessFlags(access);
  HANDLE mapping = OpenFileMappingW(flags, FALSE, Wide(name).c_str());
  if (!mapping) return nullptr;
  std::unique_ptr<SharedMemory> memory(new SharedMemory());
  memory->handle_ = reinterpret_cast<intptr_t>(mapping);
  // A section smaller than `size` (to the page) cannot be mapped that far, so this fails.
  void* view = MapViewOfFile(mapping, flags, 0, 0, size);
  if (!view) return nullptr;
  memory->data_ = static_cast<uint8_t*>(view);
  if (!ViewCovers(view, size)) return nullptr;
  memory->size_ = size;
  return memory;
}

std::unique_ptr<SharedMemory> SharedMemory::Create(const std::u16string& name, size_t size) {
  if (size == 0) return nullptr;
  const uint64_t size64 = size;
  HANDLE mapping =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                         static_cast<DWORD>(size64 >> 32), static_cast<DWORD>(size64 & 0xFFFFFFFFu),
                         Wide(name).c_str());
  if (!mapping) return nullptr;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  std::unique_ptr<SharedMemory> memory(new SharedMemory());
  memory->handle_ = reinterpret_cast<intptr_t>(mapping);
  memory->owner_ = true;
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (!view) return nullptr;
  memory->data_ = static_cast<uint8_t*>(view);
  if (!ViewCovers(view, size)) return nullptr;
  memory->size_ = size;
  // A section of this name still held open elsewhere cannot be replaced on Windows; it is taken
  // over and cleared so the creator always starts from zeros.
  if (existed) std::memset(view, 0, size);
  return memory;
}

}  // namespace vyo::platform
