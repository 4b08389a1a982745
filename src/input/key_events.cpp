#include "input/key_events.h"

#include <cstring>

#include "base/log.h"
#include "base/text.h"

namespace vyo::host {
namespace {

constexpr uint32_t kAlt = 1, kShift = 8;

uint32_t U32At(const InputRecord& r, size_t offset) {
  return static_cast<uint32_t>(r[offset]) | (static_cast<uint32_t>(r[offset + 1]) << 8) |
         (static_cast<uint32_t>(r[offset + 2]) << 16) | (static_cast<uint32_t>(r[offset + 3]) << 24);
}
uint64_t U64At(const InputRecord& r, size_t offset) {
  return static_cast<uint64_t>(U32At(r, offset)) | (static_cast<uint64_t>(U32At(r, offset + 4)) << 32);
}

bool IsKeypadCode(const std::string& code) { return code.rfind("Numpad", 0) == 0; }

// Keys whose DOM key and code are the same word: the lock and escape keys and the editing and
// arrow keys.
const char* SameKeyAndCode(uint32_t vk) {
  switch (vk) {
    case 0x13: return "Pause";
    case 0x14: return "CapsLock";
    case 0x1B: return "Escape";
    case 0x21: return "PageUp";
    case 0x22: return "PageDown";
    case 0x23: return "End";
    case 0x24: return "Home";
    case 0x25: return "ArrowLeft";
    case 0x26: return "ArrowUp";
    case 0x27: return "ArrowRight";
    case 0x28: return "ArrowDown";
    case 0x2C: return "PrintScreen";
    case 0x2D: return "Insert";
    case 0x2E: return "Delete";
    default: return nullptr;
  }
}

}  // namespace

InputEvent ParseInputRecord(const InputRecord& r) {
  InputEvent e;
  e.view_id = U32At(r, 0);
  e.msg = U32At(r, 4);
  e.wparam = U64At(r, 8);
  e.lparam = U64At(r, 16);
  e.x = static_cast<int32_t>(U32At(r, 24));
  e.y = static_cast<int32_t>(U32At(r, 28));
  e.modifiers = U32At(r, 36);
  e.text_length = U32At(r, 40);
  if (e.msg == kInsertText) {
    // Up to the first NUL, and never beyond the record's end.
    for (size_t offset = 44; offset + 1 < r.size(); offset += 2) {
      const char16_t unit = static_cast<char16_t>(r[offset] | (r[offset + 1] << 8));
      if (unit == 0) break;
      e.text.push_back(unit);
    }
  }
  return e;
}

std::string CodeFromScanCode(uint32_t scan, bool extended) {
  if (extended) {
    switch (scan) {
      case 0x1C: return "NumpadEnter";
      case 0x1D: return "ControlRight";
      case 0x35: return "NumpadDivide";
      case 0x37: return "PrintScreen";
      case 0x38: return "AltRight";
      case 0x45: return "NumLock";  // NumLock is the extended form; the plain 0x45 is Pause
      case 0x47: return "Home";
      case 0x48: return "ArrowUp";
      case 0x49: return "PageUp";
      case 0x4B: return "ArrowLeft";
      case 0x4D: return "ArrowRight";
      case 0x4F: return "End";
      case 0x50: return "ArrowDown";
      case 0x51: return "PageDown";
      case 0x52: return "Insert";
      case 0x53: return "Delete";
      case 0x5B: return "MetaLeft";
      case 0x5C: return "MetaRight";
      case 0x5D: return "ContextMenu";
      default: return {};
    }
  }
  static const char* const kPlain[0x59] = {
      nullptr,        "Escape",      "Digit1",        "Digit2",      "Digit3",        "Digit4",       "Digit5",
      "Digit6",       "Digit7",      "Digit8",        "Digit9",      "Digit0",        "Minus",        "Equal",
      "Backspace",    "Tab",         "KeyQ",          "KeyW",        "KeyE",          "KeyR",         "KeyT",
      "KeyY",         "KeyU",        "KeyI",          "KeyO",        "KeyP",          "BracketLeft",  "BracketRight",
      "Enter",        "ControlLeft", "KeyA",          "KeyS",        "KeyD",          "KeyF",         "KeyG",
      "KeyH",         "KeyJ",        "KeyK",          "KeyL",        "Semicolon",     "Quote",        "Backquote",
      "ShiftLeft",    "Backslash",   "KeyZ",          "KeyX",        "KeyC",          "KeyV",         "KeyB",
      "KeyN",         "KeyM",        "Comma",         "Period",      "Slash",         "ShiftRight",   "NumpadMultiply",
      "AltLeft",      "Space",       "CapsLock",      "F1",          "F2",            "F3",           "F4",
      "F5",           "F6",          "F7",            "F8",          "F9",            "F10",          "Pause",
      "ScrollLock",   "Numpad7",     "Numpad8",       "Numpad9",     "NumpadSubtract", "Numpad4",     "Numpad5",
      "Numpad6",      "NumpadAdd",   "Numpad1",       "Numpad2",     "Numpad3",       "Numpad0",      "NumpadDecimal",
      nullptr,        nullptr,       "IntlBackslash", "F11",         "F12"};
  if (scan >= sizeof(kPlain) / sizeof(kPlain[0]) || kPlain[scan] == nullptr) return {};
  return kPlain[scan];
}

std::string CodeFromVirtualKey(uint32_t vk, bool extended) {
  if (vk >= 0x41 && vk <= 0x5A) return StringPrintf("Key%c", static_cast<char>(vk));
  if (vk >= 0x30 && vk <= 0x39) return StringPrintf("Digit%c", static_cast<char>(vk));
  if (vk >= 0x60 && vk <= 0x69) return StringPrintf("Numpad%u", vk - 0x60);
  if (vk >= 0x70 && vk <= 0x87) return StringPrintf("F%u", vk - 0x6F);
  if (const char* same = SameKeyAndCode(vk)) return same;
  switch (vk) {
    case 0x08: return "Backspace";
    case 0x09: return "Tab";
    case 0x0D: return extended ? "NumpadEnter" : "Enter";
    case 0x10: case 0xA0: return "ShiftLeft";
    case 0xA1: return "ShiftRight";
    case 0x11: case 0xA2: return extended ? "ControlRight" : "ControlLeft";
    case 0xA3: return "ControlRight";
    case 0x12: case 0xA4: return extended ? "AltRight" : "AltLeft";
    case 0xA5: return "AltRight";
    case 0x20: return "Space";
    case 0x5B: return "MetaLeft";
    case 0x5C: return "MetaRight";
    case 0x5D: return "ContextMenu";
    case 0x6A: return "NumpadMultiply";
    case 0x6B: return "NumpadAdd";
    case 0x6D: return "NumpadSubtract";
    case 0x6E: return "NumpadDecimal";
    case 0x6F: return "NumpadDivide";
    case 0x90: return "NumLock";
    case 0x91: return "ScrollLock";
    case 0xBA: return "Semicolon";
    case 0xBB: return "Equal";
    case 0xBC: return "Comma";
    case 0xBD: return "Minus";
    case 0xBE: return "Period";
    case 0xBF: return "Slash";
    case 0xC0: return "Backquote";
    case 0xDB: return "BracketLeft";
    case 0xDC: return "Backslash";
    case 0xDD: return "BracketRight";
    case 0xDE: return "Quote";
    case 0xE2: return "IntlBackslash";
    default: return {};
  }
}

std::string NamedKeyFromVirtualKey(uint32_t vk) {
  if (vk >= 0x60 && vk <= 0x69) return std::string(1, static_cast<char>('0' + (vk - 0x60)));
  if (vk >= 0x70 && vk <= 0x87) return StringPrintf("F%u", vk - 0x6F);
  if (const char* same = SameKeyAndCode(vk)) return same;
  switch (vk) {
    case 0x08: return "Backspace";
    case 0x09: return "Tab";
    case 0x0D: return "Enter";
    case 0x10: case 0xA0: case 0xA1: return "Shift";
    case 0x11: case 0xA2: case 0xA3: return "Control";
    case 0x12: case 0xA4: case 0xA5: return "Alt";
    case 0x20: return " ";
    case 0x5B: case 0x5C: return "Meta";
    case 0x5D: return "ContextMenu";
    case 0x6A: return "*";
    case 0x6B: return "+";
    case 0x6D: return "-";
    case 0x6E: return ".";
    case 0x6F: return "/";
    case 0x90: return "NumLock";
    case 0x91: return "ScrollLock";
    default: return {};
  }
}

std::string CharacterKeyFromVirtualKey(IKeyboardLayout& layout, uint32_t vk, uint32_t scan, bool shift) {
  std::u16string text;
  const int32_t n = layout.Translate(vk, scan, shift, &text);
  if (n < 0) return "Dead";  // a dead key is named as such; the layout keeps its pending accent
  if (n == 0 || text.empty() || (text.size() == 1 && text[0] < 0x20)) return {};
  return Utf16ToUtf8(text);
}

DomKeyInfo DescribeKey(IKeyboardLayout& layout, uint32_t vk, uint64_t lparam, uint32_t modifiers) {
  DomKeyInfo info;
  if (vk > 0xFE) return info;  // no such key: never read beyond the tables
  uint32_t scan = static_cast<uint32_t>((lparam >> 16) & 0xFF);
  bool extended = ((lparam >> 24) & 1) != 0;
  if (scan == 0) {
    // No scan code: the key's usual form, extended where that form is.
    const uint32_t mapped = layout.ScanCodeOf(vk);
    scan = mapped & 0xFF;
    extended = (mapped & 0x100) != 0;
  }
  info.code = CodeFromScanCode(scan, extended);
  if (info.code.empty()) info.code = CodeFromVirtualKey(vk, extended);
  if (info.code.empty()) {
    info.location = 0;
  } else if (IsKeypadCode(info.code)) {
    info.location = 3;
  } else if (info.code == "ShiftLeft" || info.code == "ControlLeft" || info.code == "AltLeft" ||
             info.code == "MetaLeft") {
    info.location = 1;
  } else if (info.code == "ShiftRight" || info.code == "ControlRight" || info.code == "AltRight" ||
             info.code == "MetaRight") {
    info.location = 2;
  }
  info.key = NamedKeyFromVirtualKey(vk);
  if (info.key.empty()) info.key = CharacterKeyFromVirtualKey(layout, vk, scan, (modifiers & kShift) != 0);
  if (info.key.empty()) {
    if (vk >= 0x30 && vk <= 0x39) {
      info.key = std::string(1, static_cast<char>(vk));
    } else if (vk >= 0x41 && vk <= 0x5A) {
      info.key = std::string(1, static_cast<char>((modifiers & kShift) ? vk : vk - 'A' + 'a'));
    }
  }
  return info;
}

bool IsCopyShortcut(uint32_t msg, uint64_t wparam, uint32_t modifiers) {
  if (msg == kChar || msg == kSysChar || msg == kUniChar) return (wparam & 0xFFFFFFFF) == 3;
  if (msg != kKeyDown && msg != kKeyUp && msg != kSysKeyDown && msg != kSysKeyUp) return false;
  const uint32_t vk = static_cast<uint32_t>(wparam & 0xFFFFFFFF);
  return (modifiers & 2) != 0 && (modifiers & (kShift | kAlt)) == 0 && (vk == 0x43 || vk == 0x2D);
}

std::optional<web::KeyEvent> BuildKeyEvent(IKeyboardLayout& layout, const InputEvent& r, const std::u16string* text) {
  const uint32_t vk = static_cast<uint32_t>(r.wparam & 0xFFFFFFFF);
  web::KeyEvent event;
  event.modifiers = r.modifiers & 0xF;
  switch (r.msg) {
    case kChar:
    case kSysChar:
    case kUniChar: {
      std::u16string units;
      if (text != nullptr) {
        units = *text;
      } else if (r.msg == kUniChar && vk >= 0x10000 && vk <= 0x10FFFF) {
        units.push_back(static_cast<char16_t>(((vk - 0x10000) >> 10) + 0xD800));
        units.push_back(static_cast<char16_t>((vk & 0x3FF) + 0xDC00));
      } else if ((vk & 0xFFFF) != 0) {
        units.push_back(static_cast<char16_t>(vk & 0xFFFF));
      }
      event.type = web::KeyEvent::Type::kChar;
      // A lone surrogate becomes U+FFFD in the conversion.
      event.text = Utf16ToUtf8(units);
      return event;
    }
    case kKeyDown:
    case kSysKeyDown:
    case kKeyUp:
    case kSysKeyUp: {
      const bool down = r.msg == kKeyDown || r.msg == kSysKeyDown;
      const DomKeyInfo info = DescribeKey(layout, vk, r.lparam, r.modifiers);
      event.type = down ? web::KeyEvent::Type::kRawKeyDown : web::KeyEvent::Type::kKeyUp;
      event.windows_virtual_key_code = vk;
      event.native_virtual_key_code = vk;  // the scan code is not sent
      event.auto_repeat = down && ((r.lparam >> 30) & 1) != 0;
      event.key = info.key;
      event.code = info.code;
      event.location = info.location;
      // The browser takes location 3 alone for 1: keypad keys say so explicitly.
      event.is_keypad = info.location == 3;
      event.is_system_key = r.msg == kSysKeyDown || r.msg == kSysKeyUp;
      return event;
    }
    default:
      return std::nullopt;
  }
}

std::string InsertedText(const std::u16string& text) { return Utf16ToUtf8(text.substr(0, text.find(u'\0'))); }

}  // namespace vyo::host
