// The keyboard-layout port: what key naming asks of the system's keyboard layout. Windows answers
// with its layout calls (in the OS layer); elsewhere a US-layout table stands in; tests script one.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace vyo::host {

class IKeyboardLayout {
 public:
  virtual ~IKeyboardLayout() = default;
  // The scan code of a virtual key, with the extended-key flag (bit 8) when the key's usual form is
  // extended (the editing and arrow keys, the right-hand modifiers ...); 0 when there is none.
  virtual uint32_t ScanCodeOf(uint32_t virtual_key) = 0;
  // The text the key types with Shift held or not (nothing else held): the UTF-16 units, or a
  // negative count for a dead key (the layout's dead-key state is left as it was).
  virtual int32_t Translate(uint32_t virtual_key, uint32_t scan_code, bool shift, std::u16string* text) = 0;
  // The modifier bits (Alt 1, Ctrl 2, Meta 4, Shift 8) of the keyboard as the system sees it now.
  virtual uint32_t ModifiersFromKeyboardState() = 0;
};

// A US keyboard layout from tables (no dead keys); its keyboard state has no key down.
std::unique_ptr<IKeyboardLayout> CreateUsKeyboardLayout();
// The system's layout where it has one (Windows), else the US tables.
std::unique_ptr<IKeyboardLayout> CreateSystemKeyboardLayout();

}  // namespace vyo::host
