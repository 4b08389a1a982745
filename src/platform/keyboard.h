// The system's keyboard layout, where the system has one to ask (Windows). Elsewhere
// HasSystemKeyboardLayout is false and callers use their own tables.
#pragma once
#include <cstdint>
#include <string>

namespace vyo::platform {

bool HasSystemKeyboardLayout();
// The scan code of a virtual key in the current layout, with bit 8 set for its extended form.
uint32_t SystemScanCodeOf(uint32_t virtual_key);
// The text the key types with Shift held or not (nothing else held), without disturbing a dead key
// the user is typing: the number of UTF-16 units, negative for a dead key.
int32_t SystemTranslateKey(uint32_t virtual_key, uint32_t scan_code, bool shift, std::u16string* text);
// Alt 1, Ctrl 2, Meta 4, Shift 8 as the calling thread's keyboard state has them.
uint32_t SystemKeyboardModifiers();

}  // namespace vyo::platform
