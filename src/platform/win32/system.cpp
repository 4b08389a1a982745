// The main thread's long-lived objects on Windows: the COM apartment, the Direct3D 11 device and
// the hidden host window.
#include "platform/system.h"

#include "platform/win32/d3d11_textures.h"

#include <d3d11.h>
#include <dxgi.h>
#include <objbase.h>
#include <windows.h>

#include <mutex>

namespace vyo::platform {
namespace {

constexpr wchar_t kWindowClass[] = L"FenyraOverlayHostWindow";
constexpr wchar_t kWindowTitle[] = L"FenyraOverlayHost";

// A B8G8R8A8 texture of the Direct3D device. Shared textures carry a keyed mutex and a legacy
// shared handle; the handle belongs to the texture and is forgotten with it, never closed (it is
// not a kernel handle). Copies go through UpdateSubresource of the region, clears fill the region
// through a render-target view, read-back through a staging copy.
class D3d11Texture final : public SharedTexture {
 public:
  D3d11Texture(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* texture,
               IDXGIKeyedMutex* mutex, uint64_t handle, uint32_t width, uint32_t height)
      : device_(device), context_(context), texture_(texture), mutex_(mutex), handle_(handle), width_(width),
        height_(height) {}
  ~D3d11Texture() override {
    if (mutex_ != nullptr) mutex_->Release();
    texture_->Release();
  }
  D3d11Texture(const D3d11Texture&) = delete;
  D3d11Texture& operator=(const D3d11Texture&) = delete;

  uint32_t Width() const override { return width_; }
  uint32_t Height() const override { return height_; }
  uint64_t SharedHandle() const override { return handle_; }
  // Only S_OK takes the key: WAIT_TIMEOUT and WAIT_ABANDONED are success codes that do not.
  bool AcquireSync(uint32_t key, uint32_t timeout_ms) override {
    return mutex_ == nullptr || mutex_->AcquireSync(key, timeout_ms) == S_OK;
  }
  void ReleaseSync(uint32_t key) override {
    if (mutex_ != nullptr) mutex_->ReleaseSync(key);
  }
  bool CopyRegion(const uint8_t* bgra, size_t stride, int32_t x, int32_t y, int32_t w, int32_t h) override {
    if (bgra == nullptr || x < 0 || y < 0 || w <= 0 || h <= 0 || int64_t{x} + w > width_ ||
        int64_t{y} + h > height_ || stride > 0xFFFFFFFFu) {
      return false;
    }
    const D3D11_BOX box{static_cast<UINT>(x), static_cast<UINT>(y), 0, static_cast<UINT>(x + w),
                        static_cast<UINT>(y + h), 1};
    context_->UpdateSubresource(texture_, 0, &box, bgra + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4,
                                static_cast<UINT>(stride), 0);
    return true;
  }
  bool Clear() override {
    ID3D11RenderTargetView* view = nullptr;
    if (FAILED(device_->CreateRenderTargetView(texture_, nullptr, &view))) return false;
    const float zero[4] = {0, 0, 0, 0};
    context_->ClearRenderTargetView(view, zero);
    view->Release();
    return true;
  }
  bool ReadBack(std::vector<uint8_t>* out) override {
    D3D11_TEXTURE2D_DESC desc{};
    texture_->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ID3D11Texture2D* staging = nullptr;
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, &staging))) return false;
    context_->CopyResource(staging, texture_);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    bool ok = false;
    if (SUCCEEDED(context_->Map(staging, 0, D3D11_MAP_READ, 0, &mapped))) {
      out->resize(static_cast<size_t>(width_) * height_ * 4);
      for (uint32_t row = 0; row < height_; ++row) {
        memcpy(out->data() + static_cast<size_t>(row) * width_ * 4,
               static_cast<const uint8_t*>(mapped.pData) + static_cast<size_t>(row) * mapped.RowPitch, width_ * 4);
      }
      context_->Unmap(staging, 0);
      ok = true;
    }
    staging->Release();
    return ok;
  }

 private:
  ID3D11Device* device_;
  ID3D11DeviceContext* context_;
  ID3D11Texture2D* texture_;
  IDXGIKeyedMutex* mutex_;
  uint64_t handle_;
  uint32_t width_, height_;
};

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

  std::unique_ptr<SharedTexture> CreateSharedTexture(uint32_t width, uint32_t height, bool shared) override {
    if (width < 1 || height < 1 || width > 16384 || height > 16384) return nullptr;
    D3D11_TEXTURE2D_DESC desc =
        Texture2DDesc(width, height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
    desc.MiscFlags = shared ? D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX : 0;
    ID3D11Texture2D* texture = nullptr;
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, &texture)) || texture == nullptr) return nullptr;
    IDXGIKeyedMutex* mutex = nullptr;
    uint64_t handle = 0;
    if (shared) {
      IDXGIResource* resource = nullptr;
      HANDLE shared_handle = nullptr;
      const bool ok = SUCCEEDED(texture->QueryInterface(__uuidof(IDXGIKeyedMutex), reinterpret_cast<void**>(&mutex))) &&
                      SUCCEEDED(texture->QueryInterface(__uuidof(IDXGIResource), reinterpret_cast<void**>(&resource))) &&
                      SUCCEEDED(resource->GetSharedHandle(&shared_handle));
      if (resource != nullptr) resource->Release();
      if (!ok) {
        if (mutex != nullptr) mutex->Release();
        texture->Release();
        return nullptr;
      }
      handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(shared_handle));
    }
    return std::make_unique<D3d11Texture>(device_, context_, texture, mutex, handle, width, height);
  }

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
