#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "base/text.h"
#include "modules/module_host.h"
#include "platform/dynamic_library.h"
#include "platform/fault_guard.h"
#include "protocol/protocol.h"
#include "module_paths.h"
#include "vyo_module.h"

// The test module's own record (tests/modules/test_module.cpp).
struct TestModuleState {
  int init_calls;
  int shutdown_calls;
  int ticks;
  uint64_t last_tick;
  VyomInitArgs args;
  std::string config;
  std::u16string folder;
  uint32_t table_size, table_version;
  bool table_complete;
  uint32_t view;
  std::string last_host_message;
  uint32_t last_host_length;
  int host_messages;
  std::string last_page_message;
  uint32_t last_page_view, last_page_length;
  uint32_t last_event, last_event_view, events;
  const VyomServices* services;
};

namespace vyo::modules {
namespace {

std::u16string ModulePath(const char* name) {
  return Utf8ToUtf16(testing::TestModulePath(name));
}

// IModuleServices that records what modules asked for and keeps a registry of their views.
// Thread-safe: module threads call it too.
class FakeServices final : public host::IModuleServices {
 public:
  ModuleHost* host = nullptr;
  std::atomic<bool> refuse_output{false};
  std::mutex mu;
  std::set<uint32_t> views;
  std::vector<std::pair<uint32_t, uint32_t>> created;  // view, owner
  std::vector<uint32_t> destroyed;
  std::vector<host::ModuleStatusMsg> statuses;
  std::vector<std::string> logs;
  std::atomic<int> outputs{0};
  std::atomic<int> other_calls{0};

  bool CreateView(uint32_t view_id, uint32_t owner, const char16_t*, int32_t, int32_t, int32_t, int32_t, bool) override {
    std::lock_guard<std::mutex> g(mu);
    views.insert(view_id);
    created.emplace_back(view_id, owner);
    return true;
  }
  void RemoveView(uint32_t view_id) override {
    bool existed;
    {
      std::lock_guard<std::mutex> g(mu);
      existed = views.erase(view_id) != 0;
      destroyed.push_back(view_id);
    }
    // The registry's destroy with module notification.
    if (existed && host != nullptr) {
      host->RouteViewEvent(view_id, 4, 0);
      host->ForgetView(view_id);
    }
  }
  void SetViewRect(uint32_t, int32_t, int32_t, int32_t, int32_t) override { ++other_calls; }
  void ShowView(uint32_t, bool) override { ++other_calls; }
  void SetViewZOrder(uint32_t, int32_t) override { ++other_calls; }
  void SetRelayFlagA(uint32_t, bool) override { ++other_calls; }
  void SetRelayFlagB(uint32_t, bool) override { ++other_calls; }
  void SetViewHitTest(uint32_t, int32_t, int32_t) override { ++other_calls; }
  void SetViewBackgroundColor(uint32_t, uint32_t) override { ++other_calls; }
  void SetViewFrameRate(uint32_t, int32_t) override { ++other_calls; }
  void NavigateView(uint32_t, const char16_t*) override { ++other_calls; }
  void PostWebMessageToView(uint32_t, const char*) override { ++other_calls; }
  bool GetSurfaceSize(uint32_t*, uint32_t*) override { return false; }
  bool SendRawMessage(uint32_t type, const uint8_t* bytes, uint32_t length) override {
    const std::vector<uint8_t> payload(bytes, bytes + length);
    if (type == host::kModuleStatus) {
      std::lock_guard<std::mutex> g(mu);
      statuses.push_back(*host::DecodeModuleStatus(payload));
      return true;
    }
    if (type == host::kModuleOutput) {
      if (refuse_output) return false;
      ++outputs;
    }
    return true;
  }
  void ModuleLog(int32_t, const char* text) override {
    {
      std::lock_guard<std::mutex> g(mu);
      logs.emplace_back(text);
    }
    if (std::string(text) == "unload_me" && host != nullptr) host->UnloadModule(1, 8, 0);
  }
  uint64_t Now() override { return 42; }
  uint32_t GetParentProcessId() override { return 7; }
  void GetHostDirectory(std::u16string* out) override { out->clear(); }
  // The test's thread stands for the main thread: work runs where it is handed over, or waits until
  // the test runs it.
  bool RunOnMainThread(std::function<void()> work) override {
    if (hold_work) {
      std::lock_guard<std::mutex> g(mu);
      held.push_back(std::move(work));
      return true;
    }
    work();
    return true;
  }
  void RunHeldWork() {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> g(mu);
      work.swap(held);
    }
    for (auto& w : work) w();
  }
  // Places are there unless refused; the count held must come back to zero.
  bool ReserveOverlayFrames(uint32_t count) override {
    if (refuse_places) return false;
    reserved += static_cast<int>(count);
    return true;
  }
  bool hold_work = false;
  std::atomic<bool> refuse_places{false};
  std::vector<std::function<void()>> held;
  void ReleaseOverlayFrames(uint32_t count) override { reserved -= static_cast<int>(count); }
  bool SendReservedMessage(uint32_t type, const uint8_t* bytes, uint32_t length) override {
    return SendRawMessage(type, bytes, length);
  }
  std::atomic<int> reserved{0};

