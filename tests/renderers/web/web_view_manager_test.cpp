#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "fakes/app_harness.h"
#include "fakes/fake_pipe.h"
#include "fakes/fake_user_data_fs.h"
#include "fakes/fake_web_runtime.h"
#include "fakes/manual_clock.h"
#include "host/app.h"
#include "protocol/wire.h"

namespace vyo::host {
namespace {

using testing::FakePipe;
using testing::FakeWebRuntime;
using testing::FakeWebView;

// The application with a fake runtime, a fake file system and a fake pipe.
struct WebFixture : testing::AppHarness {
  FakeWebRuntime* runtime = nullptr;
  testing::FakeUserDataFs* fs = nullptr;

  void SetUp() override {
    auto r = std::make_unique<FakeWebRuntime>();
    runtime = r.get();
    auto f = std::make_unique<testing::FakeUserDataFs>();
    fs = f.get();
    app->web().SetRuntime(std::move(r), std::move(f));
  }
  void Connect() { ConnectPipe(); }
  std::vector<uint32_t> StatusCodes(uint32_t view_id) {
    std::vector<uint32_t> codes;
    for (auto& [type, payload] : Sent()) {
      if (type == kViewStatus && DecodeViewStatus(payload)->view_id == view_id) codes.push_back(DecodeViewStatus(payload)->code);
    }
    return codes;
  }

  // Loader, environment and a view with its controller request outstanding.
  std::shared_ptr<testing::FakeWebEnvironment> Environment() {
    app->web().LoadWebView2Loader();
    return runtime->CompleteEnvironment();
  }
};

TEST_F(WebFixture, EnvironmentNoticeIsSentOnceAndKeptUntilThePipeRuns) {
  runtime->load_result = FakeWebRuntime::LoadResult::kNotFound;
  clock.AdvanceMs(7);
  EXPECT_FALSE(app->web().LoadWebView2Loader());
  Connect();  // the writer starts: the kept notice goes out
  const auto sent = Sent();
  std::vector<EnvironmentResultMsg> notices;
  for (auto& [type, payload] : sent)
    if (type == kEnvironmentResult) notices.push_back(*DecodeEnvironmentResult(payload));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].result, 1u);
  EXPECT_EQ(static_cast<uint32_t>(notices[0].hr), 0x80004005u);
  EXPECT_TRUE(notices[0].version.empty());  // the loader is not loaded: no version is asked for
}

TEST_F(WebFixture, EnvironmentResultCodes) {
  struct Case {
    FakeWebRuntime::LoadResult load;
    web::HResult outcome;
    std::string version;
    uint32_t result;
  } cases[] = {
      {FakeWebRuntime::LoadResult::kNoEntryPoint, web::kOk, "148.0", 2},
      {FakeWebRuntime::LoadResult::kLoaded, web::kOk, "148.0", 0},
      {FakeWebRuntime::LoadResult::kLoaded, web::kFileNotFound, "148.0", 0},
      {FakeWebRuntime::LoadResult::kLoaded, web::kFileNotFound, "", 3},
  };
  for (const auto& c : cases) {
    app = std::make_unique<WebViewHostApp>(clock, testing::TestBackends());
    SetUp();
    Connect();
    runtime->load_result = c.load;
    runtime->version = c.version;
    app->web().LoadWebView2Loader();
    if (!runtime->requests.empty()) {
      if (web::Succeeded(c.outcome)) {
        runtime->CompleteEnvironment();
      } else {
        runtime->FailEnvironment(c.outcome);
      }
    }
    // A second outcome (after a recreation) is not announced again.
    if (app->web().RecreateEnvironment(false) && !runtime->requests.empty()) runtime->CompleteEnvironment();
    std::vector<uint32_t> results;
    for (auto& [type, payload] : Sent())
      if (type == kEnvironmentResult) results.push_back(DecodeEnvironmentResult(payload)->result);
    EXPECT_EQ(results, std::vector<uint32_t>{c.result}) << "version '" << c.version << "'";
  }
}

