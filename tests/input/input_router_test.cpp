#include <gtest/gtest.h>

#include "fakes/app_harness.h"
#include "fakes/fake_web_runtime.h"
#include "fakes/input_records.h"

namespace vyo::host {
namespace {

using testing::MakeRecord;

struct InputFixture : testing::AppHarness {
  void SetUp() override { ConnectPipe(); }
  // One drain pass of the given records, then the input stage's flush.
  void Drain(const std::vector<InputRecord>& records) {
    app->input().BeginInputStage();
    for (const auto& r : records) app->input().OnInputRecord(r);
    app->input().OnDrainEnd();
    app->input().FlushPendingPointerMoves();
  }
  std::vector<std::string> Calls(uint32_t id, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& c : web_views[id]->calls)
      if (c.rfind(name + "(", 0) == 0) out.push_back(c.substr(name.size() + 1, c.size() - name.size() - 2));
    return out;
  }
};

TEST_F(InputFixture, MovesAreCoalescedPerViewAndKeepTheirPlace) {
  AddWebView(5);
  AddWebView(3);
  AddWebView(7);
  // Three moves then a button-down for view 5: the last move goes first, then the button.
  Drain({MakeRecord(5, 0x200, 0, 1, 1), MakeRecord(5, 0x200, 0, 2, 2), MakeRecord(5, 0x200, 0, 3, 3),
         MakeRecord(5, 0x201, 1, 3, 3)});
  EXPECT_EQ(Calls(5, "SendMouseInput"), (std::vector<std::string>{"512 0 0 3,3", "513 1 0 3,3"}));
  EXPECT_EQ(app->input().stats().coalesced_moves, 2u);
  // Moves for views 7 and 3 reach them after the drain, view 3 first.
  std::vector<uint32_t> order;
  testing::FakeRuntimeCallCheck() = [&](const std::string& call) {
    if (call == "SendMouseInput") order.push_back(static_cast<uint32_t>(order.size()));
  };
  Drain({MakeRecord(7, 0x200, 0, 9, 9), MakeRecord(3, 0x200, 0, 8, 8)});
  testing::FakeRuntimeCallCheck() = nullptr;
  EXPECT_EQ(Calls(3, "SendMouseInput"), (std::vector<std::string>{"512 0 0 8,8"}));
  EXPECT_EQ(Calls(7, "SendMouseInput"), (std::vector<std::string>{"512 0 0 9,9"}));
  EXPECT_EQ(order.size(), 2u);
}

TEST_F(InputFixture, RecordsAreRoutedByKind) {
  testing::FakeWebView& wv = AddWebView(1);
  Drain({
      MakeRecord(1, 0x20A, 0xFF880000ull, 4, 5),  // wheel: signed delta
      MakeRecord(1, 0x20B, 0x00020020ull, 4, 5),  // X button 2 down
      MakeRecord(1, 0x2A3),                       // leave
      MakeRecord(1, 0x10003, 0, 0, 0, 0, 0, u"hé"),
      MakeRecord(1, 0x10003),                     // no text: nothing
      MakeRecord(1, 0x10001),                     // activity only
  });
  EXPECT_EQ(Calls(1, "SendMouseInput"), (std::vector<std::string>{"522 0 -120 4,5", "523 32 2 4,5", "675 0 0 0,0"}));
  EXPECT_EQ(wv.calls.back(), "InsertText(h\xC3\xA9)");
  EXPECT_EQ(Calls(1, "InsertText").size(), 1u);
  EXPECT_TRUE(Calls(1, "DispatchKeyEvent").empty());
}

TEST_F(InputFixture, MissingViewsAndControllersAreDroppedWithBudgetedLines) {
  service().EnsureView(2, 10, 10, true, u"");  // a view without a web view
  std::vector<InputRecord> records;
  for (int i = 0; i < 6; ++i) records.push_back(MakeRecord(99, 0x201, 1, i, i));
  for (int i = 0; i < 6; ++i) records.push_back(MakeRecord(2, 0x201, 1, i, i));
  Drain(records);
  int missing = 0, no_controller = 0;
  for (const auto& line : Logs()) {
    if (line.rfind("input dropped, reason=view_missing, view_id=99, msg=0x201, point=", 0) == 0) ++missing;
    if (line.rfind("input dropped, reason=no_controller, view_id=2, msg=0x201, point=", 0) == 0) ++no_controller;
  }
  EXPECT_EQ(missing, 4);
  EXPECT_EQ(no_controller, 4);
  EXPECT_EQ(app->input().stats().view_missing, 6u);
  EXPECT_EQ(app->input().stats().no_controller, 6u);
}

TEST_F(InputFixture, KeysBecomeKeyEventsWithShortcutsHandledHere) {
  testing::FakeWebView& wv = AddWebView(1);
  app->pages().selection_store().Set(1, u"copied");
  Drain({
      MakeRecord(1, 0x100, 'C', 0, 0, 0, 2),        // Ctrl+C: copies, not forwarded
      MakeRecord(1, 0x101, 'C', 0, 0, 0, 2),
      MakeRecord(1, 0x102, 3),
      MakeRecord(1, 0x100, 'C', 0, 0, 0, 2 | 8),    // Ctrl+Shift+C: swallowed
      MakeRecord(1, 0x100, 0x74),                   // F5: swallowed
      MakeRecord(1, 0x100, 'Q', 0, 0, 0x100000, 2 | 1),  // AltGr+Q: forwarded
      MakeRecord(1, 0x102, '@', 0, 0, 0, 2 | 1),
      MakeRecord(1, 0x102, 0xD83D),                 // a pair in two records
      MakeRecord(1, 0x102, 0xDE00),
  });
  std::vector<std::string> sent;
  for (const auto& c : wv.calls)
    if (c.rfind("DispatchKeyEvent(", 0) == 0 || c.rfind("InsertText(", 0) == 0) sent.push_back(c);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0],
            "DispatchKeyEvent(rawKeyDown modifiers=3 key=q code=KeyQ location=0 vk=81 native=81 repeat=0 keypad=0 "
            "system=0)");
  EXPECT_EQ(sent[1], "InsertText(@)");
  EXPECT_EQ(sent[2], "DispatchKeyEvent(char modifiers=0 text=\xF0\x9F\x98\x80)");
  EXPECT_TRUE(Logged("CopySelectionToClipboard view_id=1 chars=6"));
}

