#include "platform/system.h"

#include <atomic>
#include <cstring>

#include <unistd.h>

#include "platform/random.h"
#include "platform/shared_memory.h"
#include "platform/shared_memory_owner.h"
#include "protocol/texture_layout.h"

namespace vyo::platform {
namespace {

// A texture of the CPU device: a shared memory object with the texture header, then the rows.
class CpuTexture final : public SharedTexture {
 public:
  CpuTexture(std::unique_ptr<SharedMemory> memory, uint32_t width, uint32_t height, uint64_t handle)
      : memory_(std::move(memory)), width_(width), height_(height), handle_(handle) {}

  uint32_t Width() const override { return width_; }
  uint32_t Height() const override { return height_; }
  uint64_t SharedHandle() const override { return handle_; }
  bool AcquireSync(uint32_t key, uint32_t /*timeout_ms*/) override { return host::AcquireKey(memory_->data(), key); }
  void ReleaseSync(uint32_t key) override { host::ReleaseKey(memory_->data(), key); }

  uint8_t* MappedRows(size_t* stride) override {
    *stride = static_cast<size_t>(width_) * 4;
    return memory_->data() + host::kTextureHeaderSize;
  }
  bool CopyRegion(const uint8_t* bgra, size_t stride, int32_t x, int32_t y, int32_t w, int32_t h) override {
    if (bgra == nullptr || x < 0 || y < 0 || w <= 0 || h <= 0 || int64_t{x} + w > width_ ||
        int64_t{y} + h > height_ || stride < (static_cast<size_t>(x) + w) * 4) {
      return false;
    }
    const size_t pitch = static_cast<size_t>(width_) * 4;
    uint8_t* rows = memory_->data() + host::kTextureHeaderSize;
    const size_t bytes = static_cast<size_t>(w) * 4;
    for (int32_t row = y; row < y + h; ++row) {
      std::memcpy(rows + row * pitch + static_cast<size_t>(x) * 4, bgra + row * stride + static_cast<size_t>(x) * 4,
                  bytes);
    }
    return true;
  }

  bool Clear() override {
    std::memset(memory_->data() + host::kTextureHeaderSize, 0, static_cast<size_t>(width_) * height_ * 4);
    return true;
  }

  bool ReadBack(std::vector<uint8_t>* out) override {
    const uint8_t* rows = memory_->data() + host::kTextureHeaderSize;
    out->assign(rows, rows + static_cast<size_t>(width_) * height_ * 4);
    return true;
  }

 private:
  std::unique_ptr<SharedMemory> memory_;
  uint32_t width_, height_;
  uint64_t handle_;
};

// The CPU device: frames are copied by the CPU into textures that live in named shared memory.
class CpuDevice final : public GpuDevice {
 public:
  const char* Kind() const override { return "cpu"; }
  uint32_t FeatureLevel() const override { return 0; }

  std::unique_ptr<SharedTexture> CreateSharedTexture(uint32_t width, uint32_t height, bool shared) override {
    const size_t size = host::TextureObjectSize(width, height);
    if (size == 0) return nullptr;
    // The handle names its owner (this process's pid in the high 32 bits), so that a later host
    // can remove the texture once its owner has ended; the low 32 bits are random, so names stay
    // hard to guess and never collide with another host's.
    uint32_t low = 0;
    while (low == 0) {
      if (!RandomBytes(reinterpret_cast<uint8_t*>(&low), sizeof low)) return nullptr;
    }
    const uint64_t handle = TextureHandleFor(static_cast<uint32_t>(getpid()), low);
    std::unique_ptr<SharedMemory> memory = SharedMemory::Create(host::TextureObjectName(handle), size);
    if (!memory) return nullptr;
    host::WriteTextureHeader(memory->data(), width, height);
    return std::make_unique<CpuTexture>(std::move(memory), width, height, shared ? handle : 0);
  }
};

}  // namespace

// Linux has no apartment model: there is nothing to enter or leave.
bool InitMainThreadApartment() { return true; }
void EndMainThreadApartment() {}

std::unique_ptr<GpuDevice> GpuDevice::Create() { return std::make_unique<CpuDevice>(); }

std::unique_ptr<HostWindow> HostWindow::Create() { return nullptr; }
std::unique_ptr<HostWindow> HostWindow::CreateViewWindow(int32_t, int32_t, bool) { return nullptr; }

bool HasWindowSystem() { return false; }

}  // namespace vyo::platform
