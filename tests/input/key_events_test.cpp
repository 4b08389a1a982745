#include <gtest/gtest.h>

#include "fakes/fake_web_runtime.h"
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

// Every field of the event is checked (the fake's text names them all); the JSON the browser gets
// from these events is checked in the backend's tests.
TEST(KeyEvents, EventsOfKeyAndCharacterRecords) {
  auto layout = Us();
  const struct {
    InputEvent record;
    const char* event;
  } cases[] = {
      {Key(kKeyDown, 0x41, Scan(0x1E)),
       "rawKeyDown modifiers=0 key=a code=KeyA location=0 vk=65 native=65 repeat=0 keypad=0 system=0"},
      {Key(kKeyDown, 0x41, Scan(0x1E, false, true), 8),
       "rawKeyDown modifiers=8 key=A code=KeyA location=0 vk=65 native=65 repeat=1 keypad=0 system=0"},
      // Only the low four modifier bits are sent.
      {Key(kKeyUp, 0x41, Scan(0x1E, false, true), 0xF2),
       "keyUp modifiers=2 key=a code=KeyA location=0 vk=65 native=65 repeat=0 keypad=0 system=0"},
      {Key(kSysKeyUp, 0x12, Scan(0x38, true)),
       "keyUp modifiers=0 key=Alt code=AltRight location=2 vk=18 native=18 repeat=0 keypad=0 system=1"},
      {Key(kSysKeyDown, 0x12, Scan(0x38)),
       "rawKeyDown modifiers=0 key=Alt code=AltLeft location=1 vk=18 native=18 repeat=0 keypad=0 system=1"},
      // Without a scan code the arrow key's own (extended) form is named, not its keypad twin.
      {Key(kKeyDown, 0x25),
       "rawKeyDown modifiers=0 key=ArrowLeft code=ArrowLeft location=0 vk=37 native=37 repeat=0 keypad=0 system=0"},
      // The keypad twin says it is a keypad key.
      {Key(kKeyDown, 0x64, Scan(0x4B)),
       "rawKeyDown modifiers=0 key=4 code=Numpad4 location=3 vk=100 native=100 repeat=0 keypad=1 system=0"},
      // The extended bit tells NumLock from Pause.
      {Key(kKeyUp, 0x90, Scan(0x45, true)),
       "keyUp modifiers=0 key=NumLock code=NumLock location=0 vk=144 native=144 repeat=0 keypad=0 system=0"},
      {Key(kKeyUp, 0x13, Scan(0x45)),
       "keyUp modifiers=0 key=Pause code=Pause location=0 vk=19 native=19 repeat=0 keypad=0 system=0"},
      // No such key: no key and no code, never a read beyond the tables.
      {Key(kKeyDown, 0x1FF), "rawKeyDown modifiers=0 key= code= location=0 vk=511 native=511 repeat=0 keypad=0 system=0"},
      {Key(kChar, 0x22, 0, 2), "char modifiers=2 text=\""},
      {Key(kSysChar, 0x01), "char modifiers=0 text=\x01"},
      {Key(kUniChar, 0x1F600), "char modifiers=0 text=\xF0\x9F\x98\x80"},
      // A lone surrogate becomes U+FFFD; a character 0 types nothing.
      {Key(kChar, 0xDC00), "char modifiers=0 text=\xEF\xBF\xBD"},
      {Key(kChar, 0x10000), "char modifiers=0 text="},
  };
  for (const auto& c : cases) {
    const std::optional<web::KeyEvent> event = BuildKeyEvent(*layout, c.record);
    ASSERT_TRUE(event) << c.event;
    EXPECT_EQ(testing::KeyEventText(*event), c.event);
  }
  // A joined surrogate pair replaces the record's own character.
  const std::u16string pair = u"\U0001F600";
  const std::optional<web::KeyEvent> joined = BuildKeyEvent(*layout, Key(kChar, 0xDE00), &pair);
  ASSERT_TRUE(joined);
  EXPECT_EQ(testing::KeyEventText(*joined), "char modifiers=0 text=\xF0\x9F\x98\x80");
  // Other kinds are no key event.
  EXPECT_FALSE(BuildKeyEvent(*layout, Key(0x200, 0x41)));
  EXPECT_FALSE(BuildKeyEvent(*layout, Key(kInsertText, 0x41)));
}

TEST(KeyEvents, CopyShortcutAndInsertedText) {
  EXPECT_TRUE(IsCopyShortcut(kKeyDown, 'C', 2));
  EXPECT_TRUE(IsCopyShortcut(kKeyUp, 0x2D, 2));
  EXPECT_TRUE(IsCopyShortcut(kChar, 3, 0));
  EXPECT_FALSE(IsCopyShortcut(kKeyDown, 'C', 2 | 8));  // Ctrl+Shift+C opens developer tools: blocked, not copied
  EXPECT_FALSE(IsCopyShortcut(kKeyDown, 'C', 0));
  EXPECT_EQ(InsertedText(u"h\"i\\\u00E9"), "h\"i\\\xC3\xA9");
  EXPECT_EQ(InsertedText(std::u16string(u"ab\0cd", 5)), "ab");
  EXPECT_EQ(InsertedText(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vyo::host