  int LogCount(const std::string& text) {
    std::lock_guard<std::mutex> g(mu);
    return static_cast<int>(std::count(logs.begin(), logs.end(), text));
  }
};

class ModuleHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleHostDeps deps;
    deps.report_event = [this](qos::QosEvent e) { events_.push_back(e); };
    deps.view_id_in_use = [](uint32_t id) { return id == kFirstModuleViewId + 1; };  // the overlay's view
    deps.parent_pid = 4321;
    host_ = std::make_unique<ModuleHost>(services_, deps);
    services_.host = host_.get();
  }
  void TearDown() override {
    host_.reset();
    for (auto& lib : state_libs_) lib.reset();
  }
  // The module's record, through a handle of the test's own (it keeps the image for reading).
  TestModuleState* State(const char* name) {
    auto lib = platform::DynamicLibrary::Open(ModulePath(name));
    EXPECT_NE(lib, nullptr);
    if (!lib) return nullptr;
    auto fn = reinterpret_cast<TestModuleState* (*)()>(lib->Symbol("TestModule_State"));
    state_libs_.push_back(std::move(lib));
    return fn();
  }
  host::ModuleStatusMsg LastStatus() {
    std::lock_guard<std::mutex> g(services_.mu);
    return services_.statuses.empty() ? host::ModuleStatusMsg{99, 99, 99, ""} : services_.statuses.back();
  }

  FakeServices services_;
  std::vector<qos::QosEvent> events_;
  std::unique_ptr<ModuleHost> host_;
  std::vector<std::unique_ptr<platform::DynamicLibrary>> state_libs_;
};

TEST_F(ModuleHostTest, AGoodModuleIsLoadedDrivenAndShutDownOnce) {
  const uint32_t id = host_->LoadModule(ModulePath("test_module_a"), "view", "A");
  ASSERT_EQ(id, 1u);
  TestModuleState* s = State("test_module_a");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(LastStatus().status, 0u);
  EXPECT_EQ(LastStatus().text, "A");
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].kind, 25);
  EXPECT_EQ(events_[0].ints[0], 0);
  EXPECT_EQ(events_[0].ints[2], 1);
  // Initialisation record and table.
  EXPECT_EQ(s->init_calls, 1);
  EXPECT_EQ(s->args.size, 40u);
  EXPECT_EQ(s->args.module_id, 1u);
  EXPECT_EQ(s->config, "view");
  EXPECT_EQ(s->args.config_length, 4u);
  EXPECT_EQ(s->args.host_parent_pid, 4321u);
  EXPECT_EQ(Utf16ToUtf8(s->folder), testing::TestModuleDir());
  EXPECT_EQ(s->table_size, 192u);
  EXPECT_EQ(s->table_version, 1u);
  EXPECT_TRUE(s->table_complete);
  // Its view has the first module id and the module as owner.
  ASSERT_EQ(services_.created.size(), 1u);
  EXPECT_EQ(services_.created[0], std::make_pair(kFirstModuleViewId, 1u));
  EXPECT_EQ(s->view, kFirstModuleViewId);
  EXPECT_TRUE(host_->IsModuleView(kFirstModuleViewId));

  host_->TickModules(1234);
  EXPECT_EQ(s->ticks, 1);
  EXPECT_EQ(s->last_tick, 1234u);

  const std::string with_nul("ab\0cd", 5);
  host_->RouteHostMessage(id, with_nul);
  EXPECT_EQ(s->last_host_length, 5u);
  EXPECT_EQ(s->last_host_message, with_nul);
  host_->RouteHostMessage(id + 5, "other module");
  EXPECT_EQ(s->host_messages, 1);

  host_->RoutePageMessage(kFirstModuleViewId, "{\"p\":1}");
  EXPECT_EQ(s->last_page_view, kFirstModuleViewId);
  EXPECT_EQ(s->last_page_message, "{\"p\":1}");
  EXPECT_EQ(s->last_page_length, 7u);
  host_->RoutePageMessage(5, "{\"overlay view\":1}");
  EXPECT_EQ(s->last_page_view, kFirstModuleViewId);

  // The module destroys its view: event 4, and the view is no longer its own.
  host_->RouteHostMessage(id, "destroy");
  EXPECT_EQ(s->last_event, 4u);
  EXPECT_EQ(s->last_event_view, kFirstModuleViewId);
  EXPECT_FALSE(host_->IsModuleView(kFirstModuleViewId));

  host_->ShutdownModules();
  host_->ShutdownModules();
  EXPECT_EQ(s->shutdown_calls, 1);
  EXPECT_EQ(LastStatus().status, 8u);
  EXPECT_EQ(host_->loaded_count(), 0u);
}

