// The main thread's long-lived objects on Windows: the COM apartment, the Direct3D 11 device and
// the hidden host window.
#include "platform/system.h"

#include <d3d11.h>
#include <objbase.h>
#include <windows.h>

#include <mutex>

namespace vyo::platform {
namespace {

constexpr wchar_t kWindowClass[] = L"FenyraOverlayHostWindow";
constexpr wchar_t kWindowTitle[] = L"FenyraOverlayHost";

class D3d11Device final : public GpuDevice {
 public:
  D3d11Device(ID3D11Device* device, ID3D11DeviceContext* context, D3D_FEATURE_LEVEL level)
      : device_(device), context_(context), level_(level) {}
  ~D3d11Device() override {
    context_->Release();
    device_->Release();
  }
  D3d11Device(const D3d11Device&) = delete;
  D3d11Device& operator=(const D3d11Device&) = delete;

  const char* Kind() const override { return "d3d11"; }
  uint32_t FeatureLevel() const override { return static_cast<uint32_t>(level_); }

 private:
  ID3D11Device* device_;
  ID3D11DeviceContext* context_;
  D3D_FEATURE_LEVEL level_;
};

class Win32HostWindow final : public HostWindow {
 public:
  explicit Win32HostWindow(HWND window) : window_(window) {}
  ~Win32HostWindow() override { DestroyWindow(window_); }
  Win32HostWindow(const Win32HostWindow&) = delete;
  Win32HostWindow& operator=(const Win32HostWindow&) = delete;

  intptr_t Handle() const override { return reinterpret_cast<intptr_t>(window_); }
  void Resize(int32_t width, int32_t height) override {
    SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

 private:
  HWND window_;
};

// Registers the window class the first time a window is made; a failed attempt is retried later.
bool RegisterHostWindowClass(HINSTANCE instance) {
  static std::mutex mutex;
  static bool registered = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (registered) return true;
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = DefWindowProcW;
  window_class.hInstance = instance;
  window_class.lpszClassName = kWindowClass;
  registered = RegisterClassExW(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  return registered;
}

}  // namespace

bool InitMainThreadApartment() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  return hr == S_OK || hr == S_FALSE;
}

void EndMainThreadApartment() { CoUninitialize(); }

std::unique_ptr<GpuDevice> GpuDevice::Create() {
  static const D3D_FEATURE_LEVEL kLevels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0,
                                              D3D_FEATURE_LEVEL_10_1};
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* context = nullptr;
  D3D_FEATURE_LEVEL level{};
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                 D3D11_CREATE_DEVICE_BGRA_SUPPORT, kLevels, 3, D3D11_SDK_VERSION,
                                 &device, &level, &context);
  if (hr == E_INVALIDARG) {
    // Runtimes that predate 11_1 reject the whole list; ask again without it.
    hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                           D3D11_CREATE_DEVICE_BGRA_SUPPORT, kLevels + 1, 2, D3D11_SDK_VERSION,
                           &device, &level, &context);
  }
  if (FAILED(hr) || !device || !context) {
    if (context) context->Release();
    if (device) device->Release();
    return nullptr;
  }
  return std::make_unique<D3d11Device>(device, context, level);
}

std::unique_ptr<HostWindow> HostWindow::CreateViewWindow(int32_t width, int32_t height, bool tool_window) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!RegisterHostWindowClass(instance)) return nullptr;
  HWND window = CreateWindowExW(tool_window ? (WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW) : 0, kWindowClass,
                                L"FenyraOverlayView", WS_POPUP, -32000, -32000, width, height, nullptr, nullptr,
                                instance, nullptr);
  if (!window) return nullptr;
  ShowWindow(window, SW_SHOWNA);
  return std::make_unique<Win32HostWindow>(window);
}

std::unique_ptr<HostWindow> HostWindow::Create() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!RegisterHostWindowClass(instance)) return nullptr;
  HWND window = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, kWindowClass, kWindowTitle,
                                WS_POPUP, -32000, -32000, 1, 1, nullptr, nullptr, instance, nullptr);
  if (!window) return nullptr;
  ShowWindow(window, SW_SHOWNA);
  return std::make_unique<Win32HostWindow>(window);
}

bool HasWindowSystem() { return true; }

}  // namespace vyo::platform
