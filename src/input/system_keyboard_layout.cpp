#include "input/keyboard_layout.h"
#include "platform/keyboard.h"

namespace vyo::host {
namespace {

// The system's own layout (Windows), through the OS layer.
class SystemKeyboardLayout final : public IKeyboardLayout {
 public:
  uint32_t ScanCodeOf(uint32_t virtual_key) override { return platform::SystemScanCodeOf(virtual_key); }
  int32_t Translate(uint32_t virtual_key, uint32_t scan_code, bool shift, std::u16string* text) override {
    return platform::SystemTranslateKey(virtual_key, scan_code, shift, text);
  }
  uint32_t ModifiersFromKeyboardState() override { return platform::SystemKeyboardModifiers(); }
};

}  // namespace

std::unique_ptr<IKeyboardLayout> CreateSystemKeyboardLayout() {
  if (!platform::HasSystemKeyboardLayout()) return CreateUsKeyboardLayout();
  return std::make_unique<SystemKeyboardLayout>();
}

}  // namespace vyo::host
