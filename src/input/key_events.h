// Keys and text for views: the DOM names of a key (key, code, location), the key events and text
// a record stands for, and the records they come from.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "input/keyboard_layout.h"
#include "protocol/shared_memory_layout.h"
#include "renderers/web/web_runtime.h"

namespace vyo::host {

// One input record as the overlay wrote it (little-endian, 304 bytes).
struct InputEvent {
  uint32_t view_id = 0;
  uint32_t msg = 0;
  uint64_t wparam = 0;
  uint64_t lparam = 0;
  int32_t x = 0, y = 0;
  uint32_t modifiers = 0;    // Alt 1, Ctrl 2, Meta 4, Shift 8
  uint32_t text_length = 0;  // insert-text records only
  std::u16string text;       // insert-text records: up to the first NUL, within the record
};
InputEvent ParseInputRecord(const InputRecord& record);

// Record kinds.
constexpr uint32_t kKeyDown = 0x100, kKeyUp = 0x101, kChar = 0x102, kSysKeyDown = 0x104, kSysKeyUp = 0x105,
                   kSysChar = 0x106, kUniChar = 0x109;
constexpr uint32_t kMouseMove = 0x200, kMouseLeave = 0x2A3;
constexpr uint32_t kInsertText = 0x10003, kCoalescedCustom = 0x10002;

struct DomKeyInfo {
  std::string key;   // UTF-8, may be empty
  std::string code;  // may be empty
  int32_t location = 0;  // 0 standard, 1 left, 2 right, 3 numeric keypad
};

std::string CodeFromScanCode(uint32_t scan, bool extended);
std::string CodeFromVirtualKey(uint32_t vk, bool extended);
std::string NamedKeyFromVirtualKey(uint32_t vk);
std::string CharacterKeyFromVirtualKey(IKeyboardLayout& layout, uint32_t vk, uint32_t scan, bool shift);
DomKeyInfo DescribeKey(IKeyboardLayout& layout, uint32_t vk, uint64_t lparam, uint32_t modifiers);

// Whether the record is the copy shortcut (Ctrl+C or Ctrl+Insert, or the character of Ctrl+C).
bool IsCopyShortcut(uint32_t msg, uint64_t wparam, uint32_t modifiers);

// The key event of a key or character record; nullopt for other kinds. `text` overrides the
// character of a character record (a surrogate pair joined by the caller).
std::optional<web::KeyEvent> BuildKeyEvent(IKeyboardLayout& layout, const InputEvent& record,
                                           const std::u16string* text = nullptr);
// The text a text record inserts: `text` up to its first NUL, as UTF-8.
std::string InsertedText(const std::u16string& text);

}  // namespace vyo::host
