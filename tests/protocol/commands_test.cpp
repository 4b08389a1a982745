#include <gtest/gtest.h>

#include "protocol/commands.h"
#include "protocol/wire.h"

namespace vyo::host {
namespace {

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  ByteWriter w;
  for (uint32_t v : words) w.U32(v);
  return w.Take();
}

TEST(Commands, MinimumSizes) {
  // Every known type: one byte short is ignored, the minimum size decodes.
  const std::pair<uint32_t, uint32_t> sizes[] = {
      {1, 28}, {2, 4},  {3, 20},  {4, 8},  {5, 8},  {6, 8},  {7, 4},  {8, 0},  {9, 8},  {10, 8},  {12, 8},
      {15, 36}, {18, 8}, {19, 8}, {20, 8}, {21, 24}, {22, 8}, {115, 8}, {117, 12}};
  for (const auto& [type, min] : sizes) {
    const std::vector<uint8_t> payload(min, 0);
    EXPECT_TRUE(DecodeCommand(type, payload.data(), payload.size())) << "type " << type;
    if (min > 0) {
      EXPECT_FALSE(DecodeCommand(type, payload.data(), payload.size() - 1)) << "type " << type;
    }
  }
  // Telemetry commands need a non-zero length that fits.
  EXPECT_FALSE(DecodeCommand(13, Words({0}).data(), 4));
  EXPECT_FALSE(DecodeCommand(14, Words({0}).data(), 4));
}

TEST(Commands, UnknownTypesAreIgnored) {
  const std::vector<uint8_t> payload(64, 1);
  for (uint32_t type : {0u, 11u, 16u, 17u, 23u, 100u, 114u, 116u, 118u, 5000u}) {
    EXPECT_FALSE(DecodeCommand(type, payload.data(), payload.size())) << type;
  }
}

TEST(Commands, TextRules) {
  // ViewCreate with URL length 5 takes 2 UTF-16 code units.
  ByteWriter w;
  for (uint32_t v : {7u, 1u, 2u, 100u, 50u, 1u, 5u}) w.U32(v);
  w.Utf16(u"abc");
  auto c = DecodeCommand(kViewCreate, w.bytes().data(), w.bytes().size());
  ASSERT_TRUE(c);
  EXPECT_EQ(std::get<ViewCreateCmd>(*c).url, u"ab");

  // A URL length that claims more than the payload holds gives an empty URL; the command runs.
  auto over = Words({7, 1, 2, 100, 50, 1, 400});
  c = DecodeCommand(kViewCreate, over.data(), over.size());
  ASSERT_TRUE(c);
  EXPECT_TRUE(std::get<ViewCreateCmd>(*c).url.empty());
  EXPECT_EQ(std::get<ViewCreateCmd>(*c).width, 100);

  // A lying length near 2^32 cannot wrap the bounds check.
  auto wrap = Words({3, 0xFFFFFFFFu});
  c = DecodeCommand(kViewPostMessage, wrap.data(), wrap.size());
  ASSERT_TRUE(c);
  EXPECT_TRUE(std::get<ViewPostMessageCmd>(*c).text.empty());
  EXPECT_FALSE(DecodeCommand(kTelemetryContext, Words({0xFFFFFFFFu, 0}).data(), 8));

  // Telemetry text that fits is taken.
  ByteWriter t;
  t.U32(3);
  t.Utf8("k=v");
  c = DecodeCommand(kTelemetryContext, t.bytes().data(), t.bytes().size());
  ASSERT_TRUE(c);
  EXPECT_EQ(std::get<TelemetryContextCmd>(*c).text, "k=v");
}

TEST(Commands, NativeButtonPaths) {
  auto build = [](uint32_t l1, uint32_t l2, uint32_t l3, const std::u16string& tail) {
    ByteWriter w;
    for (uint32_t v : {9u, 0u, 0u, 40u, 20u, 1u, l1, l2, l3}) w.U32(v);
    w.Utf16(tail);
    return w.Take();
  };
  // Zero lengths consume nothing: the second path starts where the first would have.
  auto p = build(0, 4, 2, u"hvp");
  auto c = DecodeCommand(kNativeButtonCreate, p.data(), p.size());
  ASSERT_TRUE(c);
  const auto& b = std::get<NativeButtonCreateCmd>(*c);
  EXPECT_EQ(b.normal, u"");
  EXPECT_EQ(b.hover, u"hv");
  EXPECT_EQ(b.pressed, u"p");
  // A second length that does not fit drops the whole command.
  p = build(2, 100, 0, u"n");
  EXPECT_FALSE(DecodeCommand(kNativeButtonCreate, p.data(), p.size()));
}

TEST(Commands, EncodeDecodeRoundTrip) {
  const Command commands[] = {
      ViewCreateCmd{1, -5, 6, 800, 600, true, u"vyopkg:C:\\ui.pkg"},
      ViewSetRectCmd{2, 1, 2, 3, 4},
      ViewNavigateCmd{3, u"https://a.invalid/"},
      ModuleMessageCmd{4, "login_info"},
      SetPresentationModeCmd{1, 2, 0x1234567890ull, 77},
      PopupPlaceCmd{5, -10, 20},
  };
  for (const auto& cmd : commands) {
    const auto bytes = EncodeCommand(cmd);
    const auto decoded = DecodeCommand(CommandTypeOf(cmd), bytes.data(), bytes.size());
    ASSERT_TRUE(decoded) << CommandName(CommandTypeOf(cmd));
    EXPECT_EQ(decoded->index(), cmd.index());
    EXPECT_EQ(EncodeCommand(*decoded), bytes) << CommandName(CommandTypeOf(cmd));
  }
}

}  // namespace
}  // namespace vyo::host
