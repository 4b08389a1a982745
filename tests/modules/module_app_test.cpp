// The module host inside the application: the configuration file at start-up, the greeting's
// module count, the status of a library that fails to load, module messages from the overlay, the
// main loop's tick, module views in the registry, and shutdown.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "fakes/app_harness.h"
#include "module_paths.h"
#include "fakes/fake_pipe.h"
#include "fakes/manual_clock.h"
#include "platform/main_wait.h"
#include "host/app.h"
#include "platform/dynamic_library.h"
#include "protocol/commands.h"
#include "protocol/protocol.h"

namespace vyo::host {
namespace {

using StartedApp = testing::StartedAppHarness;

TEST_F(StartedApp, ConfiguredModulesAreCountedLoadedDrivenAndShutDown) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vyo_module_app_" + std::to_string(platform::CurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string good = modules::testing::TestModulePath("test_module_b");
  std::ofstream(dir / "modules.ini") << "[module]\npath=" << good << "\nconfig=view\nname=B\n"
                                     << "[module]\npath=" << (dir / "missing.so").string() << "\nname=Missing\n"
                                     << "[module]\npath=x.so\nenabled=off\n";
  HostOptions options;
  options.module_config_path = Utf8ToUtf16((dir / "modules.ini").string());
  Start(options);

  const auto hello = Sent(kHostHello);
  ASSERT_EQ(hello.size(), 1u);
  EXPECT_EQ(DecodeHostHello(hello[0].second)->module_count, 2u);  // the two enabled sections
  EXPECT_TRUE(Logged("Module config result=0, entries=2"));
  const auto statuses = Sent(kModuleStatus);
  ASSERT_EQ(statuses.size(), 2u);
  const ModuleStatusMsg loaded = *DecodeModuleStatus(statuses[0].second);
  EXPECT_EQ(loaded.module_id, 1u);
  EXPECT_EQ(loaded.status, 0u);
  EXPECT_EQ(loaded.text, "B");
  const ModuleStatusMsg missing = *DecodeModuleStatus(statuses[1].second);
  EXPECT_EQ(missing.module_id, 2u);
  EXPECT_EQ(missing.status, 1u);  // bad path, with the system's reason
  EXPECT_EQ(missing.value, 2);
  EXPECT_EQ(missing.text, "Missing");

  // The module's view is in the registry with its owner, and the overlay was told.
  const auto created = Sent(kViewCreated);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(DecodeViewCreated(created[0].second)->view_id, 0x40000000u);
  EXPECT_EQ(DecodeViewCreated(created[0].second)->owner_module, 1u);
  EXPECT_EQ(View(0x40000000).owner_module, 1u);
  EXPECT_TRUE(app->module_host()->IsModuleView(0x40000000));

  // A module message from the overlay reaches the module; it destroys its view in answer.
  testing::PushFrame(*pipe, kModuleMessage, EncodeCommand(ModuleMessageCmd{1, "destroy"}));
  pipe->CloseIncoming();
  app->RunMainLoop();
  const auto destroyed = Sent(kViewDestroyed);
  ASSERT_EQ(destroyed.size(), 1u);
  EXPECT_EQ(DecodeViewDestroyed(destroyed[0].second)->view_id, 0x40000000u);
  EXPECT_EQ(DecodeViewDestroyed(destroyed[0].second)->owner_module, 1u);
  EXPECT_FALSE(app->module_host()->IsModuleView(0x40000000));

  app->Shutdown();
  std::filesystem::remove_all(dir);
}

TEST_F(StartedApp, AConfigurationWithoutModulesIsReported) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vyo_module_app_empty_" + std::to_string(platform::CurrentProcessId()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "modules.ini") << "[module]\nname=no path\n";
  HostOptions options;
  options.module_config_path = Utf8ToUtf16((dir / "modules.ini").string());
  Start(options);
  EXPECT_EQ(DecodeHostHello(Sent(kHostHello)[0].second)->module_count, 0u);
  const auto statuses = Sent(kModuleStatus);
  ASSERT_EQ(statuses.size(), 1u);
  const ModuleStatusMsg report = *DecodeModuleStatus(statuses[0].second);
  EXPECT_EQ(report.module_id, 0u);
  EXPECT_EQ(report.status, 10u);
  EXPECT_EQ(report.value, 3);
  app->Shutdown();
  std::filesystem::remove_all(dir);
}