TEST_F(WebFixture, ControllerIsConfiguredAndNavigatedEvenWhenStepsFail) {
  Connect();
  auto env = Environment();
  service().EnsureView(1, 800, 600, true, u"https://example.invalid/start");
  ASSERT_EQ(env->requests.size(), 1u);
  // The controller fails a few configuration steps; the sequence goes on.
  auto view = std::make_unique<FakeWebView>();
  FakeWebView* wv = view.get();
  wv->failing = {{"SetDevToolsEnabled", web::kFail},
                 {"SetBrowserAcceleratorKeysEnabled", web::kNoInterface},
                 {"EnableNetworkEvents", web::kFail},
                 {"SetHttpCacheDisabled", web::kUnexpected}};
  auto request = std::move(env->requests.front());
  env->requests.pop_front();
  request.done(web::kOk, std::move(view));

  EXPECT_TRUE(Logged("ConfigureDevToolsPolicy AreDevToolsEnabled=FALSE, hr=0x80004005"));
  EXPECT_TRUE(Logged("ConfigureDevToolsPolicy requires ICoreWebView2Settings3, hr=0x80004002"));
  EXPECT_TRUE(Logged("DisableHttpCache Network.enable, hr=0x80004005"));
  EXPECT_TRUE(Logged("DisableHttpCache Network.setCacheDisabled, hr=0x8000ffff"));
  EXPECT_TRUE(wv->Called("EnableNetworkEvents"));
  EXPECT_TRUE(wv->Called("SetHttpCacheDisabled"));
  EXPECT_EQ(std::count(wv->calls.begin(), wv->calls.end(), "SetHttpCacheDisabled(1)"), 1);
  // The browser has no Input.enable: it is not asked for.
  for (const auto& call : wv->calls) EXPECT_EQ(call.find("Input.enable"), std::string::npos) << call;
  EXPECT_TRUE(Logged("OnCompositionControllerCreated success, view_id=1"));
  EXPECT_EQ(wv->user_agent, u"Mozilla/5.0 Chrome/148.0 FenyraOverlay/1.1.0.41");
  EXPECT_EQ(wv->width, 800);
  EXPECT_EQ(wv->navigations, std::vector<std::u16string>{u"https://example.invalid/start"});
  EXPECT_EQ(wv->handlers.size(), 10u);
  EXPECT_EQ(Web(1).retry_left, 8);
}

// A controller request stays wanted while its view waits for it; once the view is destroyed (or
// created again, which asks anew) the old request is no longer wanted.
TEST_F(WebFixture, ControllerRequestsOfGoneViewsAreNoLongerWanted) {
  Connect();
  auto env = Environment();
  service().EnsureView(1, 800, 600, true, u"https://example.invalid/a");
  service().EnsureView(2, 800, 600, true, u"https://example.invalid/b");
  ASSERT_EQ(env->requests.size(), 2u);
  EXPECT_TRUE(env->requests[0].still_wanted());
  EXPECT_TRUE(env->requests[1].still_wanted());
  service().DestroyView(1, false);
  EXPECT_FALSE(env->requests[0].still_wanted());
  EXPECT_TRUE(env->requests[1].still_wanted());
  service().DestroyView(2, false);
  service().EnsureView(2, 800, 600, true, u"https://example.invalid/b");
  ASSERT_EQ(env->requests.size(), 3u);
  EXPECT_FALSE(env->requests[1].still_wanted());
  EXPECT_TRUE(env->requests[2].still_wanted());
}

