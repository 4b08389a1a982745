// The application object with fake engines and a manual clock. `AppHarness` drives its subsystems
// in place over a fake pipe, without the rest of start-up; `StartedAppHarness` runs the real
// Initialise over shared memory made here, a fake pipe and a main-thread wait that never sleeps.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/lock_checks.h"
#include "base/text.h"
#include "fakes/fake_main_wait.h"
#include "fakes/fake_pipe.h"
#include "fakes/fake_web_runtime.h"
#include "fakes/test_backends.h"
#include "fakes/manual_clock.h"
#include "host/app.h"
#include "platform/named_event.h"
#include "platform/process.h"
#include "platform/shared_memory.h"

namespace vyo::testing {


struct AppHarness : ::testing::Test {
  ManualClock clock;
  std::unique_ptr<host::WebViewHostApp> app = std::make_unique<host::WebViewHostApp>(clock, TestBackends());
  FakePipe* pipe = nullptr;

  host::ViewService& service() { return app->view_service(); }

  // No test of the application may have entered I/O, cryptography, GPU work or a call out with the
  // view registry's lock held.
  void TearDown() override { EXPECT_EQ(RegistryLockViolations(), 0u); }

  void ConnectPipe() {
    auto owned = std::make_unique<FakePipe>();
    pipe = owned.get();
    app->overlay().Attach(std::move(owned));
  }
  // Host messages written so far (after the writer has caught up).
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Sent() {
    app->overlay().writer()->WaitUntilIdle(5000);
    return WrittenFrames(*pipe);
  }
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Sent(uint32_t type) {
    auto all = Sent();
    all.erase(std::remove_if(all.begin(), all.end(), [&](const auto& f) { return f.first != type; }), all.end());
    return all;
  }
  std::vector<std::string> Logs() {
    std::vector<std::string> logs;
    for (auto& [type, payload] : Sent(host::kHostLog)) logs.emplace_back(payload.begin(), payload.end());
    return logs;
  }
  bool Logged(const std::string& line) {
    const auto logs = Logs();
    return std::find(logs.begin(), logs.end(), line) != logs.end();
  }
  host::ViewState View(uint32_t id) { return app->views().Snapshot(id).value(); }
  // A view's fields as its subsystems keep them (the view must exist).
  web::ViewWebState& Web(uint32_t id) { return *app->web().Find(id); }
  capture::ViewCaptureState& Capture(uint32_t id) { return *app->capture().Find(id); }
  const host::ViewInputState& Focus(uint32_t id) { return *std::as_const(app->focus()).Find(id); }
  // A created view with a recording web view of its own (kept in `web_views`).
  std::map<uint32_t, std::shared_ptr<FakeWebView>> web_views;
  FakeWebView& AddWebView(uint32_t id) {
    service().EnsureView(id, 100, 100, true, u"");
    auto wv = std::make_shared<FakeWebView>();
    Web(id).webview = wv;
    web_views[id] = wv;
    return *wv;
  }
  template <typename F>
  auto WithView(uint32_t id, F f) {
    return app->views().With(id, f);
  }
};

// The overlay's shared memory (input ring, input event), under names unique to this process.
struct OverlayObjects {
  std::u16string ring_name, event_name;
  std::unique_ptr<platform::SharedMemory> ring;
  std::unique_ptr<platform::NamedEvent> event;

  OverlayObjects() {
    static int serial = 0;
    const std::u16string tag =
        Utf8ToUtf16("apptest." + std::to_string(platform::CurrentProcessId()) + "." + std::to_string(++serial));
    ring_name = tag + u".ring";
    event_name = tag + u".event";
    ring = platform::SharedMemory::Create(ring_name, host::kInputRingSize);
    event = platform::NamedEvent::Create(event_name);
  }
};

struct StartedAppHarness : AppHarness {
  OverlayObjects overlay_objects;
  FakeMainWait* wait = nullptr;

  // A fresh application started with Initialise over a new fake pipe (`options` gives the settings
  // other than the names).
  void Start(host::HostOptions options = {}) {
    host::HostBackends backends = TestBackends();
    backends.main_wait = [this] {
      auto owned = std::make_unique<FakeMainWait>(clock);
      wait = owned.get();
      return owned;
    };
    backends.pipe_server = [this](const std::u16string&) {
      auto owned = std::make_unique<FakePipe>();
      pipe = owned.get();
      return owned;
    };
    app = std::make_unique<host::WebViewHostApp>(clock, std::move(backends));
    options.pipe_name = u"apptest.pipe";
    options.input_map_name = overlay_objects.ring_name;
    options.input_event_name = overlay_objects.event_name;
    ASSERT_TRUE(app->Initialise(options));
  }
};

}  // namespace vyo::testing
