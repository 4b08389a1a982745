// The application object's page message handling and event policy, against the fake runtime and a
// fake pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "base/text.h"
#include "fakes/app_harness.h"
#include "fakes/fake_pipe.h"
#include "fakes/fake_user_data_fs.h"
#include "fakes/fake_web_runtime.h"
#include "fakes/manual_clock.h"
#include "host/app.h"
#include "input/keyboard_layout.h"
#include "platform/clipboard.h"
#include "renderers/web/scripts/page_scripts.h"

namespace vyo::host {
namespace {

using testing::FakePipe;
using testing::FakeWebRuntime;
using testing::FakeWebView;
using web::PageScript;

std::u16string ScriptText(PageScript s) { return std::u16string(web::PageScriptText(s)); }

web::WebMessage Text(const std::string& text) {
  web::WebMessage m;
  m.text = text;
  m.json = "\"" + web::EscapeJsonString(text) + "\"";
  return m;
}
web::WebMessage Json(const std::string& json) {
  web::WebMessage m;
  m.json = json;
  return m;
}

// The US layout whose keyboard state has the modifiers a test sets.
class ModifierKeyboard final : public IKeyboardLayout {
 public:
  explicit ModifierKeyboard(const uint32_t& modifiers) : modifiers_(modifiers), us_(CreateUsKeyboardLayout()) {}
  uint32_t ScanCodeOf(uint32_t virtual_key) override { return us_->ScanCodeOf(virtual_key); }
  int32_t Translate(uint32_t virtual_key, uint32_t scan_code, bool shift, std::u16string* text) override {
    return us_->Translate(virtual_key, scan_code, shift, text);
  }
  uint32_t ModifiersFromKeyboardState() override { return modifiers_; }

 private:
  const uint32_t& modifiers_;
  std::unique_ptr<IKeyboardLayout> us_;
};

// What the page policy tells the host, recorded.
struct RecordingPageDelegate final : web::IPagePolicyDelegate {
  std::vector<std::pair<uint32_t, std::string>> to_modules;
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> module_events;
  std::vector<uint32_t> navigating;
  uint32_t KeyboardModifiers() override { return 0; }
  void OnModulePageMessage(uint32_t view_id, const std::string& json) override { to_modules.emplace_back(view_id, json); }
  void OnModuleViewEvent(uint32_t view_id, uint32_t event, uint32_t argument) override {
    module_events.emplace_back(view_id, event, argument);
  }
  void OnPageNavigating(uint32_t view_id) override { navigating.push_back(view_id); }
};

struct PolicyFixture : testing::AppHarness {
  FakeWebRuntime* runtime = nullptr;
  std::shared_ptr<testing::FakeWebEnvironment> env;
  // The keyboard's modifiers as the host reads them when an accelerator key arrives.
  uint32_t modifiers = 0;

  void SetUp() override {
    HostBackends backends = testing::TestBackends();
    backends.keyboard_layout = [this] { return std::make_unique<ModifierKeyboard>(modifiers); };
    app = std::make_unique<WebViewHostApp>(clock, std::move(backends));
    auto r = std::make_unique<FakeWebRuntime>();
    runtime = r.get();
    app->web().SetRuntime(std::move(r), std::make_unique<testing::FakeUserDataFs>());
    ConnectPipe();
    app->web().LoadWebView2Loader();
    env = runtime->CompleteEnvironment();
  }

  // A view with its controller; `owner_module` makes it a module's view.
  FakeWebView* MakeView(uint32_t id, uint32_t owner_module = 0) {
    if (owner_module != 0) {
      service().CreateView(id, owner_module, u"", 0, 0, 300, 200, true);
    } else {
      service().EnsureView(id, 300, 200, true, u"");
    }
    return env->CompleteView();
  }
  web::IWebViewEvents& Sink(FakeWebView* wv) { return *wv->sink; }