TEST_F(WebFixture, UserAgentAndZoomTables) {
  const std::pair<std::u16string, std::u16string> agents[] = {
      {u"Mozilla/5.0", u"Mozilla/5.0 FenyraOverlay/1.1.0.41"},
      {u"Mozilla/5.0 ", u"Mozilla/5.0 FenyraOverlay/1.1.0.41"},
      {u"", u"FenyraOverlay/1.1.0.41"},
      {u"X FenyraOverlay/0.9 Y", u"X FenyraOverlay/0.9 Y"},
  };
  const struct {
    int32_t w, h;
    double zoom;
  } zooms[] = {{350, 700, 1.0}, {400, 800, 8.0 / 7.0}, {400, 700, 1.0}, {400, 802, 400 / 350.0}, {100, 100, 1.0}};
  Connect();
  auto env = Environment();
  uint32_t id = 10;
  for (const auto& [before, after] : agents) {
    service().EnsureView(++id, 10, 10, true, u"");
    auto view = std::make_unique<FakeWebView>();
    view->user_agent = before;
    FakeWebView* wv = view.get();
    auto r = std::move(env->requests.front());
    env->requests.pop_front();
    r.done(web::kOk, std::move(view));
    EXPECT_EQ(wv->user_agent, after);
  }
  for (const auto& z : zooms) {
    service().EnsureView(++id, z.w, z.h, true, u"");
    FakeWebView* wv = env->CompleteView();
    EXPECT_NEAR(wv->zoom, z.zoom, 1e-9) << z.w << "x" << z.h;
  }
  // A failed read of the agent leaves it alone rather than replacing it with the token.
  service().EnsureView(++id, 10, 10, true, u"");
  auto view = std::make_unique<FakeWebView>();
  view->failing = {{"GetUserAgent", web::kFail}};
  FakeWebView* wv = view.get();
  auto r = std::move(env->requests.front());
  env->requests.pop_front();
  r.done(web::kOk, std::move(view));
  EXPECT_FALSE(wv->Called("SetUserAgent"));
}

TEST_F(WebFixture, FailureCountingAndGivingUp) {
  Connect();
  auto env = Environment();
  service().EnsureView(1, 10, 10, true, u"");
  // Fail every attempt. The third failure brings one recreation on the shared directory, the
  // fifth a switch to the private directory with a fresh set of eight attempts; after those the
  // view is given up.
  int failures = 0;
  int environments = 1;
  for (int step = 0; step < 60 && Web(1).retry_left > 0; ++step) {
    if (!runtime->requests.empty()) {
      env = runtime->CompleteEnvironment();
      ++environments;
    }
    if (!env->requests.empty()) {
      env->FailView(web::kFail);
      ++failures;
      app->web().PumpViewCreationRetries();
      EXPECT_TRUE(env->requests.empty()) << "retried before 400 ms";
    }
    clock.AdvanceMs(400);
    app->web().PumpViewCreationRetries();
  }
  EXPECT_EQ(failures, 13);
  EXPECT_EQ(environments, 3);
  EXPECT_TRUE(app->web().using_private_dir());
  EXPECT_EQ(Web(1).retry_left, 0);
  EXPECT_TRUE(Web(1).web_failed);
  EXPECT_EQ(StatusCodes(1), std::vector<uint32_t>{3});
  EXPECT_TRUE(Logged("WebView2 controller creation failed, view_id=1, hr=0x80004005, retry_left=7"));
  EXPECT_TRUE(Logged("WebView2 controller creation gave up, view_id=1, hr=0x80004005, private_udf=1"));
  clock.AdvanceMs(1000);
  app->web().PumpViewCreationRetries();
  EXPECT_TRUE(env->requests.empty() && runtime->requests.empty());
}

TEST_F(WebFixture, AbortEndsAttemptsWithoutAReport) {
  Connect();
  auto env = Environment();
  service().EnsureView(1, 10, 10, true, u"");
  env->FailView(web::kAbort);
  EXPECT_EQ(Web(1).retry_left, 0);
  EXPECT_FALSE(Web(1).web_failed);
  EXPECT_TRUE(StatusCodes(1).empty());
  EXPECT_TRUE(Logged("WebView2 controller creation aborted (parent window gone), hr=0x80004004"));
}

