// Objects of the main thread that the host owns for its whole life: the apartment, the GPU device
// and the hidden host window.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>
#include <cstddef>

namespace vyo::platform {

// Single-threaded apartment of the main thread (COM on Windows; nothing to set up on Linux).
bool InitMainThreadApartment();
void EndMainThreadApartment();

// A BGRA texture the overlay draws from (B8G8R8A8 unorm, premultiplied alpha), guarded by a keyed
// mutex and opened by the overlay from its shared handle. Main thread only.
class SharedTexture {
 public:
  virtual ~SharedTexture() = default;
  virtual uint32_t Width() const = 0;
  virtual uint32_t Height() const = 0;
  // The handle the overlay opens it by (SharedTextureReady). 0 for a texture made unshared.
  virtual uint64_t SharedHandle() const = 0;
  // Keyed mutex. Acquire is true only when the key was taken (a time-out or an abandoned mutex is
  // not an acquisition); it never waits longer than `timeout_ms`.
  virtual bool AcquireSync(uint32_t key, uint32_t timeout_ms) = 0;
  virtual void ReleaseSync(uint32_t key) = 0;
  // Copies the rectangle (x, y, w, h) of a premultiplied BGRA image of `stride` bytes per row,
  // whose top-left pixel is the texture's, to the same place. The rectangle must lie inside both.
  virtual bool CopyRegion(const uint8_t* bgra, size_t stride, int32_t x, int32_t y, int32_t w, int32_t h) = 0;
  // The texture's rows in this process's memory (the CPU device), for writers that produce pixels
  // themselves; null where the texture lives on a GPU. Only while the host holds the keyed mutex.
  virtual uint8_t* MappedRows(size_t* stride) {
    (void)stride;
    return nullptr;
  }
  // Fills the whole texture with transparent black.
  virtual bool Clear() = 0;
  // Reads the whole texture back as tight BGRA rows (tests and tools).
  virtual bool ReadBack(std::vector<uint8_t>* out) = 0;
};

// The host's GPU device. Windows: a Direct3D 11 hardware device with BGRA support (feature levels
// 11_1, 11_0, 10_1). Linux: the CPU device, whose textures live in named shared memory
// ("/vyo.tex.<16 hex>", the layout of protocol/texture_layout.h).
class GpuDevice {
 public:
  virtual ~GpuDevice() = default;
  static std::unique_ptr<GpuDevice> Create();
  // "d3d11" or "cpu".
  virtual const char* Kind() const = 0;
  // The device's feature level (0xb100, 0xb000, 0xa100 on Windows; 0 for the CPU device).
  virtual uint32_t FeatureLevel() const = 0;
  // A new texture of width x height (1..16384). `shared`: with keyed mutex and shared handle (the
  // overlay's textures); false gives a plain texture whose keyed mutex is always free. Null on
  // failure.
  virtual std::unique_ptr<SharedTexture> CreateSharedTexture(uint32_t width, uint32_t height, bool shared = true) = 0;
};

// The hidden host window: class "FenyraOverlayHostWindow", title "FenyraOverlayHost", off screen,
// never activated. Windows only; Create returns null on platforms without windows.
class HostWindow {
 public:
  virtual ~HostWindow() = default;
  static std::unique_ptr<HostWindow> Create();
  // A view's own off-screen window: same class, title "FenyraOverlayView", `WS_POPUP`, at
  // (-32000, -32000) with the view's size, shown without activation. `tool_window` adds
  // WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW. Null where there are no windows or on failure.
  static std::unique_ptr<HostWindow> CreateViewWindow(int32_t width, int32_t height, bool tool_window);
  virtual intptr_t Handle() const = 0;
  virtual void Resize(int32_t width, int32_t height) = 0;
};

// True on platforms that have a window system the host drives (Windows).
bool HasWindowSystem();

}  // namespace vyo::platform