  size_t LogsStartingWith(const std::string& prefix) {
    size_t n = 0;
    for (const auto& l : Logs()) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  std::vector<std::pair<uint32_t, uint32_t>> Pairs(uint32_t type) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (auto& [t, p] : Sent(type)) {
      uint32_t a = 0, b = 0;
      std::memcpy(&a, p.data(), 4);
      std::memcpy(&b, p.data() + 4, 4);
      out.emplace_back(a, b);
    }
    return out;
  }
  std::vector<PageMessageMsg> PageMessages() {
    std::vector<PageMessageMsg> out;
    for (auto& [t, p] : Sent(kPageMessage)) out.push_back(*DecodePageMessage(p));
    return out;
  }
};

TEST_F(PolicyFixture, ScriptsAreRegisteredInOrderAndRunAgainWhereTheyShould) {
  FakeWebView* wv = MakeView(1);
  const std::vector<std::u16string> order = {ScriptText(PageScript::kAdaptiveScale), ScriptText(PageScript::kDirtyReporting),
                                             ScriptText(PageScript::kImeFocus), ScriptText(PageScript::kNativeDragGuard),
                                             ScriptText(PageScript::kSelectionCopy)};
  EXPECT_EQ(wv->document_scripts, order);
  // Each is also run in the current document, right after it is added; the zoom before them ran
  // the adaptive-scale script once already.
  ASSERT_EQ(wv->executed_scripts.size(), 6u);
  EXPECT_EQ(wv->executed_scripts[0], order[0]);
  EXPECT_EQ(std::vector<std::u16string>(wv->executed_scripts.begin() + 1, wv->executed_scripts.end()), order);
  EXPECT_TRUE(Web(1).scripts_added);
  // Scripts come between the permission handler and the cursor handler.
  const auto at = [&](const std::string& call) {
    return std::find(wv->calls.begin(), wv->calls.end(), call) - wv->calls.begin();
  };
  EXPECT_LT(at("AddEventHandler(6)"), at("AddScriptToExecuteOnDocumentCreated()"));
  EXPECT_LT(at("AddScriptToExecuteOnDocumentCreated()"), at("AddEventHandler(7)"));

  // A resize runs the adaptive-scale script again.
  wv->executed_scripts.clear();
  service().EnsureView(1, 400, 800, true, u"", true);
  EXPECT_EQ(wv->executed_scripts, std::vector<std::u16string>{order[0]});

  // A completed navigation runs scripts 2 to 5 again (not the adaptive scale); a failed one does not.
  wv->executed_scripts.clear();
  web::NavigationCompletedArgs failed;
  failed.web_error_status = 7;
  Sink(wv).OnNavigationCompleted(failed);
  EXPECT_TRUE(wv->executed_scripts.empty());
  web::NavigationCompletedArgs ok;
  ok.success = true;
  Sink(wv).OnNavigationCompleted(ok);
  EXPECT_EQ(wv->executed_scripts, std::vector<std::u16string>(order.begin() + 1, order.end()));
  EXPECT_EQ(app->counters().navigations_completed, 2u);
}

TEST_F(PolicyFixture, ControlMessagesDriveFocusSelectionAndDirtyState) {
  FakeWebView* wv = MakeView(3);
  auto& sink = Sink(wv);
  // Focus: two on, two off, a third off changes nothing.
  for (const char* m : {"\x01vyo-input-focus 1", "\x01vyo-input-focus 1", "\x01vyo-input-focus 0",
                        "\x01vyo-input-focus 0", "\x01vyo-input-focus 0"}) {
    sink.OnWebMessageReceived(Text(m));
  }
  // A reassert raises a count of 0 once; a focus report that follows a reassert is not counted twice.
  sink.OnWebMessageReceived(Text("\x01vyo-input-reassert"));
  sink.OnWebMessageReceived(Text("\x01vyo-input-reassert"));
  EXPECT_EQ(app->pages().input_focus().Count(3), 1);
  EXPECT_EQ(Pairs(kInputFocusChanged), (std::vector<std::pair<uint32_t, uint32_t>>{{3, 1}, {3, 0}, {3, 1}}));

  // Selection: one SelectionChanged per transition, the text kept for copying.
  sink.OnWebMessageReceived(Text("\x01vyo-sel 1 hello \xe2\x82\xac"));
  sink.OnWebMessageReceived(Text("\x01vyo-sel 1 hello again"));
  EXPECT_EQ(app->pages().selection_store().Get(3), u"hello again");
  sink.OnWebMessageReceived(Text("\x01vyo-sel 0"));
  sink.OnWebMessageReceived(Text("\x01vyo-sel 0"));
  EXPECT_EQ(Pairs(kSelectionChanged), (std::vector<std::pair<uint32_t, uint32_t>>{{3, 1}, {3, 0}}));

  // Dirty: a zero-width report and an unknown control message change nothing; a rectangle does.
  sink.OnWebMessageReceived(Text("\x01vyo-dirty 0 0 0 10"));
  sink.OnWebMessageReceived(Text("\x01vyo-unknown"));
  EXPECT_FALSE(Capture(3).dirty.dirty_info_available);
  sink.OnWebMessageReceived(Text("\x01vyo-dirty 5 6 7 8"));
  sink.OnWebMessageReceived(Text("\x01vyo-dirty 1 1 2 2"));
  const capture::DirtyState dirty = Capture(3).dirty;
  EXPECT_TRUE(dirty.dirty_info_available);
  EXPECT_EQ((std::vector<int32_t>{dirty.dirty_rect.left, dirty.dirty_rect.top, dirty.dirty_rect.right,
                                  dirty.dirty_rect.bottom}),
            (std::vector<int32_t>{1, 1, 12, 14}));
  // A view copying whole frames ignores the page's reports.
  Capture(3).dirty = {};
  Capture(3).live_mode = true;
  sink.OnWebMessageReceived(Text("\x01vyo-dirty-full"));
  EXPECT_FALSE(Capture(3).dirty.force_full);

  // None of these is page data.
  EXPECT_TRUE(PageMessages().empty());
}

// A document's dirty reports end with it: after any navigation, the host's or the page's own, the
// view copies whole frames until the new document reports for itself.
TEST_F(PolicyFixture, DirtyReportsDoNotOutliveTheirDocument) {
  FakeWebView* wv = MakeView(5);
  web::IWebViewEvents& sink = Sink(wv);
  for (const bool host_initiated : {false, true}) {
    sink.OnWebMessageReceived(Text("\x01vyo-dirty 5 6 7 8"));
    Capture(5).dirty.force_full = false;
    ASSERT_TRUE(Capture(5).dirty.dirty_info_available);
    if (host_initiated) {
      app->view_service().NavigateView(5, u"https://example.invalid/next");
    } else {
      web::NavigationStartingArgs started;
      started.uri = u"https://example.invalid/clicked";
      sink.OnNavigationStarting(started);
    }
    const capture::DirtyState dirty = Capture(5).dirty;
    EXPECT_FALSE(dirty.dirty_info_available) << host_initiated;
    EXPECT_FALSE(dirty.has_rect) << host_initiated;
    EXPECT_TRUE(dirty.force_full) << host_initiated;
  }
}

TEST_F(PolicyFixture, PageDataReachesTheOverlayUnlessAModuleOwnsTheView) {
  FakeWebView* wv = MakeView(4);
  Sink(wv).OnWebMessageReceived(Text("plain \"text\""));
  Sink(wv).OnWebMessageReceived(Json("{\"a\":[1,2]}"));
  Sink(wv).OnWebMessageReceived(Json(""));  // nothing to send
  const auto messages = PageMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].view_id, 4u);
  EXPECT_EQ(messages[0].json, "\"plain \\\"text\\\"\"");  // the quoted JSON form of the string
  EXPECT_EQ(messages[1].json, "{\"a\":[1,2]}");

