// Objects of the main thread that the host owns for its whole life: the apartment, the GPU device
// and the hidden host window.
#pragma once
#include <cstdint>
#include <memory>

namespace vyo::platform {

// Single-threaded apartment of the main thread (COM on Windows; nothing to set up on Linux).
bool InitMainThreadApartment();
void EndMainThreadApartment();

// The host's GPU device. Windows: a Direct3D 11 hardware device with BGRA support (feature levels
// 11_1, 11_0, 10_1). Linux: the CPU device, whose textures live in named shared memory.
class GpuDevice {
 public:
  virtual ~GpuDevice() = default;
  static std::unique_ptr<GpuDevice> Create();
  // "d3d11" or "cpu".
  virtual const char* Kind() const = 0;
  // The device's feature level (0xb100, 0xb000, 0xa100 on Windows; 0 for the CPU device).
  virtual uint32_t FeatureLevel() const = 0;
};

// The hidden host window: class "FenyraOverlayHostWindow", title "FenyraOverlayHost", off screen,
// never activated. Windows only; Create returns null on platforms without windows.
class HostWindow {
 public:
  virtual ~HostWindow() = default;
  static std::unique_ptr<HostWindow> Create();
  virtual intptr_t Handle() const = 0;
};

// True on platforms that have a window system the host drives (Windows).
bool HasWindowSystem();

}  // namespace vyo::platform