TEST_F(ModuleHostTest, LoadFailuresAreReportedWithTheirStatus) {
  struct Case {
    const char* what;
    std::u16string path;
    std::string config;
    uint32_t status;
    uint32_t value;
  };
  const std::vector<Case> cases = {
      {"empty path", u"", "", 1, 0},
      {"missing file", ModulePath("no_such_module"), "", 1, 2},
      {"version 2", ModulePath("test_module_v2"), "", 5, 2},
      {"missing export", ModulePath("test_module_no_shutdown"), "", 4, 0},
      {"initialisation refused", ModulePath("test_module_a"), "init_fail", 6, 0},
  };
  // The test's own handles keep the images (and what the modules saw) after the host lets go.
  TestModuleState* a = State("test_module_a");
  TestModuleState* v2 = State("test_module_v2");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    events_.clear();
    host_->LoadModule(c.path, c.config, "n");
    EXPECT_EQ(LastStatus().status, c.status);
    EXPECT_EQ(static_cast<uint32_t>(LastStatus().value), c.value);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].kind, 25);
    EXPECT_EQ(events_[0].ints[0], 1);
    EXPECT_EQ(events_[0].ints[3], static_cast<int32_t>(c.status));
  }
  EXPECT_EQ(v2->init_calls, 0);
  EXPECT_EQ(a->init_calls, 1);
  EXPECT_EQ(a->shutdown_calls, 0);  // initialisation failed: no shutdown
  EXPECT_EQ(host_->loaded_count(), 0u);
}

TEST_F(ModuleHostTest, TheSamePathIsLoadedOnce) {
  EXPECT_EQ(host_->LoadModule(ModulePath("test_module_a"), "", "A"), 1u);
  EXPECT_EQ(host_->LoadModule(ModulePath("test_module_a"), "", "A again"), 2u);
  EXPECT_EQ(LastStatus().status, 3u);
  EXPECT_EQ(static_cast<uint32_t>(LastStatus().value), kErrorAlreadyExists);
  EXPECT_EQ(host_->loaded_count(), 1u);
}

