// HostDelegates: the one adapter through which subsystems reach upward. Each subsystem declares the
// few calls it makes to the host as a delegate interface and takes it in its constructor; this
// object implements them all by forwarding to the application's subsystems. It is built before the
// subsystems and used only once they all exist (the host's start-up and main loop), so construction
// order never matters to it.
#pragma once
#include <cstdint>
#include <string>

#include "capture/capture_delegate.h"
#include "capture/native_buttons.h"
#include "input/focus_controller.h"
#include "input/input_router.h"
#include "renderers/web/page_policy.h"
#include "renderers/web/web_view_manager.h"
#include "shared_channels/shared_channels.h"
#include "view_service/view_service.h"

namespace vyo::host {

class WebViewHostApp;

class HostDelegates final : public capture::ICaptureDelegate,
                            public capture::INativeButtonsDelegate,
                            public web::IWebViewManagerDelegate,
                            public web::IPagePolicyDelegate,
                            public IViewServiceDelegate,
                            public IFocusDelegate,
                            public IInputRouterDelegate,
                            public IInputSink {
 public:
  explicit HostDelegates(WebViewHostApp& app) : app_(app) {}

  // Capture: what a view shows (the web view manager's answer).
  capture::ViewContent ContentOf(uint32_t view_id) override;
  // Native buttons: their views are made by the view service.
  bool CreateNativeView(const NativeViewRequest& request) override;

  // Web: page events go to the page policy; events and page messages of module views to the
  // module host; a page's own navigation to the view service.
  void OnWebMessageReceived(uint32_t view_id, const web::WebMessage& message) override;
  void OnProcessFailed(uint32_t view_id, int32_t kind) override;
  void OnNavigationStarting(uint32_t view_id, const web::NavigationStartingArgs& args) override;
  void OnNavigationCompleted(uint32_t view_id, const web::NavigationCompletedArgs& args) override;
  void OnDOMContentLoaded(uint32_t view_id, uint64_t navigation_id) override;
  void OnNewWindowRequested(uint32_t view_id, web::NewWindowArgs& args) override;
  void OnPermissionRequested(uint32_t view_id, web::PermissionArgs& args) override;
  void OnCursorChanged(uint32_t view_id) override;
  void OnAcceleratorKeyPressed(uint32_t view_id, web::AcceleratorArgs& args) override;
  void OnModuleViewEvent(uint32_t view_id, uint32_t event, uint32_t argument) override;
  uint32_t KeyboardModifiers() override;
  void OnModulePageMessage(uint32_t view_id, const std::string& json) override;
  void OnPageNavigating(uint32_t view_id) override;

  // View service: a module's view going with module notification.
  void OnModuleViewDestroyed(uint32_t view_id) override;

  // Input: the focus lost releases the view's pressed buttons; button pictures go to the native
  // buttons; the input ring's records go to the input router.
  void OnFocusLost(uint32_t view_id) override;
  void OnButtonState(uint32_t view_id, ButtonState state) override;
  void OnInputRecord(const InputRecord& record) override;
  void OnDrainEnd() override;

 private:
  WebViewHostApp& app_;
};

}  // namespace vyo::host
