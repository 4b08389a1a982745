#include <gtest/gtest.h>

#include <thread>

#include "fakes/app_harness.h"
#include "fakes/fake_pipe.h"
#include "fakes/fake_web_runtime.h"
#include "fakes/manual_clock.h"
#include "host/app.h"
#include "host/commands.h"
#include "host/protocol.h"
#include "host/wire.h"

namespace vyo::host {
namespace {

using testing::FakePipe;

// The application object over a fake pipe, without the rest of initialisation.
struct AppFixture : testing::AppHarness {
  void Connect() { ConnectPipe(); }
  void Command(const host::Command& c) {
    const auto bytes = EncodeCommand(c);
    app->DispatchCommand(CommandTypeOf(c), bytes);
  }
};

TEST_F(AppFixture, EnsureViewDecisionTable) {
  // New view: created; sizes below 1 become 1, above the texture limit are capped.
  app->EnsureView(1, 0, -5, true, u"https://a.invalid/");
  EXPECT_EQ(View(1).width, 1);
  EXPECT_EQ(View(1).height, 1);
  EXPECT_EQ(app->views_created(), 1u);
  app->EnsureView(2, 100000, 20, true, u"");
  EXPECT_EQ(View(2).width, kMaxViewSide);

  // Same size: nothing is re-created, a new URL is still stored, an empty one keeps the old.
  app->EnsureView(1, 1, 1, false, u"");
  EXPECT_EQ(app->views_created(), 2u);
  EXPECT_EQ(View(1).url, u"https://a.invalid/");
  app->EnsureView(1, 1, 1, true, u"https://b.invalid/");
  EXPECT_EQ(View(1).url, u"https://b.invalid/");

  // Size change without a live controller: re-created.
  app->EnsureView(1, 50, 60, true, u"");
  EXPECT_EQ(app->views_created(), 3u);
  EXPECT_EQ(View(1).width, 50);

  // Size change with a live controller: resized in place.
  auto controller = std::make_shared<testing::FakeWebView>();
  app->WithViewLocked(1, [&](ViewState* v) { v->webview = controller; });
  app->EnsureView(1, 70, 80, true, u"");
  EXPECT_EQ(app->views_created(), 3u);
  EXPECT_EQ(View(1).height, 80);

  // ... unless its web content failed: then it is re-created, and the failure cleared.
  app->WithViewLocked(1, [](ViewState* v) { v->web_failed = true; });
  app->EnsureView(1, 90, 80, true, u"");
  EXPECT_EQ(app->views_created(), 4u);
  EXPECT_FALSE(View(1).web_failed);

  // Native views are left untouched.
  app->WithViewLocked(2, [](ViewState* v) { v->kind = 1; });
  app->EnsureView(2, 5, 5, true, u"");
  EXPECT_EQ(View(2).width, kMaxViewSide);
  EXPECT_EQ(app->peak_view_count(), 2u);
}

TEST_F(AppFixture, PrimaryViewAndDestroy) {
  app->EnsureView(5, 10, 10, true, u"");
  app->EnsureView(6, 10, 10, true, u"");
  EXPECT_EQ(app->primary_view_id(), 5u);
  EXPECT_TRUE(app->IsExtraWebView(View(6)));
  EXPECT_FALSE(app->IsExtraWebView(View(5)));
  app->DestroyView(99, true);  // unknown: nothing changes
  EXPECT_EQ(app->view_count(), 2u);
  app->DestroyView(5, true);
  EXPECT_EQ(app->primary_view_id(), 0u);
  EXPECT_EQ(app->view_count(), 1u);
  app->EnsureView(7, 10, 10, true, u"");
  EXPECT_EQ(app->primary_view_id(), 7u);
}

TEST_F(AppFixture, OverlayCommandsActOnTheRegistry) {
  Connect();
  Command(ViewCreateCmd{1, 5, 6, 300, 200, false, u"https://x.invalid/"});
  EXPECT_FALSE(View(1).visible);
  // A rectangle change re-creates the view but never reveals a hidden one.
  Command(ViewSetRectCmd{1, 0, 0, 400, 300});
  EXPECT_EQ(View(1).width, 400);
  EXPECT_FALSE(View(1).visible);
  EXPECT_EQ(View(1).url, u"https://x.invalid/");
  // For an unknown id it creates a visible view without a URL.
  Command(ViewSetRectCmd{2, 0, 0, 64, 32});
  EXPECT_TRUE(View(2).visible);
  EXPECT_TRUE(View(2).url.empty());
  Command(ViewSetVisibleCmd{1, true});
  EXPECT_TRUE(View(1).visible);
  Command(ViewSetZOrderCmd{2, 9});
  EXPECT_EQ(View(2).z_order, 9);
  Command(ViewSetFrameRateCmd{1, 0});
  EXPECT_EQ(View(1).frame_rate, 1u);
  Command(ViewSetFrameRateCmd{1, 500});
  EXPECT_EQ(View(1).frame_rate, 60u);
  Command(ViewSetBackgroundCmd{1, 0x80FF0000u});
  EXPECT_EQ(View(1).background_color, 0x80FF0000u);
  Command(ViewDestroyCmd{2});
  EXPECT_FALSE(app->SnapshotView(2));
  // Positions are the overlay's business outside windowed presentation.
  EXPECT_EQ(View(1).x, 0);

  Command(SurfaceInfoCmd{1920, 0});
  Command(SurfaceInfoCmd{1920, 1080});
  Command(SurfaceInfoCmd{1920, 1080});
  uint32_t w = 0, h = 0;
  EXPECT_TRUE(app->GetSurfaceSize(&w, &h));
  EXPECT_EQ(w, 1920u);
  const auto logs = Logs();
  EXPECT_EQ(std::count(logs.begin(), logs.end(), "SurfaceInfo 1920x1080"), 1);
  EXPECT_NE(std::find(logs.begin(), logs.end(), "SetViewFrameRate, view_id=1, frame_rate=60"), logs.end());
  EXPECT_NE(std::find(logs.begin(), logs.end(), "SetViewBackgroundColor, view_id=1, argb=0x80ff0000"), logs.end());
}

TEST_F(AppFixture, TargetFrameRate) {
  EXPECT_EQ(app->TargetFrameRate(), 30u);
  app->EnsureView(1, 10, 10, true, u"");
  app->EnsureView(2, 10, 10, true, u"");
  app->WithViewLocked(1, [](ViewState* v) { v->frame_rate = 60; });
  app->WithViewLocked(2, [](ViewState* v) { v->frame_rate = 10; });
  EXPECT_EQ(app->TargetFrameRate(), 60u);
  app->SetViewVisible(1, false);
  EXPECT_EQ(app->TargetFrameRate(), 10u);
  app->WithViewLocked(2, [](ViewState* v) { v->web_failed = true; });
  EXPECT_EQ(app->TargetFrameRate(), 30u);
  app->WithViewLocked(2, [](ViewState* v) { v->web_failed = false, v->kind = 1; });
  EXPECT_EQ(app->TargetFrameRate(), 30u);
}

TEST_F(AppFixture, ModuleServices) {
  // Before the writer runs the ViewCreated message cannot be queued: nothing is created.
  EXPECT_FALSE(app->CreateView(3, 7, u"https://m.invalid/", 1, 2, 30, 40, true));
  EXPECT_EQ(app->view_count(), 0u);

  Connect();
  ASSERT_TRUE(app->CreateView(3, 7, u"https://m.invalid/", 1, 2, 30, 40, true));
  EXPECT_EQ(View(3).owner_module, 7u);
  app->SetViewHitTest(3, 1, 0);
  EXPECT_EQ(View(3).hit_alpha_threshold, 32);
  app->SetViewHitTest(3, 1, 0);  // no change: no message
  app->SetViewHitTest(3, 1, 300);
  EXPECT_EQ(View(3).hit_alpha_threshold, 255);
  app->RemoveView(3);
  app->RemoveView(42);  // unknown: still announced, owner 0
  app->ModuleLog(0, "silent");
  app->ModuleLog(7, "boom");
  app->ModuleLog(1, nullptr);

  const auto sent = Sent();
  std::vector<uint32_t> changed_masks;
  std::vector<std::pair<uint32_t, uint32_t>> destroyed;
  std::vector<std::string> logs;
  for (const auto& [type, payload] : sent) {
    if (type == kViewChanged) changed_masks.push_back(DecodeViewChanged(payload)->mask);
    if (type == kViewDestroyed) {
      const auto d = DecodeViewDestroyed(payload);
      destroyed.emplace_back(d->view_id, d->owner_module);
    }
    if (type == kHostLog && std::string(payload.begin(), payload.end()).rfind("MOD-", 0) == 0) {
      logs.emplace_back(payload.begin(), payload.end());
    }
  }
  EXPECT_EQ(sent.front().first, static_cast<uint32_t>(kViewCreated));
  EXPECT_EQ(changed_masks, (std::vector<uint32_t>{kChangeHitTest, kChangeHitTest}));
  EXPECT_EQ(destroyed, (std::vector<std::pair<uint32_t, uint32_t>>{{3, 7}, {42, 0}}));
  EXPECT_EQ(logs, (std::vector<std::string>{"MOD-ERROR: boom", "MOD-INFO: "}));
}

TEST_F(AppFixture, ServicesFromAnotherThreadRunOnTheMainThreadInOrder) {
  Connect();
  std::thread module([&] {
    app->CreateView(4, 1, nullptr, 0, 0, 10, 10, true);
    app->ShowView(4, false);
  });
  module.join();
  // Without a main-thread wait (not initialised) the operations ran inline, in order.
  EXPECT_FALSE(View(4).visible);
}

TEST_F(AppFixture, MainLoopEndsOnPipeFailures) {
  struct Case {
    FakePipe::WriteMode mode;
    uint32_t code;
    const char* reason;
  } cases[] = {{FakePipe::WriteMode::kFail, kExitPipeWriteFailed, "pipe_write_failed"},
               {FakePipe::WriteMode::kBroken, 0, "pipe_closed"}};
  for (const auto& c : cases) {
    app = std::make_unique<WebViewHostApp>(clock);
    Connect();
    pipe->SetWriteMode(c.mode);
    app->SetRunningForTesting(true);
    app->SendToOverlay(kViewStatus, Encode(ViewStatusMsg{1, 2}));
    EXPECT_EQ(app->RunMainLoop(), c.code) << c.reason;
    EXPECT_EQ(app->exit_reason(), c.reason);
  }
}

TEST_F(AppFixture, MainLoopEndsWhenTheOverlayClosesOrSendsGarbage) {
  Connect();
  app->SetRunningForTesting(true);
  pipe->CloseIncoming();
  EXPECT_EQ(app->RunMainLoop(), 0u);
  EXPECT_EQ(app->exit_reason(), "pipe_closed");

  app = std::make_unique<WebViewHostApp>(clock);
  Connect();
  app->SetRunningForTesting(true);
  testing::PushFrame(*pipe, kSurfaceInfo, {1, 0, 0, 0}, 2);
  EXPECT_EQ(app->RunMainLoop(), 0u);
  EXPECT_EQ(app->exit_reason(), "normal");
}

TEST(WindowedFreeze, EnvironmentValues) {
  const std::pair<std::optional<std::string>, uint32_t> cases[] = {
      {"3", 3000},      {"0", 0}, {"-2", 0}, {"abc", 0}, {std::string(32, '1'), 0}, {"2x", 2000},
      {std::nullopt, 0}, {"", 0}, {"9999999999", 0xFFFFFFFFu}};
  for (const auto& [value, expected] : cases) EXPECT_EQ(WindowedFreezeMs(value), expected) << value.value_or("(unset)");
}

}  // namespace
}  // namespace vyo::host
