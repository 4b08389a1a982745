// FocusController: which view receives the keyboard. The overlay names it (SetFocus, ClearFocus);
// the host makes that view's page behave as focused through focus emulation (one request in flight
// per view, a budget of three, epochs against stale answers) and blurs the page input of a view
// that loses it. Each view's focus emulation state (ViewInputState) is the controller's own, kept by
// view id. Main thread only.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "command_dispatch/command_dispatcher.h"
#include "input/view_input_state.h"
#include "overlay_channel/overlay_channel.h"
#include "renderers/web/page_policy.h"
#include "renderers/web/web_view_manager.h"
#include "views/host_context.h"
#include "views/per_view.h"
#include "views/view_registry.h"

namespace vyo::host {

// What the focus controller tells the host (main thread).
class IFocusDelegate {
 public:
  virtual ~IFocusDelegate() = default;
  // The view lost the logical focus through ClearFocus: its pressed buttons go up.
  virtual void OnFocusLost(uint32_t view_id) = 0;
};

class FocusController final : public IViewObserver {
 public:
  FocusController(const HostSettings& settings, HostCounters& counters, ViewRegistry& views, OverlayChannel& overlay,
                  web::WebViewManager& web, web::PagePolicy& pages, IFocusDelegate& delegate);
  ~FocusController() override;

  void RegisterCommands(CommandDispatcher& dispatcher);

  void SetFocus(uint32_t view_id);
  void ClearFocus();
  void SetFocusEmulation(uint32_t view_id, bool want);
  void DisableFocusEmulationAll();
  void OnFocusEmulationCompleted(uint32_t view_id, uint32_t epoch, bool value, web::HResult hr);
  // Runs `script` in the view's page (0: every web view's); failures are logged with `label`.
  void RunOverlayInputScript(uint32_t view_id, const std::u16string& script, const char* label);
  // The only visible web view when there is exactly one, else the logical focus view.
  uint32_t DefaultKeyboardView();
  uint32_t logical_focus_view() const;
  bool HasLogicalFocus(uint32_t view_id) const;
  // The view's focus emulation state (null for an unknown view); tests read it.
  const ViewInputState* Find(uint32_t view_id) const { return states_.Find(view_id); }

  // IViewObserver: a closing view's web view is detached (its emulation restarts with a new
  // epoch); a destroyed one that had the logical focus gives it up.
  void OnViewCreated(uint32_t view_id) override;
  void OnViewClosing(uint32_t view_id) override;
  void OnViewDestroyed(uint32_t view_id) override;

 private:
  ViewInputState* Find(uint32_t view_id) { return states_.Find(view_id); }
  // Asks the browser for the view's wanted state when a request may be made.
  void Request(uint32_t view_id, ViewInputState& f, bool value);

  const HostSettings& settings_;
  HostCounters& counters_;
  ViewRegistry& views_;
  OverlayChannel& overlay_;
  web::WebViewManager& web_;
  web::PagePolicy& pages_;
  IFocusDelegate& delegate_;
  PerView<ViewInputState> states_;
  uint32_t logical_focus_view_ = 0;
  // What completions hold: cleared when the controller goes.
  std::shared_ptr<FocusController*> link_;
};

}  // namespace vyo::host