  // A module's view: its page data goes to the module host, never to the overlay.
  FakeWebView* module_view = MakeView(5, 77);
  Sink(module_view).OnWebMessageReceived(Json("{\"to\":\"module\"}"));
  EXPECT_EQ(PageMessages().size(), 2u);
  // Control messages of a module's view still work.
  Sink(module_view).OnWebMessageReceived(Text("\x01vyo-input-focus 1"));
  EXPECT_TRUE(app->pages().input_focus().HasInputFocus(5));
}

TEST_F(PolicyFixture, OversizedPageMessagesAreDroppedWithABudgetedLine) {
  FakeWebView* wv = MakeView(6);
  const std::string big = "\"" + std::string(kMaxPayload, 'x') + "\"";
  for (int i = 0; i < 12; ++i) Sink(wv).OnWebMessageReceived(Json(big));
  // Exactly at the limit still goes.
  Sink(wv).OnWebMessageReceived(Json("\"" + std::string(kMaxPayload - 8 - 2, 'y') + "\""));
  const auto messages = PageMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].json.size(), kMaxPayload - 8);
  EXPECT_EQ(LogsStartingWith("page message too large, dropped, view_id=6"), 8u);
  EXPECT_FALSE(app->overlay().writer()->write_failed());
}

TEST_F(PolicyFixture, AFloodOfPageDataNeverEndsTheHost) {
  FakeWebView* wv = MakeView(7);
  pipe->SetWriteMode(FakePipe::WriteMode::kBlock);  // the overlay stops reading: the queue fills
  for (int i = 0; i < 2000; ++i) {
    Sink(wv).OnWebMessageReceived(Json("{\"n\":" + std::to_string(i) + "}"));
    Sink(wv).OnWebMessageReceived(Text(i % 2 ? "\x01vyo-sel 1 x" : "\x01vyo-sel 0"));
  }
  EXPECT_FALSE(app->overlay().writer()->write_failed());
  pipe->SetWriteMode(FakePipe::WriteMode::kOk);
}

