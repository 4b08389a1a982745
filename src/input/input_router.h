// InputRouter: the input records the overlay forwards, taken from the input ring and delivered to
// the views. Pointer moves are coalesced per view (the last position of an iteration counts);
// pointer records are injected into the view's web view as mouse input, key and character records
// become key events for the page (with the copy shortcut handled here and browser shortcuts swallowed),
// and text records are inserted. In windowed presentation native buttons are tracked (hover,
// press, click) instead of being injected.
//
// Main thread only. Views are looked up as copies of their facts; web views come from the web view
// manager.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "input/key_events.h"
#include "input/keyboard_layout.h"
#include "overlay_channel/overlay_channel.h"
#include "renderers/web/page_policy.h"
#include "renderers/web/web_view_manager.h"
#include "shared_channels/shared_channels.h"
#include "views/host_context.h"
#include "views/view_registry.h"

namespace vyo::host {

// Native-button events sent to the overlay (NativeButtonEvent).
enum class NativeButtonEventCode : uint32_t { kHoverEnter = 1, kHoverLeave = 2, kPress = 3, kRelease = 4, kClick = 5 };
// Pictures of a native button (the atlas's rows).
enum class ButtonState : int32_t { kNormal = 0, kHover = 1, kPressed = 2 };

// What the input router tells the host (main thread).
class IInputRouterDelegate {
 public:
  virtual ~IInputRouterDelegate() = default;
  // The picture a native button shows changed (hover, press, release).
  virtual void OnButtonState(uint32_t view_id, ButtonState state) = 0;
};

class InputRouter final : public IInputSink, public IViewObserver {
 public:
  InputRouter(platform::Clock& clock, const HostSettings& settings, ViewRegistry& views, OverlayChannel& overlay,
              web::WebViewManager& web, web::PagePolicy& pages, std::unique_ptr<IKeyboardLayout> layout,
              IInputRouterDelegate& delegate);

  // IInputSink: one record of a drain, and the end of a drain pass.
  void OnInputRecord(const InputRecord& record) override;
  void OnDrainEnd() override;
  // The input stage begins (the statistics window restarts every 5 s) ...
  void BeginInputStage();
  // ... and ends after the drain: each view's coalesced move, in ascending view-id order.
  void FlushPendingPointerMoves();

  void DispatchInputEvent(const InputEvent& record);
  // Windowed presentation: native-button hover, press and click; returns `view_id` when it names a
  // native button, else 0.
  uint32_t TrackNativeButtonPointer(uint32_t view_id, uint32_t kind, uint64_t wparam);
  // Releases and un-hovers the native buttons (the windowed overlay was hidden).
  void ResetWindowedPointer();


  // Buttons pressed into the view's page are released at the last position, so that a page is
  // never left in a drag or an active state.
  void ReleasePressedButtons(uint32_t view_id);

  // IViewObserver: a view that is hidden or closes has its buttons released; one that goes loses
  // its half surrogate pair.
  void OnViewHidden(uint32_t view_id) override { ReleasePressedButtons(view_id); }
  void OnViewClosing(uint32_t view_id) override { ReleasePressedButtons(view_id); }
  void OnViewDestroyed(uint32_t view_id) override;

  IKeyboardLayout& keyboard_layout() { return *layout_; }

  struct Stats {
    uint32_t records = 0, coalesced_moves = 0, mouse_sent = 0, mouse_failed_in_window = 0;
    uint32_t view_missing = 0, no_controller = 0, largest_batch = 0;
    int32_t last_failure_hr = 0;
    uint32_t last_missing_view = 0, last_no_controller_view = 0;
  };
  const Stats& stats() const { return stats_; }

 private:
  void InjectPointerEvent(const std::shared_ptr<web::IWebView>& webview, const InputEvent& record);
  void DispatchKeyEvent(const std::shared_ptr<web::IWebView>& webview, const InputEvent& record);
  void InsertText(const std::shared_ptr<web::IWebView>& webview, const InputEvent& record);
  void SendButtonEvents(const std::vector<std::pair<uint32_t, NativeButtonEventCode>>& events);

  platform::Clock& clock_;
  const HostSettings& settings_;
  ViewRegistry& views_;
  OverlayChannel& overlay_;
  web::WebViewManager& web_;
  web::PagePolicy& pages_;
  std::unique_ptr<IKeyboardLayout> layout_;
  IInputRouterDelegate& delegate_;

  std::map<uint32_t, InputEvent> pending_pointer_moves_;
  std::map<uint32_t, InputEvent> pending_custom_;  // kind 0x10002, one per view per drain pass
  uint32_t batch_ = 0;
  // A high surrogate typed as its own character record, waiting for its low half.
  std::map<uint32_t, char16_t> pending_high_surrogate_;
  // Buttons held in each view's page (the MK_ bits of its last pointer event) and where.
  struct HeldButtons {
    uint32_t buttons = 0;
    int32_t x = 0, y = 0;
  };
  std::map<uint32_t, HeldButtons> held_;

  // Windowed presentation.
  uint32_t hovered_native_button_ = 0;
  uint32_t pressed_native_button_ = 0;

  Stats stats_;
  uint32_t stats_window_start_ = 0;
  uint32_t view_missing_logs_ = 4, no_controller_logs_ = 4, mouse_failure_logs_ = 8;
};

}  // namespace vyo::host
