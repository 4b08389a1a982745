// A GPU device in memory: textures with the keyed-mutex word of the real ones, copies and clears
// recorded, and a switch that makes the overlay hold a texture.
#pragma once
#include <cstring>
#include <memory>
#include <vector>

#include "platform/system.h"
#include "protocol/texture_layout.h"

namespace vyo::testing {

class FakeTexture final : public platform::SharedTexture {
 public:
  struct Copy {
    int32_t x, y, w, h;
  };
  FakeTexture(uint32_t w, uint32_t h, uint64_t shared_handle)
      : width(w), height(h), handle(shared_handle), pixels(size_t{w} * h * 4) {}

  uint32_t Width() const override { return width; }
  uint32_t Height() const override { return height; }
  uint64_t SharedHandle() const override { return handle; }
  bool AcquireSync(uint32_t key, uint32_t) override {
    if (key_word != key) return false;
    key_word = host::kKeyHeld;
    return true;
  }
  void ReleaseSync(uint32_t key) override { key_word = key; }
  bool CopyRegion(const uint8_t* bgra, size_t stride, int32_t x, int32_t y, int32_t w, int32_t h) override {
    copies.push_back({x, y, w, h});
    for (int32_t r = y; r < y + h; ++r) {
      std::memcpy(pixels.data() + (size_t(r) * width + x) * 4, bgra + r * stride + size_t(x) * 4, size_t(w) * 4);
    }
    return true;
  }
  bool Clear() override {
    ++clears;
    std::fill(pixels.begin(), pixels.end(), 0);
    return true;
  }
  bool ReadBack(std::vector<uint8_t>* out) override {
    *out = pixels;
    return true;
  }
  // The overlay's side: takes key 1 (after a publish) and gives key 0 back.
  bool OverlayAcquire() { return AcquireSync(host::kOverlayKey, 0); }
  void OverlayRelease() { ReleaseSync(host::kHostKey); }

  uint32_t width, height;
  uint64_t handle;
  std::vector<uint8_t> pixels;
  uint32_t key_word = host::kHostKey;
  std::vector<Copy> copies;
  int clears = 0;
};

class FakeGpuDevice final : public platform::GpuDevice {
 public:
  const char* Kind() const override { return "fake"; }
  uint32_t FeatureLevel() const override { return 0; }
  std::unique_ptr<platform::SharedTexture> CreateSharedTexture(uint32_t w, uint32_t h, bool) override {
    if (fail) return nullptr;
    auto t = std::make_unique<FakeTexture>(w, h, ++next_handle);
    textures.push_back(t.get());
    return t;
  }
  // Textures made so far (the host owns them; the last one of a view is its current texture).
  std::vector<FakeTexture*> textures;
  uint64_t next_handle = 0x100;
  bool fail = false;
};

}  // namespace vyo::testing