#ifndef _WIN32
// Other paths to the same library file: each is the module already loaded. A copy is another file.
TEST_F(ModuleHostTest, TheSameFileReachedByAnotherPathIsLoadedOnce) {
  namespace fs = std::filesystem;
  const fs::path module = testing::TestModulePath("test_module_a");
  const fs::path dir = fs::temp_directory_path() / ("vyo_module_same_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  fs::create_symlink(module, dir / "alias.so");
  fs::create_directory_symlink(module.parent_path(), dir / "folder");
  fs::copy_file(module, dir / "copy.so");
  struct Case {
    const char* what;
    fs::path path;
    uint32_t status;
    uint32_t value;
  };
  const Case cases[] = {
      {"a link to the file", dir / "alias.so", kModuleLoadFailed, kErrorAlreadyExists},
      {"a .. path to the link", dir / "sub" / ".." / "alias.so", kModuleLoadFailed, kErrorAlreadyExists},
      {"a linked folder", dir / "folder" / module.filename(), kModuleLoadFailed, kErrorAlreadyExists},
      {"a copy", dir / "copy.so", kModuleLoaded, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(host_->LoadModule(ModulePath("test_module_a"), "", "A"), 0u);
    ASSERT_EQ(LastStatus().status, kModuleLoaded);
    host_->LoadModule(Utf8ToUtf16(c.path.string()), "", "again");
    EXPECT_EQ(LastStatus().status, c.status);
    EXPECT_EQ(static_cast<uint32_t>(LastStatus().value), c.value);
    EXPECT_EQ(host_->loaded_count(), c.status == kModuleLoaded ? 2u : 1u);
    host_->ShutdownModules();
    EXPECT_EQ(host_->loaded_count(), 0u);
  }
  fs::remove_all(dir);
}
#endif

TEST_F(ModuleHostTest, AFaultInInitialiseDestroysItsViewsAndTheHostGoesOn) {
  host_->LoadModule(ModulePath("test_module_a"), "view init_crash", "A");
  EXPECT_EQ(LastStatus().status, 7u);
  EXPECT_EQ(static_cast<uint32_t>(LastStatus().value), 0xC0000005u);
  ASSERT_EQ(services_.destroyed.size(), 1u);
  EXPECT_EQ(services_.destroyed[0], kFirstModuleViewId);
  EXPECT_TRUE(services_.views.empty());
  EXPECT_FALSE(host_->IsModuleView(kFirstModuleViewId));
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[0].kind, 26);
  EXPECT_EQ(events_[0].ints[3], static_cast<int32_t>(0xC0000005u));
  TestModuleState* s = State("test_module_a");
  EXPECT_EQ(s->shutdown_calls, 0);
  EXPECT_EQ(s->events, 0u);  // a faulted module is not called again
  // The host carries on: another module loads and runs.
  EXPECT_NE(host_->LoadModule(ModulePath("test_module_b"), "", "B"), 0u);
  EXPECT_EQ(LastStatus().status, 0u);
}

TEST_F(ModuleHostTest, AFaultInTickUnloadsThatModuleAndTheOthersStillTick) {
  const uint32_t a = host_->LoadModule(ModulePath("test_module_a"), "view tick_crash", "A");
  const uint32_t b = host_->LoadModule(ModulePath("test_module_b"), "view", "B");
  ASSERT_EQ(a, 1u);
  ASSERT_EQ(b, 2u);
  // Module ids are distinct, view ids skip the id the registry already holds.
  EXPECT_EQ(State("test_module_a")->view, kFirstModuleViewId);
  EXPECT_EQ(State("test_module_b")->view, kFirstModuleViewId + 2);
  host_->TickModules(1);
  EXPECT_EQ(State("test_module_b")->ticks, 1);
  EXPECT_EQ(host_->loaded_count(), 1u);
  EXPECT_FALSE(host_->IsModuleView(kFirstModuleViewId));
  bool saw_fault = false;
  for (const auto& s : services_.statuses) saw_fault |= s.module_id == 1 && s.status == 7 && s.value == static_cast<int32_t>(0xC0000005u);
  EXPECT_TRUE(saw_fault);
  host_->TickModules(2);
  EXPECT_EQ(State("test_module_a")->ticks, 1);
  EXPECT_EQ(State("test_module_b")->ticks, 2);
}

TEST_F(ModuleHostTest, AnUnloadRequestedInsideACallWaitsForTheCallToReturn) {
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_a"), "view", "A"), 1u);
  TestModuleState* s = State("test_module_a");
  host_->RouteHostMessage(1, "unload_me");
  // The module ran on after the request (its second log line), then was unloaded.
  EXPECT_EQ(services_.LogCount("still running"), 1);
  EXPECT_EQ(s->shutdown_calls, 1);
  EXPECT_EQ(LastStatus().status, 8u);
  EXPECT_EQ(host_->loaded_count(), 0u);
}

// Runs `fn` on a thread of its own and waits for it at most `seconds`. A call that does not return
// in time is stuck for good (a lock left held): the test program ends, since nothing can join it.
void ReturnsWithin(int seconds, const std::function<void()>& fn, const char* what) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread caller([fn, done] {
    fn();
    done->set_value();
  });
  if (finished.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    std::fprintf(stderr, "FATAL: %s did not return within %d s\n", what, seconds);
    std::fflush(stderr);
    std::_Exit(3);
  }
  caller.join();
}