TEST_F(WebFixture, InvalidStateSwitchesToThePrivateDirectoryOnce) {
  Connect();
  auto env = Environment();
  const std::u16string shared = app->web().user_data_dir();
  EXPECT_EQ(shared, u"C:\\Games\\Overlay\\webview_user_data");
  service().EnsureView(1, 10, 10, true, u"");
  env->FailView(web::kInvalidState);
  EXPECT_TRUE(app->web().private_dir_requested());
  clock.AdvanceMs(400);
  app->web().PumpViewCreationRetries();
  ASSERT_EQ(runtime->requests.size(), 1u);
  EXPECT_EQ(runtime->requests.front().user_data_dir, shared + u"_pid4242");
  EXPECT_TRUE(app->web().using_private_dir());
  EXPECT_EQ(Web(1).retry_left, 8);  // a fresh set of attempts on the new directory
  env = runtime->CompleteEnvironment();
  // The same failure on the private directory ends the attempts.
  ASSERT_EQ(env->requests.size(), 1u);
  env->FailView(web::kInvalidState);
  EXPECT_EQ(Web(1).retry_left, 0);
  EXPECT_EQ(StatusCodes(1), std::vector<uint32_t>{3});
  EXPECT_FALSE(app->web().RecreateEnvironment(true));  // once per process
}

TEST_F(WebFixture, StaleAnswersAreClosedAndDropped) {
  Connect();
  auto env = Environment();
  service().EnsureView(1, 10, 10, true, u"");
  // The view is re-created before its answer arrives: the answer belongs to the old incarnation.
  service().EnsureView(1, 20, 20, true, u"");
  ASSERT_EQ(env->requests.size(), 2u);
  env->CompleteView();
  EXPECT_TRUE(env->WasClosed(1));
  EXPECT_FALSE(Web(1).webview);
  env->CompleteView();
  EXPECT_FALSE(env->WasClosed(2));
  EXPECT_TRUE(Web(1).webview);
  // An answer for a view that is gone is closed too.
  service().EnsureView(2, 10, 10, true, u"");
  service().DestroyView(2, false);
  env->CompleteView();
  EXPECT_TRUE(env->WasClosed(3));
  // ... even when a view of the same id was created again meanwhile: its own answer attaches.
  service().EnsureView(3, 10, 10, true, u"");
  service().DestroyView(3, false);
  service().EnsureView(3, 10, 10, true, u"");
  ASSERT_EQ(env->requests.size(), 2u);
  env->CompleteView();
  EXPECT_TRUE(env->WasClosed(4));
  env->CompleteView();
  EXPECT_FALSE(env->WasClosed(5));
  EXPECT_TRUE(Web(3).webview);
}

TEST_F(WebFixture, RetryPumpRecreatesAfterRepeatedFailures) {
  Connect();
  auto env = Environment();
  service().EnsureView(1, 10, 10, true, u"");
  for (int i = 0; i < 2; ++i) {
    env->FailView(web::kFail);
    clock.AdvanceMs(400);
    app->web().PumpViewCreationRetries();
  }
  EXPECT_TRUE(runtime->requests.empty());  // two failures: retried on the same environment
  env->FailView(web::kFail);
  clock.AdvanceMs(400);
  app->web().PumpViewCreationRetries();
  ASSERT_EQ(runtime->requests.size(), 1u);  // the third: one recreation on the shared directory
  EXPECT_EQ(app->web().env_recreate_budget(), 0);
  EXPECT_TRUE(app->web().has_environment());      // the old environment is kept until the new arrives
  auto fresh = runtime->CompleteEnvironment();
  EXPECT_EQ(fresh->requests.size(), 1u);
}

