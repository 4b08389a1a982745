// PagePolicy: what pages and the browser raise for a view, handled so that a view stays a piece
// of the overlay rather than a browser tab. The messages pages post (control messages for focus,
// dirty regions and the selection, and page data for the overlay), messages to pages, the
// selection and its copy, and the event policy: no new windows, no permissions, no browser
// shortcuts, process failures, navigation results and cursors.
//
// Main thread only (the web view manager hands it the views' events there).
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "capture/dirty_reports.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "renderers/web/page_messages.h"
#include "renderers/web/web_view_manager.h"
#include "views/host_context.h"
#include "views/view_registry.h"

namespace vyo::web {

// What the page policy asks of and tells the host (main thread).
class IPagePolicyDelegate {
 public:
  virtual ~IPagePolicyDelegate() = default;
  // The modifier bits (Alt 1, Ctrl 2, Meta 4, Shift 8) of the keyboard at the moment an accelerator
  // key event is handled.
  virtual uint32_t KeyboardModifiers() = 0;
  // A page message of a view (JSON text) for the module that owns it, if any.
  virtual void OnModulePageMessage(uint32_t view_id, const std::string& json) = 0;
  // An event of a view (ModuleViewEvent) for the module that owns it, if any.
  virtual void OnModuleViewEvent(uint32_t view_id, uint32_t event, uint32_t argument) = 0;
  // The view's page starts a navigation: what it shows is about to change.
  virtual void OnPageNavigating(uint32_t view_id) = 0;
};

class PagePolicy final : public IViewEventHandler, public host::IViewObserver {
 public:
  PagePolicy(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
             host::OverlayChannel& overlay, WebViewManager& web, capture::IDirtyReports& dirty_reports,
             host::HostCounters& counters, IPagePolicyDelegate& delegate);

  // IViewEventHandler.
  void OnWebMessageReceived(uint32_t view_id, const WebMessage& message) override;
  void OnProcessFailed(uint32_t view_id, int32_t kind) override;
  void OnNavigationStarting(uint32_t view_id, const NavigationStartingArgs& args) override;
  void OnNavigationCompleted(uint32_t view_id, const NavigationCompletedArgs& args) override;
  void OnDOMContentLoaded(uint32_t view_id, uint64_t navigation_id) override;
  void OnNewWindowRequested(uint32_t view_id, NewWindowArgs& args) override;
  void OnPermissionRequested(uint32_t view_id, PermissionArgs& args) override;
  void OnCursorChanged(uint32_t view_id) override;
  void OnAcceleratorKeyPressed(uint32_t view_id, AcceleratorArgs& args) override;

  // IViewObserver: a destroyed view's page state goes with it; a hidden one no longer needs the
  // keyboard.
  void OnViewDestroyed(uint32_t view_id) override;
  void OnViewHidden(uint32_t view_id) override { input_focus_.ClearInputFocus(view_id); }

  void PostWebMessageToView(uint32_t view_id, const std::string& json);
  void CopySelectionToClipboard(uint32_t view_id);
  // The window that owns the clipboard while text is copied (the hidden host window).
  void SetClipboardOwner(intptr_t window) { clipboard_owner_ = window; }

  SelectionStore& selection_store() { return selection_store_; }
  InputFocusTracker& input_focus() { return input_focus_; }
  int32_t accelerator_block_logs() const { return accelerator_block_logs_; }

 private:
  void HandleControlMessage(uint32_t view_id, const std::string& text);
  void HandleDirtyMessage(uint32_t view_id, const ControlMessage& message);
  bool IsManagedPopupView(uint32_t view_id);
  void SendSelectionChanged(uint32_t view_id, bool has_selection);
  void SendInputFocusChanged(uint32_t view_id, bool state);

  platform::Clock& clock_;
  const host::HostSettings& settings_;
  host::ViewRegistry& views_;
  host::OverlayChannel& overlay_;
  WebViewManager& web_;
  capture::IDirtyReports& dirty_reports_;
  host::HostCounters& counters_;
  IPagePolicyDelegate& delegate_;
  intptr_t clipboard_owner_ = 0;

  SelectionStore selection_store_{[this](uint32_t id, bool has) { SendSelectionChanged(id, has); }};
  // No filter: every page's focus report counts.
  InputFocusTracker input_focus_{nullptr, [this](uint32_t id, bool state) { SendInputFocusChanged(id, state); }};
  int32_t accelerator_block_logs_ = 0;
  int32_t page_message_drop_logs_ = 0;
};

}  // namespace vyo::web
