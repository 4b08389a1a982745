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