TEST_F(InputFixture, ButtonsHeldInAPageAreReleasedWhenItIsHiddenLosesFocusOrCloses) {
  AddWebView(1);
  AddWebView(2);
  AddWebView(3);
  // Left and right held in view 1, left in view 2, left in view 3 then released there.
  Drain({MakeRecord(1, 0x201, 0x1, 5, 6), MakeRecord(1, 0x204, 0x3, 7, 8), MakeRecord(2, 0x201, 0x1, 1, 1),
         MakeRecord(3, 0x201, 0x1, 2, 2), MakeRecord(3, 0x202, 0x0, 2, 2)});
  service().SetViewVisible(1, false);
  EXPECT_EQ(Calls(1, "SendMouseInput"),
            (std::vector<std::string>{"513 1 0 5,6", "516 3 0 7,8", "514 2 0 7,8", "517 0 0 7,8"}));
  app->focus().SetFocus(2);
  app->focus().ClearFocus();
  EXPECT_EQ(Calls(2, "SendMouseInput").back(), "514 0 0 1,1");
  const auto three = Calls(3, "SendMouseInput").size();
  service().DestroyView(3, true);  // nothing held there: nothing more sent
  EXPECT_EQ(three, 2u);
}

struct WindowedInput : testing::StartedAppHarness {
  std::vector<std::pair<uint32_t, uint32_t>> ButtonEvents() {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& [type, payload] : Sent(kNativeButtonEventMsg)) {
      out.emplace_back(payload[0] | (payload[1] << 8), payload[4]);
    }
    return out;
  }
};

TEST_F(WindowedInput, NativeButtonsAreHoveredPressedAndClickedNeverInjected) {
  HostOptions options;
  options.windowed = true;
  Start(options);
  for (uint32_t id : {11u, 12u}) {
    service().EnsureView(id, 10, 10, true, u"");
    WithView(id, [](ViewState* v) { v->kind = ViewKind::kNative; });
  }
  InputRouter& input = app->input();
  const auto drain = [&](std::vector<InputRecord> records) {
    for (const auto& r : records) input.OnInputRecord(r);
    input.OnDrainEnd();
    input.FlushPendingPointerMoves();
  };
  // Press on A and release over A: hover, press, release and click.
  drain({testing::MakeRecord(11, 0x200), testing::MakeRecord(11, 0x201, 1), testing::MakeRecord(11, 0x202)});
  // Press on A, then a move with the left button up over B: release without click, hover moves.
  drain({testing::MakeRecord(11, 0x201, 1)});
  drain({testing::MakeRecord(12, 0x200, 0)});
  EXPECT_EQ(app->buttons().ButtonState(11), 0u);  // released
  EXPECT_EQ(app->buttons().ButtonState(12), 1u);  // hovered
  // The pointer leaves: no hover left.
  drain({testing::MakeRecord(12, 0x2A3)});
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {11, 1}, {11, 3}, {11, 4}, {11, 5}, {11, 3}, {11, 4}, {11, 2}, {12, 1}, {12, 2}};
  EXPECT_EQ(ButtonEvents(), expected);
  // The pictures the buttons show: both back to normal.
  EXPECT_EQ(app->buttons().ButtonState(11), 0u);
  EXPECT_EQ(app->buttons().ButtonState(12), 0u);
  EXPECT_EQ(input.stats().mouse_sent, 0u);
}

}  // namespace
}  // namespace vyo::host
