#include "platform/keyboard.h"

namespace vyo::platform {

// No system layout here: the host's own tables answer.
bool HasSystemKeyboardLayout() { return false; }
uint32_t SystemScanCodeOf(uint32_t) { return 0; }
int32_t SystemTranslateKey(uint32_t, uint32_t, bool, std::u16string* text) {
  text->clear();
  return 0;
}
uint32_t SystemKeyboardModifiers() { return 0; }

}  // namespace vyo::platform
