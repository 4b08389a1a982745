#include "platform/keyboard.h"

#include <windows.h>

namespace vyo::platform {

bool HasSystemKeyboardLayout() { return true; }

uint32_t SystemScanCodeOf(uint32_t virtual_key) {
  // The extended form answers 0xE0xx for keys whose usual form is extended.
  const UINT code = MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC_EX);
  return (code & 0xFF) | (((code & 0xFF00) == 0xE000) ? 0x100u : 0u);
}

int32_t SystemTranslateKey(uint32_t virtual_key, uint32_t scan_code, bool shift, std::u16string* text) {
  BYTE state[256] = {};
  if (shift) state[VK_SHIFT] = state[VK_LSHIFT] = 0x80;
  wchar_t buffer[8] = {};
  // Flag 0x4: the keyboard state of the thread is left alone (no dead key is consumed or left
  // pending by naming a key).
  const UINT scan = scan_code != 0 ? scan_code : MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC);
  const int n = ToUnicode(virtual_key, scan, state, buffer, 7, 0x4);
  text->clear();
  if (n > 0) text->assign(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n));
  return n;
}

uint32_t SystemKeyboardModifiers() {
  const auto down = [](int vk) { return (GetKeyState(vk) & 0x8000) != 0; };
  return (down(VK_MENU) ? 1u : 0u) | (down(VK_CONTROL) ? 2u : 0u) | ((down(VK_LWIN) || down(VK_RWIN)) ? 4u : 0u) |
         (down(VK_SHIFT) ? 8u : 0u);
}

}  // namespace vyo::platform
