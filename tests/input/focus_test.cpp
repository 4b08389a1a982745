#include <gtest/gtest.h>

#include "fakes/app_harness.h"
#include "fakes/fake_web_runtime.h"

namespace vyo::host {
namespace {

struct FocusFixture : testing::AppHarness {
  void SetUp() override { ConnectPipe(); }
  // The focus emulation requests sent to a view: "1" on, "0" off.
  std::vector<std::string> Requests(uint32_t id) {
    std::vector<std::string> out;
    for (const auto& c : web_views[id]->calls)
      if (c.rfind("SetFocusEmulationEnabled(", 0) == 0) out.push_back(c.substr(25, c.size() - 26));
    return out;
  }
  int Lines(const std::string& prefix) {
    int n = 0;
    for (const auto& l : Logs()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
};

TEST_F(FocusFixture, SetFocusMovesEmulationBetweenViews) {
  testing::FakeWebView& five = AddWebView(5);
  testing::FakeWebView& seven = AddWebView(7);
  FocusController& focus = app->focus();
  focus.SetFocus(5);
  five.CompleteCall(web::kOk);
  focus.SetFocus(7);
  five.CompleteCall(web::kOk);
  seven.CompleteCall(web::kOk);
  EXPECT_EQ(Requests(5), (std::vector<std::string>{"1", "0"}));
  EXPECT_EQ(Requests(7), (std::vector<std::string>{"1"}));
  EXPECT_TRUE(Logged("SetFocus logical, view_id=7"));
  EXPECT_EQ(app->counters().set_focus_count, 2u);
  EXPECT_TRUE(app->focus().HasLogicalFocus(7));
  EXPECT_FALSE(app->focus().HasLogicalFocus(5));
  EXPECT_TRUE(Focus(7).focus_emulation_enabled);
}

TEST_F(FocusFixture, FailuresAreRetriedWithinTheBudgetAndStaleAnswersChangeNothing) {
  testing::FakeWebView& view = AddWebView(3);
  app->focus().SetFocus(3);
  for (int i = 0; i < 3; ++i) view.CompleteCall(web::kFail);
  EXPECT_EQ(Requests(3).size(), 3u);  // the budget is spent: no fourth request
  EXPECT_TRUE(view.pending_results.empty());
  EXPECT_EQ(Lines("focus emulation failed, view_id=3, enabled=1, epoch="), 3);
  // The wanted state changes: a fresh budget.
  app->focus().SetFocus(0);
  app->focus().SetFocus(3);
  ASSERT_EQ(view.pending_results.size(), 1u);
  // The web view is replaced while the request is in flight: its answer is stale.
  service().DestroyView(3, true);
  view.CompleteCall(web::kOk);
  EXPECT_EQ(Lines("focus emulation stale, view_id=3, enabled=1"), 1);
}

TEST_F(FocusFixture, ClearFocusBlursEveryViewAndStopsEmulation) {
  testing::FakeWebView& a = AddWebView(1);
  testing::FakeWebView& b = AddWebView(2);
  app->focus().ClearFocus();  // no logical focus: no request, no line, the blur still runs
  EXPECT_TRUE(Requests(1).empty());
  EXPECT_EQ(Lines("ClearFocus logical"), 0);
  EXPECT_EQ(a.executed_scripts.size(), 1u);
  EXPECT_EQ(b.executed_scripts.size(), 1u);
  app->focus().SetFocus(2);
  b.CompleteCall(web::kOk);
  app->pages().input_focus().ForceInputFocus(2);
  app->focus().ClearFocus();
  EXPECT_EQ(Requests(2), (std::vector<std::string>{"1", "0"}));
  EXPECT_TRUE(Logged("ClearFocus logical, view_id=2"));
  EXPECT_FALSE(app->pages().input_focus().HasInputFocus(2));
}

}  // namespace
}  // namespace vyo::host