TEST_F(PolicyFixture, PostWebMessageToViewFromTheOverlay) {
  FakeWebView* wv = MakeView(8);
  app->dispatcher().Dispatch(kViewPostMessage, EncodeCommand(ViewPostMessageCmd{8, "{\"type\":\"hello\"}"}));
  app->dispatcher().Dispatch(kViewPostMessage, EncodeCommand(ViewPostMessageCmd{8, ""}));   // ignored
  app->dispatcher().Dispatch(kViewPostMessage, EncodeCommand(ViewPostMessageCmd{99, "{}"}));  // no such view
  EXPECT_EQ(wv->posted, std::vector<std::string>{"{\"type\":\"hello\"}"});
  wv->failing["PostWebMessageAsJson"] = web::kInvalidArg;
  app->pages().PostWebMessageToView(8, "not json");
  EXPECT_TRUE(Logged("PostWebMessageAsJson failed, view_id=8, hr=0x80070057"));
}

TEST_F(PolicyFixture, NewWindowsAndPermissionsAreRefused) {
  FakeWebView* wv = MakeView(9);
  web::NewWindowArgs window;
  window.uri = u"https://example.com/popup";
  Sink(wv).OnNewWindowRequested(window);
  EXPECT_TRUE(window.handled);
  EXPECT_TRUE(Logged("NewWindowRequested blocked, view_id=9, uri=https://example.com/popup"));
  web::NewWindowArgs empty;
  Sink(wv).OnNewWindowRequested(empty);
  EXPECT_TRUE(empty.handled);
  // A module's view: blocked as well; its module hears of the request (URI escaped), the overlay not.
  // (A page policy of the test's own, over the application's registry, records what it tells the
  // host.)
  MakeView(10, 3);
  RecordingPageDelegate recorder;
  HostSettings settings;
  HostCounters counters;
  web::PagePolicy policy(clock, settings, app->views(), app->overlay(), app->web(), app->capture(), counters, recorder);
  web::NewWindowArgs from_module;
  from_module.uri = u"https://example.com/a\"b";
  policy.OnNewWindowRequested(10, from_module);
  EXPECT_TRUE(from_module.handled);
  EXPECT_TRUE(PageMessages().empty());
  ASSERT_EQ(recorder.to_modules.size(), 1u);
  EXPECT_EQ(recorder.to_modules[0].first, 10u);
  EXPECT_EQ(recorder.to_modules[0].second, "{\"type\":\"__vyo_new_window\",\"uri\":\"https://example.com/a\\\"b\"}");

  web::PermissionArgs permission;
  permission.kind = 4;
  Sink(wv).OnPermissionRequested(permission);
  EXPECT_TRUE(permission.deny);
  EXPECT_TRUE(Logged("PermissionRequested denied, view_id=9, kind=4"));
}

