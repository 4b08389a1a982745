#include "renderers/cdp/cdp_input.h"

#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "renderers/web/page_messages.h"

namespace vyo::web::cdp {
namespace {

using Json = nlohmann::json;

// Virtual-key bits of a mouse event.
constexpr uint32_t kLeft = 0x1, kRight = 0x2, kShift = 0x4, kControl = 0x8, kMiddle = 0x10, kX1 = 0x20, kX2 = 0x40;

enum Button { kNone = 0, kLeftButton, kMiddleButton, kRightButton, kBack, kForward };

const char* ButtonName(int32_t b) {
  switch (b) {
    case kLeftButton: return "left";
    case kMiddleButton: return "middle";
    case kRightButton: return "right";
    case kBack: return "back";
    case kForward: return "forward";
    default: return "none";
  }
}

// The buttons held, in the page's encoding (left 1, right 2, middle 4, back 8, forward 16).
int32_t HeldButtons(uint32_t keys) {
  return ((keys & kLeft) ? 1 : 0) | ((keys & kRight) ? 2 : 0) | ((keys & kMiddle) ? 4 : 0) | ((keys & kX1) ? 8 : 0) |
         ((keys & kX2) ? 16 : 0);
}

// |a - b| without overflow: the positions come from the overlay and may be anywhere in 32 bits.
int64_t Distance(int32_t a, int32_t b) { return std::llabs(static_cast<int64_t>(a) - static_cast<int64_t>(b)); }

}  // namespace

int32_t ClickCounter::Press(int32_t button, int32_t x, int32_t y, uint64_t now_ms) {
  const bool continues = button == button_ && count_ > 0 && count_ < 3 && now_ms - time_ms_ <= interval_ms_ &&
                         Distance(x, x_) <= distance_ && Distance(y, y_) <= distance_;
  count_ = continues ? count_ + 1 : 1;
  button_ = button;
  x_ = x;
  y_ = y;
  time_ms_ = now_ms;
  return count_;
}

std::optional<std::string> MouseEventParams(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x,
                                            int32_t y, double factor, ClickCounter& clicks, uint64_t now_ms) {
  const auto css = [factor](int32_t raw) { return factor > 0.0 ? raw / factor : static_cast<double>(raw); };
  std::string type;
  int32_t button = kNone;
  bool press = false;
  switch (kind) {
    case 0x200: type = "mouseMoved"; break;
    case 0x2A3: type = "mouseMoved"; x = -1; y = -1; break;  // the pointer left the view
    case 0x201: case 0x203: type = "mousePressed"; button = kLeftButton; press = true; break;
    case 0x202: type = "mouseReleased"; button = kLeftButton; break;
    case 0x204: case 0x206: type = "mousePressed"; button = kRightButton; press = true; break;
    case 0x205: type = "mouseReleased"; button = kRightButton; break;
    case 0x207: case 0x209: type = "mousePressed"; button = kMiddleButton; press = true; break;
    case 0x208: type = "mouseReleased"; button = kMiddleButton; break;
    case 0x20B: case 0x20D:
      type = "mousePressed";
      button = mouse_data == 2 ? kForward : kBack;
      press = true;
      break;
    case 0x20C: type = "mouseReleased"; button = mouse_data == 2 ? kForward : kBack; break;
    case 0x20A: case 0x20E: type = "mouseWheel"; break;
    default: return std::nullopt;
  }
  Json p{{"type", type}, {"x", x < 0 ? -1.0 : css(x)}, {"y", y < 0 ? -1.0 : css(y)}};
  const int32_t modifiers = ((virtual_keys & kShift) ? 8 : 0) | ((virtual_keys & kControl) ? 2 : 0);
  p["modifiers"] = modifiers;
  p["buttons"] = HeldButtons(virtual_keys);
  if (button != kNone) {
    p["button"] = ButtonName(button);
    p["clickCount"] = press ? clicks.Press(button, x, y, now_ms) : clicks.Release(button);
  } else if (type != "mouseWheel") {
    p["button"] = "none";
  }
  if (kind == 0x20A) {
    p["deltaX"] = 0;
    p["deltaY"] = -mouse_data;  // a positive wheel turn scrolls up; the page's delta grows downwards
  } else if (kind == 0x20E) {
    p["deltaX"] = mouse_data;
    p["deltaY"] = 0;
  }
  return p.dump();
}

std::string CursorProbeExpression(double x, double y) {
  return "(() => { const e = document.elementFromPoint(" + Json(x).dump() + ", " + Json(y).dump() +
         "); if (!e) return 'default'; let c = getComputedStyle(e).cursor;"
         " if (c === 'auto') {"
         " const t = (e.type || '').toLowerCase();"
         " const editable = e.isContentEditable || e.tagName === 'TEXTAREA' || (e.tagName === 'INPUT' &&"
         " !['button','submit','reset','checkbox','radio','range','color','file','image'].includes(t));"
         " const text = Array.from(e.childNodes).some((n) => n.nodeType === 3 && n.textContent.trim() !== '');"
         " c = editable || text ? 'text' : 'default'; }"
         " return c; })()";
}

uint32_t CursorIdForCss(const std::string& c) {
  if (c == "text" || c == "vertical-text") return 32513;
  if (c == "wait") return 32514;
  if (c == "crosshair") return 32515;
  if (c == "nwse-resize" || c == "nw-resize" || c == "se-resize") return 32642;
  if (c == "nesw-resize" || c == "ne-resize" || c == "sw-resize") return 32643;
  if (c == "ew-resize" || c == "e-resize" || c == "w-resize" || c == "col-resize") return 32644;
  if (c == "ns-resize" || c == "n-resize" || c == "s-resize" || c == "row-resize") return 32645;
  if (c == "move" || c == "all-scroll") return 32646;
  if (c == "not-allowed" || c == "no-drop") return 32648;
  if (c == "pointer") return 32649;
  if (c == "progress") return 32650;
  if (c == "help") return 32651;
  return kArrowCursor;
}

std::string BuildKeyEventJson(const KeyEvent& e) {
  std::string json = StringPrintf("{\"modifiers\":%u", e.modifiers & 0xF);
  if (e.type == KeyEvent::Type::kChar)
    return json + ",\"type\":\"char\",\"text\":\"" + EscapeJsonString(e.text) + "\"}";
  const bool down = e.type == KeyEvent::Type::kRawKeyDown;
  json += down ? ",\"type\":\"rawKeyDown\"" : ",\"type\":\"keyUp\"";
  json += StringPrintf(",\"windowsVirtualKeyCode\":%u,\"nativeVirtualKeyCode\":%u", e.windows_virtual_key_code,
                       e.native_virtual_key_code);
  if (down) json += e.auto_repeat ? ",\"autoRepeat\":true" : ",\"autoRepeat\":false";
  if (!e.key.empty()) json += ",\"key\":\"" + EscapeJsonString(e.key) + "\"";
  if (!e.code.empty()) json += ",\"code\":\"" + EscapeJsonString(e.code) + "\"";
  json += StringPrintf(",\"location\":%d", e.location);
  if (e.is_keypad) json += ",\"isKeypad\":true";
  if (e.is_system_key) json += ",\"isSystemKey\":true";
  return json + "}";
}

std::string BuildInsertTextJson(const std::string& utf8) {
  return "{\"text\":\"" + EscapeJsonString(utf8) + "\"}";
}

}  // namespace vyo::web::cdp