TEST_F(WebFixture, ViewsWaitDuringARecreationAndFallBackToTheHeldEnvironment) {
  Connect();
  auto env = Environment();
  ASSERT_TRUE(app->web().RecreateEnvironment(false));
  service().EnsureView(1, 10, 10, true, u"");
  EXPECT_TRUE(env->requests.empty());  // waits for the environment on its way
  runtime->FailEnvironment(web::kFail);
  // The recreation failed: the view is asked for on the environment still held.
  EXPECT_EQ(env->requests.size(), 1u);
}

TEST_F(WebFixture, FailedFirstEnvironmentIsRetriedOnlyWhileAViewWaits) {
  Connect();
  app->web().LoadWebView2Loader();
  runtime->FailEnvironment(web::kFail);
  clock.AdvanceMs(1000);
  app->web().PumpViewCreationRetries();
  EXPECT_TRUE(runtime->requests.empty());
  service().EnsureView(1, 10, 10, true, u"");
  clock.AdvanceMs(400);
  app->web().PumpViewCreationRetries();
  EXPECT_EQ(runtime->requests.size(), 1u);
}

TEST_F(WebFixture, UserDataDirectorySelection) {
  struct Case {
    const char* name;
    std::function<void(testing::FakeUserDataFs&)> setup;
    std::u16string expected;
  } cases[] = {
      {"beside the executable", [](testing::FakeUserDataFs&) {}, u"C:\\Games\\Overlay\\webview_user_data"},
      {"protected install location",
       [](testing::FakeUserDataFs& f) {
         f.exe_dir = u"C:\\Program Files\\Overlay";
         f.env["ProgramFiles"] = u"c:\\program files";
       },
       u"C:\\Users\\p\\AppData\\Local\\FenyraOverlay\\webview_user_data"},
      {"exe dir not writable",
       [](testing::FakeUserDataFs& f) { f.unwritable.insert(u"C:\\Games"); },
       u"C:\\Users\\p\\AppData\\Local\\FenyraOverlay\\webview_user_data"},
      {"temporary",
       [](testing::FakeUserDataFs& f) {
         f.unwritable.insert(u"C:\\Games");
         f.per_user.reset();
       },
       u"C:\\Temp\\FenyraOverlay\\webview_user_data"},
      {"last resort exe dir",
       [](testing::FakeUserDataFs& f) {
         f.unwritable.insert(u"C:\\Games");
         f.unwritable.insert(u"C:\\Temp");
         f.per_user.reset();
       },
       u"C:\\Games\\Overlay\\webview_user_data"},
  };
  for (const auto& c : cases) {
    testing::FakeUserDataFs f;
    c.setup(f);
    std::vector<std::string> log;
    web::UserDataDirectories dirs(f, [&](const std::string& l) { log.push_back(l); });
    EXPECT_EQ(dirs.Select(), c.expected) << c.name;
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind("WebView2 user data dir: source=", 0), 0u) << c.name;
  }
}

TEST_F(WebFixture, PurgeOfStalePrivateDirectories) {
  testing::FakeUserDataFs f;
  const std::u16string base = u"C:\\Games\\Overlay\\webview_user_data";
  for (const char16_t* suffix : {u"_pid123", u"_pid77", u"_pid88", u"_pid", u"_pid1a", u"_pid4242", u"_pid12345678901"})
    f.dirs.insert(base + suffix);
  f.live_processes[77] = 500;   // alive, started before its directory was made: kept
  f.live_processes[88] = 5000;  // alive, but started after the directory: the id was reused
  f.created_ms[base + u"_pid77"] = 1000;
  f.created_ms[base + u"_pid88"] = 1000;
  std::vector<std::string> log;
  web::UserDataDirectories dirs(f, [&](const std::string& l) { log.push_back(l); });
  EXPECT_EQ(dirs.PurgeStale(base), 2);
  EXPECT_EQ(f.removed, (std::vector<std::u16string>{base + u"_pid123", base + u"_pid88"}));
  EXPECT_EQ(log.back(), "WebView2 stale private user data dirs purged, count=2");
}