// A main-thread wait for a host whose modules post from their own threads: the fake's behaviour
// (never sleeps, advances the manual clock) with its task queue under a lock.
class LockedFakeWait final : public platform::MainThreadWait {
 public:
  explicit LockedFakeWait(testing::ManualClock& clock) : clock_(clock) {}
  bool CreateFrameTimer() override { return true; }
  bool HasFrameTimer() const override { return true; }
  bool TimerPeriodRaised() const override { return false; }
  void CloseFrameTimer() override {}
  void WatchInputEvent(platform::NamedEvent*) override {}
  void WatchPipe(platform::PipeServer*) override {}
  bool WaitOnTimer(int64_t due_100ns, platform::WaitResult* result) override {
    clock_.AdvanceCounts(due_100ns * testing::ManualClock::kFrequency / 10'000'000);
    *result = platform::WaitResult::kElapsed;
    return true;
  }
  platform::WaitResult WaitTimeout(uint32_t timeout_ms) override {
    clock_.AdvanceMs(timeout_ms);
    return platform::WaitResult::kElapsed;
  }
  bool ConsumeInputSignal() override { return false; }
  void Post(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  int PumpMessages(int max_items, uint32_t) override {
    int n = 0;
    for (; n < max_items; ++n) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tasks_.empty()) break;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
    return n;
  }

 private:
  testing::ManualClock& clock_;
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

struct FloodedApp : testing::AppHarness {
  testing::OverlayObjects overlay_objects;
  void Start(HostOptions options) {
    HostBackends backends = testing::TestBackends();
    backends.main_wait = [this] { return std::make_unique<LockedFakeWait>(clock); };
    backends.pipe_server = [this](const std::u16string&) {
      auto owned = std::make_unique<testing::FakePipe>();
      pipe = owned.get();
      return owned;
    };
    app = std::make_unique<WebViewHostApp>(clock, std::move(backends));
    options.pipe_name = u"apptest.flood";
    options.input_map_name = overlay_objects.ring_name;
    options.input_event_name = overlay_objects.event_name;
    ASSERT_TRUE(app->Initialise(options));
  }
};

// A module thread makes and destroys views and sends output as fast as it can while the overlay
// reads nothing: calls beyond what the queue can take are refused at once, every view the module
// was given reaches the overlay (made and destroyed) once it reads again, and the writer never
// fails.
TEST_F(FloodedApp, AModuleFloodIsRefusedAtTheCallAndNothingPromisedIsLost) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vyo_module_flood_" + std::to_string(platform::CurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string module = modules::testing::TestModulePath("test_module_b");
  std::ofstream(dir / "modules.ini") << "[module]\npath=" << module << "\nconfig=swamp\nname=F\n";
  HostOptions options;
  options.module_config_path = Utf8ToUtf16((dir / "modules.ini").string());
  Start(options);
  ASSERT_EQ(DecodeModuleStatus(Sent(kModuleStatus).at(0).second)->status, 0u);

  // The test's own handle on the module's image, for its flood controls.
  auto library = platform::DynamicLibrary::Open(Utf8ToUtf16(module));
  ASSERT_NE(library, nullptr);
  const auto go = reinterpret_cast<void (*)()>(library->Symbol("TestModule_FloodGo"));
  const auto done = reinterpret_cast<int32_t (*)()>(library->Symbol("TestModule_FloodDone"));
  const auto results =
      reinterpret_cast<uint32_t (*)(uint32_t*, uint32_t, int32_t*, int32_t*)>(library->Symbol("TestModule_FloodResults"));
  ASSERT_TRUE(go && done && results);

  const size_t frames_before = Sent().size();  // waits until the writer is idle
  pipe->SetWriteMode(testing::FakePipe::WriteMode::kBlock);  // the overlay stops reading
  go();
  // Once the flood is over, a task posted behind all of its work ends the main loop; the loop ends
  // within 20 s whatever happens.
  std::thread stopper([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!app->main_thread().PostTask([&] { pipe->CloseIncoming(); })) pipe->CloseIncoming();
  });
  app->RunMainLoop();
  stopper.join();
  ASSERT_TRUE(done());
  EXPECT_FALSE(app->overlay().write_failed());

  pipe->SetWriteMode(testing::FakePipe::WriteMode::kOk);  // the overlay reads again
  std::vector<uint32_t> given(4000);
  int32_t refused = 0, outputs = 0;
  given.resize(results(given.data(), static_cast<uint32_t>(given.size()), &refused, &outputs));
  EXPECT_GT(refused, 0);
  EXPECT_FALSE(given.empty());
  const auto all = Sent();
  ASSERT_GT(all.size(), frames_before);
  std::vector<uint32_t> created, destroyed;
  int delivered_outputs = 0;
  for (size_t i = frames_before; i < all.size(); ++i) {
    const auto& [type, payload] = all[i];
    if (type == kViewCreated) created.push_back(DecodeViewCreated(payload)->view_id);
    if (type == kViewDestroyed) destroyed.push_back(DecodeViewDestroyed(payload)->view_id);
    if (type == kModuleOutput) ++delivered_outputs;
  }
  // Every view the module was given was made and destroyed, once each, in the order given.
  EXPECT_EQ(created, given);
  EXPECT_EQ(destroyed, given);
  EXPECT_GT(delivered_outputs, 0);
  EXPECT_LE(delivered_outputs, outputs);
  EXPECT_FALSE(app->overlay().write_failed());
  EXPECT_EQ(app->overlay().reserved_places(), 0u);  // every place taken was used or given back

  app->Shutdown();
  library.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vyo::host
