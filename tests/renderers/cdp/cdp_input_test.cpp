#include <gtest/gtest.h>

#include <cstdint>

#include <nlohmann/json.hpp>

#include "renderers/cdp/cdp_input.h"

namespace vyo::web::cdp {
namespace {

using Json = nlohmann::json;

TEST(CdpInput, ClicksAreCountedByTimeDistanceAndButton) {
  ClickCounter clicks;  // 500 ms, 4 px
  const struct {
    int32_t button, x, y;
    uint64_t at;
    int32_t count;
  } presses[] = {
      {1, 10, 10, 0, 1},    {1, 12, 13, 300, 2},  {1, 12, 13, 700, 3},  // a triple click
      {1, 12, 13, 900, 1},                                              // a series ends after three
      {1, 17, 13, 1000, 1},                                             // too far
      {1, 17, 13, 1600, 1},                                             // too late
      {3, 17, 13, 1700, 1},                                             // another button
      // Positions at the ends of 32 bits: far apart, and no overflow working that out.
      {1, INT32_MIN, INT32_MIN, 2000, 1},   {1, INT32_MAX, INT32_MAX, 2100, 1},
      {1, INT32_MAX, INT32_MAX, 2200, 2},
  };
  for (const auto& p : presses) EXPECT_EQ(clicks.Press(p.button, p.x, p.y, p.at), p.count) << p.at;
  EXPECT_EQ(clicks.Release(3), 1);
}

TEST(CdpInput, MouseEventParameters) {
  ClickCounter clicks;
  const auto params = [&](int32_t kind, uint32_t keys, int32_t data, int32_t x, int32_t y, double factor = 1.0) {
    auto text = MouseEventParams(kind, keys, data, x, y, factor, clicks, 0);
    return text ? Json::parse(*text) : Json();
  };
  Json down = params(0x201, 0x1 | 0x8, 0, 100, 50, 2.0);  // left down with Ctrl, zoom 2
  EXPECT_EQ(down["type"], "mousePressed");
  EXPECT_EQ(down["button"], "left");
  EXPECT_EQ(down["buttons"], 1);
  EXPECT_EQ(down["modifiers"], 2);
  EXPECT_EQ(down["x"], 50.0);
  EXPECT_EQ(down["clickCount"], 1);
  // The overlay's double-click record is the second press of a series.
  EXPECT_EQ(params(0x203, 0x1, 0, 100, 50, 2.0)["clickCount"], 2);
  EXPECT_EQ(params(0x202, 0, 0, 100, 50, 2.0)["clickCount"], 2);
  Json wheel = params(0x20A, 0, -120, 5, 5);
  EXPECT_EQ(wheel["type"], "mouseWheel");
  EXPECT_EQ(wheel["deltaY"], 120);
  EXPECT_EQ(params(0x20E, 0, 120, 5, 5)["deltaX"], 120);
  Json leave = params(0x2A3, 0, 0, 7, 7);
  EXPECT_EQ(leave["type"], "mouseMoved");
  EXPECT_EQ(leave["x"], -1.0);
  EXPECT_EQ(params(0x20B, 0x40, 2, 1, 1)["button"], "forward");
  EXPECT_EQ(params(0x20B, 0x20, 1, 1, 1)["button"], "back");
  EXPECT_FALSE(MouseEventParams(0x100, 0, 0, 0, 0, 1.0, clicks, 0));
}

// The parameters of the key events the input side sends, exactly as the browser receives them.
TEST(CdpInput, KeyEventParameters) {
  using Type = KeyEvent::Type;
  const auto key = [](Type type, uint32_t modifiers, uint32_t vk, bool repeat, const char* k, const char* code,
                      int32_t location, bool keypad = false, bool system = false) {
    KeyEvent e;
    e.type = type;
    e.modifiers = modifiers;
    e.windows_virtual_key_code = vk;
    e.native_virtual_key_code = vk;
    e.auto_repeat = repeat;
    e.key = k;
    e.code = code;
    e.location = location;
    e.is_keypad = keypad;
    e.is_system_key = system;
    return e;
  };
  const auto character = [](const std::string& text, uint32_t modifiers = 0) {
    KeyEvent e;
    e.type = Type::kChar;
    e.modifiers = modifiers;
    e.text = text;
    e.key = "ignored";  // a character event carries its text only
    e.windows_virtual_key_code = 65;
    return e;
  };
  const struct {
    KeyEvent event;
    const char* json;
  } cases[] = {
      {key(Type::kRawKeyDown, 0, 65, false, "a", "KeyA", 0),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":65,"nativeVirtualKeyCode":65,"autoRepeat":false,"key":"a","code":"KeyA","location":0})"},
      {key(Type::kRawKeyDown, 8, 65, true, "A", "KeyA", 0),
       R"({"modifiers":8,"type":"rawKeyDown","windowsVirtualKeyCode":65,"nativeVirtualKeyCode":65,"autoRepeat":true,"key":"A","code":"KeyA","location":0})"},
      // Key-up events say nothing of repeating; system keys say so.
      {key(Type::kKeyUp, 0, 18, true, "Alt", "AltRight", 2, false, true),
       R"({"modifiers":0,"type":"keyUp","windowsVirtualKeyCode":18,"nativeVirtualKeyCode":18,"key":"Alt","code":"AltRight","location":2,"isSystemKey":true})"},
      {key(Type::kRawKeyDown, 0, 18, false, "Alt", "AltLeft", 1, false, true),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":18,"nativeVirtualKeyCode":18,"autoRepeat":false,"key":"Alt","code":"AltLeft","location":1,"isSystemKey":true})"},
      {key(Type::kRawKeyDown, 0, 37, false, "ArrowLeft", "ArrowLeft", 0),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":37,"nativeVirtualKeyCode":37,"autoRepeat":false,"key":"ArrowLeft","code":"ArrowLeft","location":0})"},
      {key(Type::kRawKeyDown, 0, 100, false, "4", "Numpad4", 3, true),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":100,"nativeVirtualKeyCode":100,"autoRepeat":false,"key":"4","code":"Numpad4","location":3,"isKeypad":true})"},
      {key(Type::kKeyUp, 0, 144, false, "NumLock", "NumLock", 0),
       R"({"modifiers":0,"type":"keyUp","windowsVirtualKeyCode":144,"nativeVirtualKeyCode":144,"key":"NumLock","code":"NumLock","location":0})"},
      // No key and no code: neither member is sent.
      {key(Type::kRawKeyDown, 0, 511, false, "", "", 0),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":511,"nativeVirtualKeyCode":511,"autoRepeat":false,"location":0})"},
      // Only the low four modifier bits are sent; names are escaped.
      {key(Type::kKeyUp, 0xF2, 222, false, "\"", "Quote", 0),
       R"({"modifiers":2,"type":"keyUp","windowsVirtualKeyCode":222,"nativeVirtualKeyCode":222,"key":"\"","code":"Quote","location":0})"},
      {key(Type::kRawKeyDown, 0, 220, false, "\\", "Backslash", 0),
       R"({"modifiers":0,"type":"rawKeyDown","windowsVirtualKeyCode":220,"nativeVirtualKeyCode":220,"autoRepeat":false,"key":"\\","code":"Backslash","location":0})"},
      {character("\""), R"({"modifiers":0,"type":"char","text":"\""})"},
      {character("\x01", 2), R"({"modifiers":2,"type":"char","text":"\u0001"})"},
      {character("\xF0\x9F\x98\x80"), "{\"modifiers\":0,\"type\":\"char\",\"text\":\"\xF0\x9F\x98\x80\"}"},
      {character("\xEF\xBF\xBD"), "{\"modifiers\":0,\"type\":\"char\",\"text\":\"\xEF\xBF\xBD\"}"},
      {character(""), R"({"modifiers":0,"type":"char","text":""})"},
  };
  for (const auto& c : cases) {
    const std::string json = BuildKeyEventJson(c.event);
    EXPECT_EQ(json, c.json);
    EXPECT_TRUE(Json::accept(json)) << json;
  }
}

TEST(CdpInput, InsertTextParameters) {
  EXPECT_EQ(BuildInsertTextJson("h\"i\\"), R"({"text":"h\"i\\"})");
  EXPECT_EQ(BuildInsertTextJson("line\nnext\ttab/"), R"({"text":"line\nnext\ttab/"})");
  EXPECT_EQ(BuildInsertTextJson("h\xC3\xA9"), "{\"text\":\"h\xC3\xA9\"}");
  EXPECT_EQ(BuildInsertTextJson(""), R"({"text":""})");
}

}  // namespace
}  // namespace vyo::web::cdp