TEST_F(PolicyFixture, AcceleratorsCopyOnceAndBlockBrowserKeysWithFourLogLines) {
  FakeWebView* wv = MakeView(11);
  modifiers = web::kModCtrl;
  const auto key = [&](int32_t kind, uint32_t vk, bool was_down = false) {
    web::AcceleratorArgs a;
    a.kind = kind;
    a.virtual_key = vk;
    a.was_down = was_down;
    Sink(wv).OnAcceleratorKeyPressed(a);
    return a;
  };
  // Without a selection Ctrl+C goes to the page.
  web::AcceleratorArgs a = key(0, 'C');
  EXPECT_FALSE(a.handled);
  EXPECT_TRUE(a.browser_enabled);

  Sink(wv).OnWebMessageReceived(Text("\x01vyo-sel 1 copied text"));
  platform::SetClipboardText(0, u"before");
  a = key(0, 'C');
  EXPECT_TRUE(a.handled);
  EXPECT_FALSE(a.browser_enabled);
  EXPECT_EQ(platform::GetClipboardText(), std::optional<std::u16string>(u"copied text"));
  // Auto-repeat and key up are taken from the page but copy nothing more.
  platform::SetClipboardText(0, u"changed");
  EXPECT_TRUE(key(0, 'C', true).handled);
  EXPECT_TRUE(key(1, 'C', true).handled);
  EXPECT_EQ(platform::GetClipboardText(), std::optional<std::u16string>(u"changed"));
  EXPECT_EQ(LogsStartingWith("CopySelectionToClipboard view_id=11 chars=11"), 1u);
  EXPECT_TRUE(key(0, 0x2D).handled);  // Ctrl+Insert copies too
  EXPECT_EQ(platform::GetClipboardText(), std::optional<std::u16string>(u"copied text"));

  // Blocked browser keys: handled, the browser's own handling off, four log lines per process.
  modifiers = web::kModCtrl;
  for (int i = 0; i < 6; ++i) {
    a = key(0, 'R');
    EXPECT_TRUE(a.handled);
    EXPECT_FALSE(a.browser_enabled);
  }
  EXPECT_EQ(LogsStartingWith("webview accelerator blocked, view_id=11"), 4u);
  EXPECT_TRUE(Logged("webview accelerator blocked, view_id=11, msg=0x100, vk=82, modifiers=2"));
  EXPECT_EQ(app->pages().accelerator_block_logs(), 4);
  modifiers = web::kModAlt;
  EXPECT_FALSE(key(2, 0x26).handled);  // Alt+Up
  EXPECT_TRUE(key(2, 0x25).handled);   // Alt+Left
  modifiers = 0;
  EXPECT_TRUE(key(0, 0x7B).handled);   // F12
  EXPECT_FALSE(key(0, 'A').handled);
  EXPECT_FALSE(key(7, 0x7B).handled);  // not a key event kind
}