TEST_F(WebFixture, MountedContentIsServedAndPlainUrlsDropTheMount) {
  Connect();
  auto env = Environment();
  service().EnsureView(5, 100, 100, true, u"vyobuiltin:about");
  FakeWebView* wv = env->CompleteView();
  const std::u16string origin = u"https://v5.content.vyo.invalid";
  ASSERT_EQ(wv->navigations.size(), 1u);
  EXPECT_EQ(wv->navigations[0], origin + u"/index.html");
  EXPECT_EQ(wv->filters, std::vector<std::u16string>{origin + u"/*"});
  // Built-in content answers every request with 403.
  const auto answer = app->web().OnWebResourceRequested(5, web::WebResourceRequest{origin + u"/index.html", "GET"});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 403);
  EXPECT_EQ(answer->reason, "Forbidden");
  // Requests for other origins are let through.
  EXPECT_FALSE(app->web().OnWebResourceRequested(5, web::WebResourceRequest{u"https://other.invalid/x", "GET"}));

  app->web().NavigateView(5, u"https://example.invalid/");
  EXPECT_EQ(wv->navigations.back(), u"https://example.invalid/");
  EXPECT_TRUE(wv->filters.empty());
  EXPECT_TRUE(Web(5).content.origin.empty());

  // A mount that fails reports a content navigation failure.
  app->web().NavigateView(5, u"vyodir:/no/such/dir/anywhere");
  EXPECT_EQ(StatusCodes(5), std::vector<uint32_t>{2});
  EXPECT_TRUE(Web(5).web_failed);
  EXPECT_TRUE(Logged("Package navigation failed, view_id=5, detail=Mount failed"));
}

// The browser is never called while views_lock is held: over creation, configuration, navigation
// (mounted and plain), page messages both ways, resize, a re-created view and destroy.
TEST_F(WebFixture, TheBrowserIsNeverCalledWithViewsLockHeld) {
  std::vector<std::string> calls_under_lock;
  int calls = 0;
  testing::FakeRuntimeCallCheck() = [&](const std::string& call) {
    ++calls;
    if (app->views().lock().HeldByCurrentThread()) calls_under_lock.push_back(call);
  };
  Connect();
  auto env = Environment();
  service().EnsureView(5, 100, 100, true, u"vyobuiltin:about");
  service().EnsureView(6, 350, 700, true, u"https://example.invalid/");
  FakeWebView* wv5 = env->CompleteView();
  FakeWebView* wv6 = env->CompleteView();
  app->web().NavigateView(5, u"https://example.invalid/next");
  app->web().NavigateView(5, u"vyobuiltin:about");
  app->pages().PostWebMessageToView(5, "{\"to\":\"page\"}");
  wv5->sink->OnWebMessageReceived(web::WebMessage{"\"from page\"", std::string("from page"), u""});
  wv6->sink->OnCursorChanged();
  service().SetViewBackgroundColor(5, 0x11223344u);
  service().EnsureView(5, 200, 150, true, u"");  // resized in place
  Web(6).web_failed = true;
  service().EnsureView(6, 300, 300, true, u"");  // failed content: re-created
  service().DestroyView(5, true);
  app->Shutdown();
  testing::FakeRuntimeCallCheck() = nullptr;
  EXPECT_GT(calls, 50);
  EXPECT_TRUE(calls_under_lock.empty()) << calls_under_lock.front();
  EXPECT_TRUE(env->WasClosed(1));
  EXPECT_TRUE(env->WasClosed(2));
}

TEST_F(WebFixture, LateAnswersAfterShutdownDoNothing) {
  Connect();
  app->web().LoadWebView2Loader();
  auto pending = std::move(runtime->requests.front());
  runtime->requests.pop_front();
  app->Shutdown();
  app.reset();
  pending.done(web::kOk, std::make_shared<testing::FakeWebEnvironment>());  // must not touch the freed app
  SUCCEED();
}

}  // namespace
}  // namespace vyo::host