TEST_F(ModuleHostTest, AFaultWritingLoginInfoLeavesTheHostUsable) {
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_a"), "view login_fault", "A"), 1u);
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_b"), "view", "B"), 2u);
  TestModuleState* b = State("test_module_b");
  ASSERT_NE(b, nullptr);
  host_->RouteHostMessage(0, "{\"type\":\"login_info\",\"qmr_id\":77}");
  // Module A's tick hands a read-only record to get_login_info: the host's write faults.
  ReturnsWithin(10, [&] { host_->TickModules(1); }, "the tick with the faulting login record");
  bool saw_fault = false;
  for (const auto& st : services_.statuses) saw_fault |= st.module_id == 1 && st.status == 7;
  EXPECT_TRUE(saw_fault);
  // The next calls that take the host's lock return promptly.
  ReturnsWithin(10, [&] {
    host_->TickModules(2);
    host_->RouteHostMessage(2, "hello");
    EXPECT_EQ(host_->loaded_count(), 1u);
    host_->ShutdownModules();
  }, "the calls after the fault");
  EXPECT_EQ(b->ticks, 2);
  EXPECT_EQ(b->shutdown_calls, 1);
}

TEST_F(ModuleHostTest, AnExceptionLeavingAModuleIsItsAbortAndLeavesTheGuardClear) {
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_a"), "view", "A"), 1u);
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_b"), "view tick_crash", "B"), 2u);
  EXPECT_NO_THROW(host_->RouteHostMessage(1, "throw"));
  EXPECT_FALSE(platform::InGuardedCall());
  // The call depth came back down: the module was unloaded at once, not left pending.
  EXPECT_EQ(host_->loaded_count(), 1u);
  EXPECT_FALSE(host_->IsModuleView(kFirstModuleViewId));
  bool saw_abort = false;
  for (const auto& st : services_.statuses)
    saw_abort |= st.module_id == 1 && st.status == 7 && st.value == static_cast<int32_t>(platform::kFaultAbort);
  EXPECT_TRUE(saw_abort);
  // The guard still contains a fault: module B's tick faults and comes back as its code.
  ReturnsWithin(10, [&] { host_->TickModules(1); }, "the faulting tick after the exception");
  bool saw_fault = false;
  for (const auto& st : services_.statuses)
    saw_fault |= st.module_id == 2 && st.status == 7 && st.value == static_cast<int32_t>(platform::kFaultAccessViolation);
  EXPECT_TRUE(saw_fault);
  EXPECT_EQ(host_->loaded_count(), 0u);
  EXPECT_FALSE(platform::InGuardedCall());
}

TEST_F(ModuleHostTest, LoginInfoIsCachedOnceAndRoutedToEveryModuleInOrder) {
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_a"), "", "A"), 1u);
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_b"), "", "B"), 2u);
  host_->RouteHostMessage(0, "{\"type\":\"login_info\",\"qmr_id\":\"123\"}");
  host_->RouteHostMessage(0, "{ \"type\" : \"login_info\", \"qmr_id\": 123}");
  EXPECT_EQ(services_.LogCount("ModuleHost: login_info cached"), 1);
  EXPECT_EQ(State("test_module_a")->host_messages, 2);
  EXPECT_EQ(State("test_module_b")->host_messages, 2);
  host_->RouteHostMessage(0, "{\"type\":\"login_info\",\"qmr_id\":-99999999999999999999999}");
  EXPECT_EQ(services_.LogCount("ModuleHost: login_info cached"), 2);
  EXPECT_EQ(ParseLoginId("-99999999999999999999999"), INT64_MIN);
  EXPECT_EQ(ParseLoginId("word"), 0);
  std::string_view value;
  bool is_string = false;
  EXPECT_FALSE(FindJsonValue("{\"a\": \"type\"}", "type", &value, &is_string));
}

TEST_F(ModuleHostTest, AModuleThreadMayCallServicesWhileItsViewsGoAway) {
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_a"), "view thread", "A"), 1u);
  TestModuleState* s = State("test_module_a");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GT(services_.other_calls.load(), 0);
  host_->RouteHostMessage(1, "destroy");  // the main thread destroys the view under the thread's calls
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const int after_destroy = services_.other_calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(services_.other_calls.load(), after_destroy);  // calls on a view it no longer owns do nothing
  host_->ShutdownModules();  // joins the thread in the module's shutdown
  EXPECT_EQ(s->shutdown_calls, 1);
}

