// Input for the DevTools backend: a view's mouse event (the kinds and virtual-key bits of the port,
// in raw view pixels) as the parameters of Input.dispatchMouseEvent, the click counting the browser
// does not do for injected events, and the parameters of the key and text events.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

// Counts clicks: a press of the same button within `interval_ms` of the previous press and within
// `distance` pixels of it (both axes) continues the series (double, triple click); a series ends
// after three clicks. A release carries the count of its press.
class ClickCounter {
 public:
  ClickCounter(uint32_t interval_ms = 500, int32_t distance = 4) : interval_ms_(interval_ms), distance_(distance) {}
  int32_t Press(int32_t button, int32_t x, int32_t y, uint64_t now_ms);
  int32_t Release(int32_t button) const { return button == button_ ? count_ : 1; }

 private:
  uint32_t interval_ms_;
  int32_t distance_;
  int32_t button_ = -1;
  int32_t count_ = 0;
  int32_t x_ = 0, y_ = 0;
  uint64_t time_ms_ = 0;
};

// The parameters (JSON) of Input.dispatchMouseEvent for one mouse event; nullopt for kinds that
// send nothing. `factor` converts raw view pixels to the page's CSS pixels (zoom × scale).
std::optional<std::string> MouseEventParams(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x,
                                            int32_t y, double factor, ClickCounter& clicks, uint64_t now_ms);

// The parameters (JSON) of Input.dispatchKeyEvent for a key event, members in this order:
// modifiers, type ("rawKeyDown", "keyUp" or "char"); for a character its text; for a key
// windowsVirtualKeyCode, nativeVirtualKeyCode, autoRepeat (key-down only), key and code (when not
// empty), location, isKeypad and isSystemKey (when set).
std::string BuildKeyEventJson(const KeyEvent& event);
// The parameters (JSON) of Input.insertText for UTF-8 text.
std::string BuildInsertTextJson(const std::string& utf8);

// The cursor over a page, which a headless browser does not report: a page-side lookup of the
// element at (x, y) in CSS pixels and its computed cursor, with "auto" resolved to the text beam
// over editable or text content and the arrow elsewhere ...
std::string CursorProbeExpression(double x, double y);
// ... and the system cursor id of a CSS cursor (arrow 32512, beam 32513, wait 32514, cross 32515,
// the sizing cursors 32642 to 32646, no 32648, hand 32649, app-starting 32650, help 32651).
uint32_t CursorIdForCss(const std::string& css_cursor);
constexpr uint32_t kArrowCursor = 32512;

}  // namespace vyo::web::cdp
