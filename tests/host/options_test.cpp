#include <gtest/gtest.h>

#include "base/text.h"
#include "host/host_options.h"

namespace vyo::host {
namespace {

std::vector<std::u16string> Args(std::initializer_list<const char*> list) {
  std::vector<std::u16string> out = {u"host.exe"};
  for (const char* a : list) out.push_back(Utf8ToUtf16(a));
  return out;
}

TEST(HostOptions, ProcessIdConversions) {
  struct Case {
    const char16_t* text;
    uint32_t expected;
  } cases[] = {
      {u"1234", 1234},    {u"  42", 42},      {u"+7", 7},          {u"12a", 12},
      {u"abc", 0},        {u"", 0},           {u"-5", 0},          {u"2147483647", 2147483647u},
      {u"2147483648", 0}, {u"99999999999999999999", 0}, {u"\t9", 9},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseProcessId(c.text), c.expected) << Utf16ToUtf8(c.text);
}

TEST(HostOptions, Unsigned64Conversions) {
  EXPECT_EQ(ParseUnsigned64(u"65552"), 65552u);
  EXPECT_EQ(ParseUnsigned64(u"18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(ParseUnsigned64(u"18446744073709551616"), UINT64_MAX);  // overflow saturates
  EXPECT_EQ(ParseUnsigned64(u"-1"), UINT64_MAX);                    // a minus sign negates
  EXPECT_EQ(ParseUnsigned64(u"x1"), 0u);
  EXPECT_EQ(ParseUnsigned64(u" 77zz"), 77u);
}

TEST(HostOptions, LookupRules) {
  // Case-insensitive names, first occurrence wins, a trailing option has no value.
  const auto args = Args({"--PIPE", "one", "--pipe", "two", "--Input-Map", "map", "--beat-map"});
  EXPECT_EQ(FindOption(args, u"--pipe"), u"one");
  EXPECT_EQ(FindOption(args, u"--input-map"), u"map");
  EXPECT_EQ(FindOption(args, u"--beat-map"), u"");
  // A value equal to an option name is still the value of the option before it.
  const auto tricky = Args({"--pipe", "--input-map", "x"});
  EXPECT_EQ(FindOption(tricky, u"--pipe"), u"--input-map");
  EXPECT_EQ(FindOption(tricky, u"--input-map"), u"x");
}

TEST(HostOptions, ValidationTable) {
  struct Case {
    std::vector<std::u16string> args;
    bool valid;
  } cases[] = {
      {Args({"--pipe", "p", "--input-map", "m", "--input-event", "e", "--parent-pid", "12"}), true},
      {Args({"--pipe", "p", "--input-map", "m", "--input-event", "e", "--parent-pid", "12x"}), true},
      {Args({"--pipe", "p", "--input-map", "m", "--input-event", "e", "--parent-pid", "0"}), false},
      {Args({"--pipe", "p", "--input-map", "m", "--input-event", "e", "--parent-pid", "abc"}), false},
      {Args({"--pipe", "p", "--input-map", "m", "--input-event", "e"}), false},
      {Args({"--input-map", "m", "--input-event", "e", "--parent-pid", "12", "--pipe"}), false},
      {Args({"--pipe", "p", "--input-event", "e", "--parent-pid", "12"}), false},
      {Args({"--pipe", "p", "--input-map", "m", "--parent-pid", "12"}), false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    bool windowed_error = false;
    EXPECT_EQ(IsValid(ParseHostOptions(cases[i].args, &windowed_error)), cases[i].valid) << "case " << i;
  }
}

TEST(HostOptions, WindowedPresentation) {
  struct Case {
    std::vector<std::u16string> args;
    bool windowed;
    bool error;
  } cases[] = {
      {Args({"--present-mode", "windowed", "--game-hwnd", "100", "--game-pid", "9"}), true, false},
      {Args({"--present-mode", "Windowed", "--game-hwnd", "100", "--game-pid", "9"}), false, false},
      {Args({"--present-mode", "windowed", "--game-hwnd", "100", "--game-pid", "0"}), false, true},
      {Args({"--present-mode", "windowed", "--game-pid", "9"}), false, true},
      {Args({"--present-mode", "texture"}), false, false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    bool windowed_error = false;
    const HostOptions o = ParseHostOptions(cases[i].args, &windowed_error);
    EXPECT_EQ(o.windowed, cases[i].windowed) << "case " << i;
    EXPECT_EQ(windowed_error, cases[i].error) << "case " << i;
  }
}

}  // namespace
}  // namespace vyo::host
