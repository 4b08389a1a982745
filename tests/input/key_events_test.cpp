#include <gtest/gtest.h>

#include "input/key_events.h"

namespace vyo::host {
namespace {

std::unique_ptr<IKeyboardLayout> Us() { return CreateUsKeyboardLayout(); }

InputEvent Key(uint32_t msg, uint64_t vk, uint64_t lparam = 0, uint32_t modifiers = 0) {
  InputEvent e;
  e.view_id = 1;
  e.msg = msg;
  e.wparam = vk;
  e.lparam = lparam;
  e.modifiers = modifiers;
  return e;
}

constexpr uint64_t Scan(uint32_t scan, bool extended = false, bool repeat = false) {
  return (static_cast<uint64_t>(scan) << 16) | (extended ? (1ull << 24) : 0) | (repeat ? (1ull << 30) : 0);
}

TEST(KeyEvents, ParametersOfKeyAndCharacterRecords) {
  auto layout = Us();
  const struct {
    InputEvent record;
    const char* json;
  } cases[] = {
      {Key(kKeyDown, 0x41, Scan(0x1E)),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":65,"nativeVirtualKeyCode":65,"autoRepeat":false,"key":"a","code":"KeyA","location":0})"},
      {Key(kKeyDown, 0x41, Scan(0x1E, false, true), 8),
       R"({"modifiers":8,"type":"rawKeyDown","windowsVirtualKeyCode":65,"nativeVirtualKeyCode":65,"autoRepeat":true,"key":"A","code":"KeyA","location":0})"},
      {Key(kSysKeyUp, 0x12, Scan(0x38, true)),
       R"({"modifiers":0,"type":"keyUp","windowsVirtualKeyCode":18,"nativeVirtualKeyCode":18,"key":"Alt","code":"AltRight","location":2,"isSystemKey":true})"},
      // Without a scan code the arrow key's own (extended) form is named, not its keypad twin.
      {Key(kKeyDown, 0x25),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":37,"nativeVirtualKeyCode":37,"autoRepeat":false,"key":"ArrowLeft","code":"ArrowLeft","location":0})"},
      // The keypad twin says it is a keypad key.
      {Key(kKeyDown, 0x64, Scan(0x4B)),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":100,"nativeVirtualKeyCode":100,"autoRepeat":false,"key":"4","code":"Numpad4","location":3,"isKeypad":true})"},
      // The extended bit tells NumLock from Pause.
      {Key(kKeyUp, 0x90, Scan(0x45, true)),
       R"({"modifiers":0,"type":"keyUp","windowsVirtualKeyCode":144,"nativeVirtualKeyCode":144,"key":"NumLock","code":"NumLock","location":0})"},
      {Key(kKeyUp, 0x13, Scan(0x45)),
       R"({"modifiers":0,"type":"keyUp","windowsVirtualKeyCode":19,"nativeVirtualKeyCode":19,"key":"Pause","code":"Pause","location":0})"},
      // No such key: no key and no code, never a read beyond the tables.
      {Key(kKeyDown, 0x1FF),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":511,"nativeVirtualKeyCode":511,"autoRepeat":false,"location":0})"},
      {Key(kChar, 0x22), R"({"modifiers":0,"type":"char","text":"\""})"},
      {Key(kChar, 0x01), R"({"modifiers":0,"type":"char","text":"\u0001"})"},
      {Key(kUniChar, 0x1F600), "{\"modifiers\":0,\"type\":\"char\",\"text\":\"\xF0\x9F\x98\x80\"}"},
      // A lone surrogate becomes U+FFFD.
      {Key(kChar, 0xDC00), "{\"modifiers\":0,\"type\":\"char\",\"text\":\"\xEF\xBF\xBD\"}"},
      {Key(0x200, 0x41), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(BuildKeyEventJson(*layout, c.record), c.json) << c.json;
}

TEST(KeyEvents, CopyShortcutAndInsertText) {
  EXPECT_TRUE(IsCopyShortcut(kKeyDown, 'C', 2));
  EXPECT_TRUE(IsCopyShortcut(kKeyUp, 0x2D, 2));
  EXPECT_TRUE(IsCopyShortcut(kChar, 3, 0));
  EXPECT_FALSE(IsCopyShortcut(kKeyDown, 'C', 2 | 8));  // Ctrl+Shift+C opens developer tools: blocked, not copied
  EXPECT_FALSE(IsCopyShortcut(kKeyDown, 'C', 0));
  EXPECT_EQ(BuildInsertTextJson(u"h\"i\\"), R"({"text":"h\"i\\"})");
  EXPECT_EQ(BuildInsertTextJson(std::u16string(u"ab\0cd", 5)), R"({"text":"ab"})");
}

}  // namespace
}  // namespace vyo::host
