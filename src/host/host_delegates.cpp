#include "host/host_delegates.h"

#include "host/app.h"
#include "vyo_module.h"

namespace vyo::host {

// The web subsystem numbers module view events as the module interface does.
static_assert(web::kModuleViewFirstFrame == VYOM_EVENT_FIRST_FRAME &&
              web::kModuleViewNavigated == VYOM_EVENT_NAVIGATION_DONE &&
              web::kModuleViewFailed == VYOM_EVENT_VIEW_FAILED &&
              web::kModuleViewDestroyed == VYOM_EVENT_VIEW_DESTROYED);

capture::ViewContent HostDelegates::ContentOf(uint32_t view_id) {
  capture::ViewContent content;
  if (const web::ViewWebState* web = app_.web().Find(view_id)) {
    content.content = web->webview.get();
    content.failed = web->web_failed;
    content.zoom = web->zoom_factor;
  }
  return content;
}

bool HostDelegates::CreateNativeView(const NativeViewRequest& request) { return app_.view_service().CreateNativeView(request); }

void HostDelegates::OnWebMessageReceived(uint32_t view_id, const web::WebMessage& message) {
  app_.pages().OnWebMessageReceived(view_id, message);
}
void HostDelegates::OnProcessFailed(uint32_t view_id, int32_t kind) { app_.pages().OnProcessFailed(view_id, kind); }
void HostDelegates::OnNavigationStarting(uint32_t view_id, const web::NavigationStartingArgs& args) {
  app_.pages().OnNavigationStarting(view_id, args);
}
void HostDelegates::OnNavigationCompleted(uint32_t view_id, const web::NavigationCompletedArgs& args) {
  app_.pages().OnNavigationCompleted(view_id, args);
}
void HostDelegates::OnDOMContentLoaded(uint32_t view_id, uint64_t navigation_id) {
  app_.pages().OnDOMContentLoaded(view_id, navigation_id);
}
void HostDelegates::OnNewWindowRequested(uint32_t view_id, web::NewWindowArgs& args) {
  app_.pages().OnNewWindowRequested(view_id, args);
}
void HostDelegates::OnPermissionRequested(uint32_t view_id, web::PermissionArgs& args) {
  app_.pages().OnPermissionRequested(view_id, args);
}
void HostDelegates::OnCursorChanged(uint32_t view_id) { app_.pages().OnCursorChanged(view_id); }
void HostDelegates::OnAcceleratorKeyPressed(uint32_t view_id, web::AcceleratorArgs& args) {
  app_.pages().OnAcceleratorKeyPressed(view_id, args);
}

void HostDelegates::OnModuleViewEvent(uint32_t view_id, uint32_t event, uint32_t argument) {
  if (modules::ModuleHost* modules = app_.module_host()) modules->RouteViewEvent(view_id, event, argument);
}

uint32_t HostDelegates::KeyboardModifiers() { return app_.input().keyboard_layout().ModifiersFromKeyboardState(); }

void HostDelegates::OnModulePageMessage(uint32_t view_id, const std::string& json) {
  if (modules::ModuleHost* modules = app_.module_host()) modules->RoutePageMessage(view_id, json);
}

void HostDelegates::OnPageNavigating(uint32_t view_id) { app_.view_service().NoteNavigating(view_id); }

void HostDelegates::OnModuleViewDestroyed(uint32_t view_id) {
  if (modules::ModuleHost* modules = app_.module_host()) {
    modules->RouteViewEvent(view_id, VYOM_EVENT_VIEW_DESTROYED, 0);
    modules->ForgetView(view_id);
  }
}

void HostDelegates::OnFocusLost(uint32_t view_id) { app_.input().ReleasePressedButtons(view_id); }

void HostDelegates::OnButtonState(uint32_t view_id, ButtonState state) {
  app_.buttons().SetButtonState(view_id, static_cast<uint32_t>(state));
}

void HostDelegates::OnInputRecord(const InputRecord& record) { app_.input().OnInputRecord(record); }
void HostDelegates::OnDrainEnd() { app_.input().OnDrainEnd(); }

}  // namespace vyo::host