TEST_F(PolicyFixture, RendererFailureMarksTheViewFailedAndANewNavigationClearsIt) {
  FakeWebView* wv = MakeView(12);
  Sink(wv).OnWebMessageReceived(Text("\x01vyo-input-focus 1"));
  Sink(wv).OnWebMessageReceived(Text("\x01vyo-sel 1 abc"));
  Sink(wv).OnProcessFailed(1);
  EXPECT_TRUE(Web(12).web_failed);
  EXPECT_EQ(Pairs(kViewStatus), (std::vector<std::pair<uint32_t, uint32_t>>{{12, 1}}));
  EXPECT_TRUE(Logged("WebView2 process failed, view_id=12, kind=1"));
  EXPECT_FALSE(app->pages().input_focus().HasInputFocus(12));
  EXPECT_EQ(app->pages().selection_store().Get(12), u"");
  EXPECT_EQ(Pairs(kInputFocusChanged).back(), (std::pair<uint32_t, uint32_t>{12, 0}));
  EXPECT_EQ(Pairs(kSelectionChanged).back(), (std::pair<uint32_t, uint32_t>{12, 0}));
  EXPECT_EQ(runtime->requests.size(), 0u);  // a renderer is not the environment

  // Another process of the browser failing leaves the view alone.
  FakeWebView* other = MakeView(13);
  Sink(other).OnProcessFailed(6);
  EXPECT_FALSE(Web(13).web_failed);
  EXPECT_EQ(Pairs(kViewStatus).size(), 1u);
  EXPECT_TRUE(Logged("WebView2 process failed, view_id=13, kind=6"));

  // A failed navigation does not clear the mark; a successful one of the live view does.
  web::NavigationCompletedArgs failed;
  Sink(wv).OnNavigationCompleted(failed);
  EXPECT_TRUE(Web(12).web_failed);
  web::NavigationCompletedArgs ok;
  ok.success = true;
  Sink(wv).OnNavigationCompleted(ok);
  EXPECT_FALSE(Web(12).web_failed);
}

TEST_F(PolicyFixture, BrowserExitRecreatesTheEnvironmentOnceWithoutSpendingTheBudget) {
  FakeWebView* a = MakeView(14);
  FakeWebView* b = MakeView(15);
  const int32_t budget = app->web().env_recreate_budget();
  Sink(a).OnProcessFailed(0);
  Sink(b).OnProcessFailed(0);
  EXPECT_EQ(runtime->requests.size(), 1u);
  EXPECT_EQ(app->web().env_recreate_budget(), budget);
  EXPECT_FALSE(app->web().has_environment());
  EXPECT_EQ(Pairs(kViewStatus), (std::vector<std::pair<uint32_t, uint32_t>>{{14, 1}, {15, 1}}));
  EXPECT_TRUE(Logged("WebView2 browser process exited, environment recreate begin"));
  env = runtime->CompleteEnvironment();
  EXPECT_TRUE(app->web().has_environment());
}

TEST_F(PolicyFixture, NavigationClearsSelectionAndFocusAndCursorChangesAreSent) {
  FakeWebView* wv = MakeView(16);
  Sink(wv).OnWebMessageReceived(Text("\x01vyo-sel 1 abc"));
  Sink(wv).OnWebMessageReceived(Text("\x01vyo-input-focus 1"));
  web::NavigationCompletedArgs ok;
  ok.success = true;
  Sink(wv).OnNavigationCompleted(ok);
  EXPECT_FALSE(app->pages().selection_store().Has(16));
  EXPECT_FALSE(app->pages().input_focus().HasInputFocus(16));

  wv->cursor = 32513;
  Sink(wv).OnCursorChanged();
  const auto cursors = Sent(kCursorChanged);
  ASSERT_EQ(cursors.size(), 1u);
  EXPECT_EQ(cursors[0].second.size(), 16u);
  EXPECT_EQ(DecodeCursorChanged(cursors[0].second)->cursor_id, 32513u);
  EXPECT_EQ(std::vector<uint8_t>(cursors[0].second.begin() + 8, cursors[0].second.end()), std::vector<uint8_t>(8, 0));
  wv->failing["GetSystemCursorId"] = web::kFail;
  Sink(wv).OnCursorChanged();
  EXPECT_EQ(Sent(kCursorChanged).size(), 1u);
}

TEST_F(PolicyFixture, ACopyThatFindsNothingLeavesTheClipboardAlone) {
  MakeView(17);
  platform::SetClipboardText(0, u"user's text");
  app->pages().CopySelectionToClipboard(17);
  app->pages().CopySelectionToClipboard(999);
  EXPECT_EQ(platform::GetClipboardText(), std::optional<std::u16string>(u"user's text"));
  EXPECT_EQ(LogsStartingWith("CopySelectionToClipboard"), 0u);
}

}  // namespace
}  // namespace vyo::host