TEST_F(ModuleHostTest, AFloodOfModuleOutputIsDroppedWithABudgetedLog) {
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_a"), "flood", "A"), 1u);
  services_.refuse_output = true;
  host_->TickModules(1);
  host_->TickModules(2);
  EXPECT_EQ(services_.LogCount("ModuleHost: module output dropped, the pipe queue is full"), 8);
  EXPECT_EQ(host_->loaded_count(), 1u);
  services_.refuse_output = false;
  host_->TickModules(3);
  EXPECT_EQ(services_.outputs.load(), 10000);
}

// A module's posted work is bounded: creations beyond the bound, or without room in the overlay's
// queue, fail at the call; destroys are never refused; every creation that returned an id is made
// and destroyed once its work runs, and every queue place taken is given back.
TEST_F(ModuleHostTest, AModulesWorkInFlightIsBoundedAndRefusedAtTheCall) {
  ASSERT_EQ(host_->LoadModule(ModulePath("test_module_a"), "", "A"), 1u);
  const VyomServices* t = State("test_module_a")->services;
  ASSERT_NE(t, nullptr);
  static const vyom_char16 url[] = {'a', 0};
  services_.hold_work = true;  // nothing posted runs until the test says so
  std::vector<uint32_t> given;
  int refused = 0;
  for (int i = 0; i < kMaxModuleWorkInFlight + 50; ++i) {
    const uint32_t view = t->create_view(t->context, url, 0, 0, 10, 10, 1);
    if (view != 0) {
      given.push_back(view);
    } else {
      ++refused;
    }
  }
  EXPECT_EQ(given.size(), static_cast<size_t>(kMaxModuleWorkInFlight));
  EXPECT_EQ(refused, 50);
  t->set_view_rect(t->context, given[0], 0, 0, 20, 20);  // a void call beyond the bound: ignored
  EXPECT_EQ(services_.LogCount("ModuleHost: module call refused, too much of its work is waiting"), 8);
  for (uint32_t view : given) t->destroy_view(t->context, view);  // never refused
  t->destroy_view(t->context, given[0]);                           // a second destroy: ignored
  EXPECT_EQ(services_.held.size(), given.size() * 2);
  EXPECT_TRUE(services_.created.empty());

  services_.hold_work = false;
  services_.RunHeldWork();
  std::vector<uint32_t> created;
  for (const auto& [view, owner] : services_.created) created.push_back(view);
  EXPECT_EQ(created, given);
  EXPECT_EQ(services_.destroyed, given);
  EXPECT_EQ(services_.other_calls.load(), 0);
  EXPECT_EQ(services_.reserved.load(), 0);

  // Without room in the overlay's queue a creation fails at once and an output counts as dropped.
  services_.refuse_places = true;
  EXPECT_EQ(t->create_view(t->context, url, 0, 0, 10, 10, 1), 0u);
  t->send_to_overlay(t->context, "out");
  EXPECT_EQ(services_.outputs.load(), 0);
  EXPECT_EQ(services_.LogCount("ModuleHost: module output dropped, the pipe queue is full"), 1);
  services_.refuse_places = false;
  t->send_to_overlay(t->context, "out");
  EXPECT_EQ(services_.outputs.load(), 1);
  host_->ShutdownModules();
  EXPECT_EQ(services_.reserved.load(), 0);
}

TEST_F(ModuleHostTest, TheHelloSampleLoads) {
  ASSERT_EQ(host_->LoadModule(Utf8ToUtf16(testing::TestModulePath("hello_module")), "x=1", ""), 1u);
  EXPECT_EQ(LastStatus().status, 0u);
  EXPECT_EQ(services_.LogCount("hello from module 1, config=x=1"), 1);
  host_->TickModules(1);
  host_->ShutdownModules();
  EXPECT_EQ(services_.LogCount("hello module done after 1 ticks"), 1);
  EXPECT_EQ(events_[0].strs[0].rfind("hello_module", 0), 0u);  // no name: the file name
}

}  // namespace
}  // namespace vyo::modules
