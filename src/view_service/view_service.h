// ViewService: the one door of a view's life and the view operations of the host (create or
// resize with EnsureView, native views with CreateNativeView, position, visibility, frame rate,
// z-order, navigation, destroy), the overlay's surface size and presentation mode, and the
// interfaces modules (IModuleServices) and the popup manager (IWebPopupHost) use. Only the view
// service adds and removes registry records and tells the registry's observers what happened.
//
// Registry operations run on the main thread. Module-service and popup-host operations may be
// called from any thread: every one that touches views or sends runs on the main thread, posted
// there in order when called elsewhere; the pure queries answer on the caller's thread.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "capture/capture_service.h"
#include "command_dispatch/command_dispatcher.h"
#include "main_thread/main_thread.h"
#include "view_service/module_services.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "view_service/popup_host.h"
#include "renderers/web/page_policy.h"
#include "renderers/web/web_view_manager.h"
#include "views/host_context.h"
#include "views/view_registry.h"

namespace vyo::host {

// What the view service tells the host (main thread).
class IViewServiceDelegate {
 public:
  virtual ~IViewServiceDelegate() = default;
  // A module's view is being destroyed with module notification: the module host raises the view's
  // destroyed event and forgets the view.
  virtual void OnModuleViewDestroyed(uint32_t view_id) = 0;
};

class ViewService final : public IModuleServices, public IWebPopupHost {
 public:
  ViewService(platform::Clock& clock, const HostSettings& settings, HostCounters& counters, ViewRegistry& views,
              MainThread& main_thread, OverlayChannel& overlay, web::WebViewManager& web, web::PagePolicy& pages,
              capture::CaptureService& capture, IViewServiceDelegate& delegate);

  // The overlay's commands that act on views and the surface.
  void RegisterCommands(CommandDispatcher& dispatcher);

  // Registry operations (main thread).
  // `keep_visibility`: the call comes from a rectangle change, which never changes the visibility
  // of a view that already exists.
  void EnsureView(uint32_t view_id, int32_t width, int32_t height, bool visible, const std::u16string& url,
                  bool keep_visibility = false);
  void SetViewPosition(uint32_t view_id, int32_t x, int32_t y);
  // Ends the view: modules told first when asked (and the view is a module's), then the
  // observers (closing, the record erased, destroyed).
  void DestroyView(uint32_t view_id, bool notify_modules);
  // Shutdown: every view closes, then the table empties.
  void DestroyAllViews();
  // A native view: whatever had its id is destroyed first (modules told), then the record is made
  // and the observers told (capture makes its texture). False in windowed presentation, which has
  // no surfaces for native views.
  bool CreateNativeView(const NativeViewRequest& request);
  // The view's page starts a navigation of its own: what it shows is about to change.
  void NoteNavigating(uint32_t view_id);
  void SetViewVisible(uint32_t view_id, bool visible);
  void ApplyFrameRate(uint32_t view_id, uint32_t rate);
  void ApplyZOrder(uint32_t view_id, int32_t z);
  // The view is told to show `url`: the registry's record, its observers, then the web runtime.
  void NavigateTo(uint32_t view_id, const std::u16string& url);
  void ApplySurfaceInfo(uint32_t width, uint32_t height);
  void ApplyPresentationMode(const SetPresentationModeCmd& cmd);

  // IModuleServices (and the same-named IWebPopupHost operations).
  bool CreateView(uint32_t view_id, uint32_t owner_module, const char16_t* url, int32_t x, int32_t y, int32_t width,
                  int32_t height, bool visible) override;
  void RemoveView(uint32_t view_id) override;
  void SetViewRect(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height) override;
  void ShowView(uint32_t view_id, bool visible) override;
  void SetViewZOrder(uint32_t view_id, int32_t z) override;
  void SetRelayFlagA(uint32_t view_id, bool on) override { SetRelayFlag(view_id, on, false); }
  void SetRelayFlagB(uint32_t view_id, bool on) override { SetRelayFlag(view_id, on, true); }
  void SetViewHitTest(uint32_t view_id, int32_t mode, int32_t alpha_threshold) override;
  void SetViewBackgroundColor(uint32_t view_id, uint32_t argb) override;
  void SetViewFrameRate(uint32_t view_id, int32_t fps) override;
  void NavigateView(uint32_t view_id, const char16_t* url) override;
  void PostWebMessageToView(uint32_t view_id, const char* utf8_json) override;
  bool GetSurfaceSize(uint32_t* width, uint32_t* height) override;
  bool SendRawMessage(uint32_t type, const uint8_t* bytes, uint32_t length) override;
  void ModuleLog(int32_t level, const char* text) override;
  uint64_t Now() override;
  uint32_t GetParentProcessId() override;
  void GetHostDirectory(std::u16string* out) override;
  bool RunOnMainThread(std::function<void()> work) override;
  bool ReserveOverlayFrames(uint32_t count) override { return overlay_.ReservePlaces(count); }
  void ReleaseOverlayFrames(uint32_t count) override { overlay_.ReleasePlaces(count); }
  bool SendReservedMessage(uint32_t type, const uint8_t* bytes, uint32_t length) override;

  // IWebPopupHost.
  void DestroyViewNotifyAll(uint32_t view_id, uint32_t owner_module) override;
  void DestroyViewNotifyOverlay(uint32_t view_id, uint32_t owner_module) override;
  void ShowViewQuietly(uint32_t view_id, bool visible) override;
  void SendPopupState(const PopupStateMsg& state) override;
  bool IsWindowed() override { return settings_.windowed; }
  void LogView(uint32_t view_id, const char* text) override;

 private:
  void SetRelayFlag(uint32_t view_id, bool on, bool flag_b);
  // Posted to the main thread: the view ends and the overlay is told ViewDestroyed with `owner`
  // (the record's owner when not given).
  void DestroyAndAnnounce(uint32_t view_id, bool notify_modules, std::optional<uint32_t> owner);
  void NotifyViewChanged(const ViewChangedMsg& msg);
  // How frames of modules and popups dropped by a nearly full queue are named in the log.
  static constexpr const char* kModuleOrPopup = "module or popup";

  platform::Clock& clock_;
  const HostSettings& settings_;
  HostCounters& counters_;
  ViewRegistry& views_;
  MainThread& main_thread_;
  OverlayChannel& overlay_;
  web::WebViewManager& web_;
  web::PagePolicy& pages_;
  capture::CaptureService& capture_;

  // Game surface size reported by the overlay (0 × 0 while unknown).
  std::mutex surface_mutex_;
  IViewServiceDelegate& delegate_;
  uint32_t surface_width_ = 0, surface_height_ = 0;
};

}  // namespace vyo::host
