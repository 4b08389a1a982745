#include <gtest/gtest.h>

#include "protocol/protocol.h"

namespace vyo::host {
namespace {

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> out;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  return out;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::string& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(HostMessages, GoldenBytes) {
  struct Case {
    const char* name;
    std::vector<uint8_t> actual;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"SharedTextureReady", Encode(SharedTextureReadyMsg{7, 640, 480, 87, 0x1122334455667788ull}),
       Words({7, 640, 480, 87, 0x55667788, 0x11223344})},
      {"PageMessage", Encode(PageMessageMsg{3, "{\"a\":1}"}), Cat(Words({3, 7}), "{\"a\":1}")},
      {"CursorChanged", Encode(CursorChangedMsg{4, 32512}), Words({4, 32512, 0, 0})},
      {"ViewStatus", Encode(ViewStatusMsg{5, 2}), Words({5, 2})},
      {"ButtonAtlasReady", Encode(ButtonAtlasReadyMsg{9, 20, 10}),
       Words({9, 3, 0, 0, 20, 10, 0, 10, 20, 10, 0, 20, 20, 10})},
      {"ModuleStatus", Encode(ModuleStatusMsg{2, 1, -3, "ok"}), Cat(Words({2, 1, 0xFFFFFFFDu, 2}), "ok")},
      {"ModuleOutput", Encode(ModuleOutputMsg{2, "hi"}), Cat(Words({2, 2}), "hi")},
      {"ViewCreated", Encode(ViewCreatedMsg{11, 4, 0, -1, 2, 300, 200, true, 6, true, false}),
       Words({11, 4, 0, 0xFFFFFFFFu, 2, 300, 200, 1, 6, 1, 0})},
      {"ViewChanged", Encode(ViewChangedMsg{11, 32, 0, 0, 0, 0, 0, 0, 0, 0, 1, 40}),
       Words({11, 32, 0, 0, 0, 0, 0, 0, 0, 0, 1, 40})},
      {"HostHello", Encode(HostHelloMsg{1, 0x1F, 0}), Words({1, 0x1F, 0})},
      {"ViewDestroyed", Encode(ViewDestroyedMsg{11, 4}), Words({11, 4})},
      {"ExitRequest", EncodeExitRequest(), Words({0})},
      {"EnvironmentResult", Encode(EnvironmentResultMsg{3, static_cast<int32_t>(0x80004005u), 120, "148.0"}),
       Cat(Words({3, 0x80004005u, 120, 5}), "148.0")},
      {"InputFocusChanged", Encode(InputFocusChangedMsg{8, 1}), Words({8, 1})},
      {"NativeButtonEvent", Encode(NativeButtonEventMsg{8, 5}), Words({8, 5})},
      {"WindowedRenderState", Encode(WindowedRenderStateMsg{1}), Words({1})},
      {"HitMaskHeartbeat", Encode(HitMaskHeartbeatMsg{1000, 2, 100}), Words({1000, 2, 100})},
      {"SelectionChanged", Encode(SelectionChangedMsg{8, 0}), Words({8, 0})},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.name;
  PopupStateMsg popup;
  popup.content_view_id = 1, popup.chrome_view_id = 2, popup.close_view_id = 3;
  popup.chrome = {4, 5, 6, 7};
  popup.close_button = {8, 9, 10, 11};
  popup.content = {12, 13, 14, 15};
  popup.popup = {16, 17, 18, 19};
  popup.title_bar = {20, 21, 22, 23};
  popup.surface_width = 24, popup.surface_height = 25;
  EXPECT_EQ(Encode(popup), Words({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                                  24, 25}));
}

TEST(HostMessages, FrameHeaderAndDecoders) {
  const std::vector<uint8_t> frame = BuildFrame(kHostHello, nullptr, 12);
  ASSERT_EQ(frame.size(), 28u);
  // "T2VW", version 1, type 110, length 12; a null payload of non-zero length gives zero bytes.
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 4), (std::vector<uint8_t>{0x54, 0x32, 0x56, 0x57}));
  EXPECT_EQ(DecodeFrameHeader(frame.data()).type, 110u);
  EXPECT_EQ(DecodeFrameHeader(frame.data()).length, 12u);
  EXPECT_TRUE(std::all_of(frame.begin() + 16, frame.end(), [](uint8_t b) { return b == 0; }));

  EXPECT_FALSE(IsValidFrameHeader(FrameHeader{kFrameMagic, 2, 1, 0}));
  EXPECT_FALSE(IsValidFrameHeader(FrameHeader{0x12345678, 1, 1, 0}));
  EXPECT_TRUE(IsValidFrameHeader(FrameHeader{kFrameMagic, 1, 1, 0x100000}));
  EXPECT_FALSE(IsValidFrameHeader(FrameHeader{kFrameMagic, 1, 1, 0x100001}));

  const auto created = DecodeViewCreated(Encode(ViewCreatedMsg{11, 4, 1, -1, 2, 300, 200, true, 6, true, true}));
  ASSERT_TRUE(created);
  EXPECT_EQ(created->x, -1);
  EXPECT_TRUE(created->relay_b);
  EXPECT_FALSE(DecodePageMessage(Words({3, 100})));  // the text length claims more than is there
}

}  // namespace
}  // namespace vyo::host
