#include <gtest/gtest.h>

#include <tuple>

#include <thread>

#include "fakes/app_harness.h"
#include "fakes/fake_pipe.h"
#include "fakes/fake_web_runtime.h"
#include "fakes/log_capture.h"
#include "fakes/manual_clock.h"
#include "host/app.h"
#include "protocol/commands.h"
#include "protocol/protocol.h"
#include "protocol/wire.h"

namespace vyo::host {
namespace {

using testing::FakePipe;

// The application object over a fake pipe, without the rest of initialisation.
struct AppFixture : testing::AppHarness {
  void Connect() { ConnectPipe(); }
  void Command(const host::Command& c) {
    const auto bytes = EncodeCommand(c);
    app->dispatcher().Dispatch(CommandTypeOf(c), bytes);
  }
};

TEST_F(AppFixture, EnsureViewDecisionTable) {
  // New view: created; sizes below 1 become 1, above the texture limit are capped.
  service().EnsureView(1, 0, -5, true, u"https://a.invalid/");
  EXPECT_EQ(View(1).width, 1);
  EXPECT_EQ(View(1).height, 1);
  EXPECT_EQ(app->counters().views_created, 1u);
  service().EnsureView(2, 100000, 20, true, u"");
  EXPECT_EQ(View(2).width, kMaxViewSide);

  // Same size: nothing is re-created, a new URL is still stored, an empty one keeps the old.
  service().EnsureView(1, 1, 1, false, u"");
  EXPECT_EQ(app->counters().views_created, 2u);
  EXPECT_EQ(View(1).url, u"https://a.invalid/");
  service().EnsureView(1, 1, 1, true, u"https://b.invalid/");
  EXPECT_EQ(View(1).url, u"https://b.invalid/");

  // Size change without a live controller: re-created.
  service().EnsureView(1, 50, 60, true, u"");
  EXPECT_EQ(app->counters().views_created, 3u);
  EXPECT_EQ(View(1).width, 50);

  // Size change with a live controller: resized in place.
  auto controller = std::make_shared<testing::FakeWebView>();
  Web(1).webview = controller;
  service().EnsureView(1, 70, 80, true, u"");
  EXPECT_EQ(app->counters().views_created, 3u);
  EXPECT_EQ(View(1).height, 80);

  // ... unless its web content failed: then it is re-created, and the failure cleared.
  Web(1).web_failed = true;
  service().EnsureView(1, 90, 80, true, u"");
  EXPECT_EQ(app->counters().views_created, 4u);
  EXPECT_FALSE(Web(1).web_failed);

  // Native views are left untouched.
  WithView(2, [](ViewState* v) { v->kind = ViewKind::kNative; });
  service().EnsureView(2, 5, 5, true, u"");
  EXPECT_EQ(View(2).width, kMaxViewSide);
  EXPECT_EQ(app->counters().peak_view_count, 2u);
}

TEST_F(AppFixture, PrimaryViewAndDestroy) {
  service().EnsureView(5, 10, 10, true, u"");
  service().EnsureView(6, 10, 10, true, u"");
  EXPECT_EQ(app->views().primary_view_id(), 5u);
  const auto is_extra = [&](uint32_t id) {
    return WithView(id, [&](ViewState* v) { return app->views().IsExtraWebViewLocked(*v); });
  };
  EXPECT_TRUE(is_extra(6));
  EXPECT_FALSE(is_extra(5));
  service().DestroyView(99, true);  // unknown: nothing changes
  EXPECT_EQ(app->views().Count(), 2u);
  service().DestroyView(5, true);
  EXPECT_EQ(app->views().primary_view_id(), 0u);
  EXPECT_EQ(app->views().Count(), 1u);
  service().EnsureView(7, 10, 10, true, u"");
  EXPECT_EQ(app->views().primary_view_id(), 7u);
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
  EXPECT_EQ(Web(1).background_color, 0x80FF0000u);
  Command(ViewDestroyCmd{2});
  EXPECT_FALSE(app->views().Snapshot(2));
  // Positions are the overlay's business outside windowed presentation.
  EXPECT_EQ(View(1).x, 0);

  Command(SurfaceInfoCmd{1920, 0});
  Command(SurfaceInfoCmd{1920, 1080});
  Command(SurfaceInfoCmd{1920, 1080});
  uint32_t w = 0, h = 0;
  EXPECT_TRUE(service().GetSurfaceSize(&w, &h));
  EXPECT_EQ(w, 1920u);
  const auto logs = Logs();
  EXPECT_EQ(std::count(logs.begin(), logs.end(), "SurfaceInfo 1920x1080"), 1);
  EXPECT_NE(std::find(logs.begin(), logs.end(), "SetViewFrameRate, view_id=1, frame_rate=60"), logs.end());
  EXPECT_NE(std::find(logs.begin(), logs.end(), "SetViewBackgroundColor, view_id=1, argb=0x80ff0000"), logs.end());
}

TEST_F(AppFixture, TargetFrameRate) {
  EXPECT_EQ(app->capture().TargetFrameRate(), 30u);
  service().EnsureView(1, 10, 10, true, u"");
  service().EnsureView(2, 10, 10, true, u"");
  WithView(1, [](ViewState* v) { v->frame_rate = 60; });
  WithView(2, [](ViewState* v) { v->frame_rate = 10; });
  EXPECT_EQ(app->capture().TargetFrameRate(), 60u);
  service().SetViewVisible(1, false);
  EXPECT_EQ(app->capture().TargetFrameRate(), 10u);
  Web(2).web_failed = true;
  EXPECT_EQ(app->capture().TargetFrameRate(), 30u);
  Web(2).web_failed = false;
  WithView(2, [](ViewState* v) { v->kind = ViewKind::kNative; });
  EXPECT_EQ(app->capture().TargetFrameRate(), 30u);
}

TEST_F(AppFixture, ModuleServices) {
  // Before the writer runs the ViewCreated message cannot be queued: nothing is created.
  EXPECT_FALSE(service().CreateView(3, 7, u"https://m.invalid/", 1, 2, 30, 40, true));
  EXPECT_EQ(app->views().Count(), 0u);

  Connect();
  ASSERT_TRUE(service().CreateView(3, 7, u"https://m.invalid/", 1, 2, 30, 40, true));
  EXPECT_EQ(View(3).owner_module, 7u);
  service().SetViewHitTest(3, 1, 0);
  EXPECT_EQ(Capture(3).hit_alpha_threshold, 32);
  service().SetViewHitTest(3, 1, 0);  // no change: no message
  service().SetViewHitTest(3, 1, 300);
  EXPECT_EQ(Capture(3).hit_alpha_threshold, 255);
  service().RemoveView(3);
  service().RemoveView(42);  // unknown: still announced, owner 0
  service().ModuleLog(0, "silent");
  service().ModuleLog(7, "boom");
  service().ModuleLog(1, nullptr);

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

// An overlay that stops reading while a module floods it: module output and module-caused view
// changes are dropped once the queue is nearly full, the writer never fails, and frames flow again
// once the overlay reads.
TEST_F(AppFixture, AModuleFloodingAStalledOverlayIsDroppedNotFatal) {
  Connect();
  ASSERT_TRUE(service().CreateView(3, 7, u"https://m.invalid/", 1, 2, 30, 40, true));
  pipe->SetWriteMode(testing::FakePipe::WriteMode::kBlock);
  ASSERT_TRUE(pipe->WaitBlocked(5000));
  const uint8_t output[8] = {7, 0, 0, 0, 'h', 'i', 0, 0};
  int refused = 0;
  for (int i = 0; i < 3 * static_cast<int>(kSendQueueLimit); ++i) {
    if (!service().SendRawMessage(kModuleOutput, output, sizeof output)) ++refused;
    service().SetViewRect(3, i, 0, 30, 40);
  }
  EXPECT_GT(refused, 0);
  EXPECT_FALSE(app->overlay().write_failed());
  pipe->SetWriteMode(testing::FakePipe::WriteMode::kOk);
  ASSERT_TRUE(app->overlay().writer()->WaitUntilIdle(5000));
  EXPECT_TRUE(service().SendRawMessage(kModuleOutput, output, sizeof output));
  EXPECT_FALSE(app->overlay().write_failed());
}

TEST_F(AppFixture, ServicesFromAnotherThreadRunOnTheMainThreadInOrder) {
  Connect();
  // The real main-thread wait: this thread is the main thread, and only it pumps.
  app->main_thread().Attach(platform::MainThreadWait::Create());
  service().EnsureView(9, 10, 10, true, u"");
  auto controller = std::make_shared<testing::FakeWebView>();
  Web(9).webview = controller;
  const std::thread::id main_id = std::this_thread::get_id();
  std::vector<std::string> off_main_calls;
  testing::FakeRuntimeCallCheck() = [&](const std::string& call) {
    if (std::this_thread::get_id() != main_id) off_main_calls.push_back(call);
  };
  const size_t frames_before = Sent().size();

  std::thread module([&] {
    IModuleServices& m = service();
    IWebPopupHost& p = service();
    m.CreateView(4, 7, nullptr, 0, 0, 10, 10, true);
    m.SetViewRect(4, 1, 2, 30, 40);
    m.ShowView(4, false);
    m.SetViewZOrder(4, 3);
    m.SetRelayFlagA(4, false);
    m.SetRelayFlagB(4, true);
    m.SetViewHitTest(4, 1, 64);
    m.SetViewBackgroundColor(9, 0xFF00FF00u);
    m.SetViewFrameRate(4, 45);
    m.NavigateView(9, u"https://n.invalid/");
    m.PostWebMessageToView(9, "{\"a\":1}");
    m.SendRawMessage(kWindowedRenderState, nullptr, 0);
    m.ModuleLog(1, "hello");
    p.ShowViewQuietly(4, true);
    PopupStateMsg state;
    state.content_view_id = 4;
    p.SendPopupState(state);
    p.LogView(4, "popup shown");
    p.DestroyViewNotifyOverlay(4, 7);
    m.RemoveView(9);
  });
  module.join();

  // Nothing ran on the module's thread: no frame was sent, no view changed.
  EXPECT_EQ(Sent().size(), frames_before);
  EXPECT_FALSE(app->views().Snapshot(4));
  EXPECT_TRUE(controller->calls.empty());

  while (app->main_thread().wait()->PumpMessages(64, 4) > 0) {
  }
  EXPECT_TRUE(off_main_calls.empty());
  testing::FakeRuntimeCallCheck() = nullptr;

  std::vector<std::string> seen;
  const auto all = Sent();
  for (size_t i = frames_before; i < all.size(); ++i) {
    const auto& [type, payload] = all[i];
    if (type == kViewChanged) {
      seen.push_back("changed " + std::to_string(DecodeViewChanged(payload)->mask));
    } else if (type == kHostLog) {
      const std::string text(payload.begin(), payload.end());
      if (text.rfind("Set", 0) == 0 || text.rfind("MOD-", 0) == 0 || text.rfind("popup", 0) == 0) seen.push_back(text);
    } else {
      seen.push_back(HostMessageName(type));
    }
  }
  const std::vector<std::string> expected = {
      "ViewCreated",
      "changed 1",
      "changed 2",
      "changed 4",
      "changed 8",
      "changed 16",
      "changed 32",
      "SetViewBackgroundColor, view_id=9, argb=0xff00ff00",
      "SetViewFrameRate, view_id=4, frame_rate=45",
      "WindowedRenderState",
      "MOD-INFO: hello",
      "PopupState",
      "popup shown, view_id=4",
      "ViewDestroyed",
      "ViewDestroyed",
  };
  EXPECT_EQ(seen, expected);
  // The browser calls of the background, the navigation and the message ran on the main thread.
  EXPECT_TRUE(controller->Called("SetDefaultBackgroundColor"));
  EXPECT_TRUE(controller->Called("Navigate"));
  EXPECT_EQ(controller->posted, (std::vector<std::string>{"{\"a\":1}"}));
  EXPECT_FALSE(app->views().Snapshot(4));
  EXPECT_FALSE(app->views().Snapshot(9));
}

TEST_F(AppFixture, TasksPostedBeforeStartUpWaitAndAfterShutdownAreRefused) {
  MainThread main_thread;
  std::vector<int> ran;
  std::thread early([&] { EXPECT_TRUE(main_thread.PostTask([&] { ran.push_back(1); })); });
  early.join();
  EXPECT_TRUE(ran.empty());  // kept: no wait yet, and never run on the posting thread
  main_thread.Attach(platform::MainThreadWait::Create());
  main_thread.PostTask([&] { ran.push_back(2); });
  while (main_thread.wait()->PumpMessages(64, 4) > 0) {
  }
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  main_thread.Detach();
  std::thread late([&] { EXPECT_FALSE(main_thread.PostTask([&] { ran.push_back(3); })); });
  late.join();
  EXPECT_FALSE(main_thread.PostTask([&] { ran.push_back(4); }));
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

// The real start-up over shared memory made here, a fake pipe and a wait that never sleeps.
struct StartedApp : testing::StartedAppHarness {};

TEST_F(StartedApp, MainLoopEndsOnPipeFailures) {
  struct Case {
    FakePipe::WriteMode mode;
    uint32_t code;
    const char* reason;
  } cases[] = {{FakePipe::WriteMode::kFail, kExitPipeWriteFailed, "pipe_write_failed"},
               {FakePipe::WriteMode::kBroken, 0, "pipe_closed"}};
  for (const auto& c : cases) {
    Start();
    pipe->SetWriteMode(c.mode);
    app->overlay().SendToOverlay(kViewStatus, Encode(ViewStatusMsg{1, 2}));
    EXPECT_EQ(app->RunMainLoop(), c.code) << c.reason;
    EXPECT_EQ(app->exit_reason(), c.reason);
  }
}

TEST_F(StartedApp, ANativeViewTakesItsIdThroughTheViewService) {
  Start();
  service().EnsureView(5, 10, 10, true, u"");  // a web view first
  NativeViewRequest request;
  request.view_id = 5;
  request.x = 1, request.y = 2, request.width = 4, request.height = 6, request.z_order = 30, request.visible = true;
  ASSERT_TRUE(service().CreateNativeView(request));
  const ViewState view = *app->views().Snapshot(5);
  EXPECT_EQ(view.kind, ViewKind::kNative);
  EXPECT_EQ(std::make_tuple(view.x, view.y, view.width, view.height, view.z_order, view.visible),
            std::make_tuple(1, 2, 4, 6, 30, true));
  // The registry's observers were told: capture keeps the native view's state (and, where the GPU
  // device shares textures, made the texture and announced it).
  EXPECT_NE(app->capture().Find(5), nullptr);
  const auto ready = Sent(kSharedTextureReady);
  if (!ready.empty()) {
    const SharedTextureReadyMsg announced = *DecodeSharedTextureReady(ready.back().second);
    EXPECT_EQ(std::make_tuple(announced.view_id, announced.width, announced.height), std::make_tuple(5u, 4u, 6u));
  }

  // Windowed presentation has no surfaces for native views: refused, and nothing is made.
  HostOptions windowed;
  windowed.windowed = true;
  Start(windowed);
  EXPECT_FALSE(service().CreateNativeView(request));
  EXPECT_FALSE(app->views().Snapshot(5).has_value());
}

TEST_F(StartedApp, MainLoopEndsWhenTheOverlayClosesOrSendsGarbage) {
  Start();
  pipe->CloseIncoming();
  EXPECT_EQ(app->RunMainLoop(), 0u);
  EXPECT_EQ(app->exit_reason(), "pipe_closed");

  Start();
  testing::PushFrame(*pipe, kSurfaceInfo, {1, 0, 0, 0}, 2);
  EXPECT_EQ(app->RunMainLoop(), 0u);
  EXPECT_EQ(app->exit_reason(), "normal");
}

TEST_F(StartedApp, StartUpGreetsTheOverlayAndShutdownEndsTheChannel) {
  Start();
  const auto hello = Sent(kHostHello);
  ASSERT_EQ(hello.size(), 1u);
  EXPECT_TRUE(Logged("Init success, capture=window"));
  // No runtime was given: the overlay hears that the browser could not be loaded.
  ASSERT_EQ(Sent(kEnvironmentResult).size(), 1u);
  EXPECT_EQ(DecodeEnvironmentResult(Sent(kEnvironmentResult)[0].second)->result, 1u);
  app->Shutdown();
  EXPECT_FALSE(app->overlay().CanSend());
}

// Callers with their own names, so that a record's function tells whose call it names.
void HostLogfCaller() { HostLogf(LogLevel::kInfo, "%s", "marker host-logf"); }
void SendLogCaller(OverlayChannel& overlay, const std::string& text) { overlay.SendLog(text); }
void WorkerLogCaller(OverlayChannel& overlay) { overlay.QueueWorkerLog("marker worker"); }

TEST_F(AppFixture, EveryRecordNamesItsCaller) {
  testing::LogCapture capture;
  struct Case {
    const char* marker;
    std::function<void()> write;
    const char* function;
  };
  const Case before_pipe[] = {
      {"marker host-logf", [] { HostLogfCaller(); }, "HostLogfCaller"},
      // Before the writer runs the log path writes locally.
      {"marker direct", [&] { SendLogCaller(app->overlay(), "marker direct"); }, "SendLogCaller"},
  };
  for (const auto& c : before_pipe) c.write();
  Connect();
  const Case through_pipe[] = {
      // Written by the pipe writer's thread when it sends the frame.
      {"marker via writer", [&] { SendLogCaller(app->overlay(), "marker via writer"); }, "SendLogCaller"},
      // Queued by another thread, forwarded by the main loop, written by the pipe writer.
      {"marker worker",
       [&] {
         std::thread worker([&] { WorkerLogCaller(app->overlay()); });
         worker.join();
         app->overlay().FlushWorkerLogs();
       },
       "WorkerLogCaller"},
  };
  for (const auto& c : through_pipe) c.write();
  app->overlay().writer()->WaitUntilIdle(5000);
  for (const auto* cases : {&before_pipe, &through_pipe}) {
    for (const auto& c : *cases) {
      const auto record = testing::LogCapture::Find(c.marker);
      ASSERT_TRUE(record) << c.marker;
      EXPECT_NE(record->file.find("app_test.cpp"), std::string::npos) << c.marker << ": " << record->file;
      EXPECT_EQ(record->function, c.function) << c.marker;
    }
  }
}

TEST(WindowedFreeze, EnvironmentValues) {
  const std::pair<std::optional<std::string>, uint32_t> cases[] = {
      {"3", 3000},      {"0", 0}, {"-2", 0}, {"abc", 0}, {std::string(32, '1'), 0}, {"2x", 2000},
      {std::nullopt, 0}, {"", 0}, {"9999999999", 0xFFFFFFFFu}};
  for (const auto& [value, expected] : cases) EXPECT_EQ(WindowedFreezeMs(value), expected) << value.value_or("(unset)");
}

}  // namespace
}  // namespace vyo::host
