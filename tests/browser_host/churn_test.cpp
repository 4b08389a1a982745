// Views coming and going as an overlay makes them, against the real host and the real browser:
// seven views created, shown for a moment and destroyed, over and over, then the pipe closed. The
// host must answer throughout, exit cleanly without a sanitizer report, keep the browser's process
// count bounded, and leave no browser process behind; a host that is killed must take its browser
// with it. Process checks read /proc, so they run on Linux (elsewhere there is no browser to test).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "base/text.h"
#include "browser_host/browser_processes.h"
#include "overlay_sim.h"
#include "platform/process.h"

namespace vyo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kWait = 30000;
constexpr uint32_t kViews = 7;
// How long the last browser process may outlive a host that was killed.
constexpr auto kKillBound = std::chrono::seconds(15);

uint32_t Cycles() {
  // Longer runs while developing: VYO_CHURN_CYCLES=300.
  const char* text = std::getenv("VYO_CHURN_CYCLES");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? static_cast<uint32_t>(n) : 25u;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool WaitUntil(const std::function<bool()>& condition, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void SetEnv(const char* name, const std::optional<std::string>& value) {
#if defined(_WIN32)
  _putenv_s(name, value ? value->c_str() : "");
#else
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
#endif
}

// Sets a variable for the processes this test starts and puts the old value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    SetEnv(name, value);
  }
  ~ScopedEnv() { SetEnv(name_, old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct ChurnFixture : ::testing::Test {
  fs::path work;
  fs::path site;
  std::unique_ptr<ScopedEnv> asan, ubsan;

  void SetUp() override {
#if defined(_WIN32)
    GTEST_SKIP() << "no browser under this platform's test runner";
#else
    work = fs::temp_directory_path() / ("vyo_churn_" + std::to_string(platform::CurrentProcessId()));
    fs::remove_all(work);
    site = work / "site";
    fs::create_directories(site);
    // A page that draws a block and tells the host it is there.
    std::ofstream(site / "index.html")
        << "<!doctype html><html><body style=\"margin:0\"><div style=\"width:96px;height:64px;background:#c03\">"
           "</div><script>window.chrome.webview.postMessage('drawn')</script></body></html>";
    // The host's sanitizer reports go to files here instead of a stream that the exit may cut.
    const std::string log = (work / "sanitizer").string();
    const char* asan_old = std::getenv("ASAN_OPTIONS");
    const char* ubsan_old = std::getenv("UBSAN_OPTIONS");
    asan = std::make_unique<ScopedEnv>("ASAN_OPTIONS", std::string(asan_old ? asan_old : "") + ":log_path=" + log);
    ubsan = std::make_unique<ScopedEnv>(
        "UBSAN_OPTIONS", std::string(ubsan_old ? ubsan_old : "") + ":print_stacktrace=1:log_path=" + log);
#endif
  }
  void TearDown() override {
    s.reset();  // the host ends with the test, skipped or not
    ubsan.reset();
    asan.reset();
    if (!work.empty()) fs::remove_all(work);
  }

  std::unique_ptr<sim::OverlaySim> StartHost(const char* tag) {
    auto started = sim::OverlaySim::Create(tag);
    if (!started || !started->StartHost() || !started->Connect(kWait)) return nullptr;
    return started;
  }

  std::unique_ptr<sim::OverlaySim> s;
  std::optional<int> browser;  // the host's browser, which is its process group

  // Starts a host and finds its browser. False when the host failed (a test failure) or has no
  // browser (the test then has nothing to measure).
  bool StartHostWithBrowser(const char* tag) {
    s = StartHost(tag);
    if (!s) {
      ADD_FAILURE() << "the host did not start";
      return false;
    }
    const auto m = s->WaitFor(host::kEnvironmentResult, kWait);
    const auto env = m ? host::DecodeEnvironmentResult(m->payload) : std::nullopt;
    if (!env || env->result != 0) return false;
    if (!WaitUntil([&] { return (browser = testing::BrowserOf(s->host_pid())).has_value(); }, std::chrono::seconds(10))) {
      ADD_FAILURE() << "the host's browser process was not found";
      return false;
    }
    return true;
  }

  // Every sanitizer report the host (or a process it started) wrote.
  std::string SanitizerReports() const {
    std::string out;
    for (const auto& entry : fs::directory_iterator(work)) {
      if (entry.path().filename().string().rfind("sanitizer", 0) == 0) out += ReadAll(entry.path());
    }
    return out;
  }

  void CreateViews() {
    for (uint32_t id = 1; id <= kViews; ++id) {
      s->Send(host::ViewCreateCmd{id, static_cast<int32_t>(id) * 10, 0, 320, 200, true, u"vyodir:" + site.u16string()});
    }
  }
};

int PageMessages(const sim::OverlaySim& s) {
  return static_cast<int>(std::count_if(s.received().begin(), s.received().end(),
                                        [](const sim::HostMessage& m) { return m.type == host::kPageMessage; }));
}

TEST_F(ChurnFixture, ViewChurnKeepsTheHostAnsweringAndEndsCleanWithItsBrowser) {
  if (!StartHostWithBrowser("churn")) {
    if (!HasFailure()) GTEST_SKIP() << "no browser on this machine";
    return;
  }

  const uint32_t cycles = Cycles();
  int most = 0;
  long long live_sum = 0;
  for (uint32_t cycle = 0; cycle < cycles; ++cycle) {
    CreateViews();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int live = testing::LiveInGroup(*browser);
    most = std::max(most, live);
    live_sum += live;
    for (uint32_t id = 1; id <= kViews; ++id) s->Send(host::ViewDestroyCmd{id});
    // A command the host answers at once (a changed surface size is logged): everything sent
    // before it has been handled, and the main loop is not stuck behind the browser.
    const uint32_t width = 1000 + cycle;
    s->Send(host::SurfaceInfoCmd{width, 700});
    ASSERT_TRUE(s->WaitForLog("SurfaceInfo " + std::to_string(width) + "x700", 10000)) << "no answer in cycle " << cycle;
  }
  const int after_churn = testing::LiveInGroup(*browser);
  // Destroyed views release their renderers: the browser's own processes plus about one
  // renderer per live view, not one per view ever asked for. (Views live for 0.3 s here, less
  // than a browser on a small machine takes to make one, so most are destroyed before they exist:
  // their requests must not pile up as windows in the browser.)
  EXPECT_LE(most, 14 + static_cast<int>(kViews) * 2) << "browser processes during churn";

  const auto closed = Clock::now();
  s->CloseConnection();
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));
  const auto exited = Clock::now();
  // Checked at the moment the host is gone: its shutdown waited for the browser.
  const int left_at_exit = testing::LiveInGroup(*browser);
  EXPECT_EQ(left_at_exit, 0) << "browser processes still running when the host had exited";
  EXPECT_TRUE(WaitUntil([&] { return testing::LiveInGroup(*browser) == 0; }, std::chrono::seconds(15)));
  const auto gone = Clock::now();

  const std::string reports = SanitizerReports();
  EXPECT_TRUE(reports.empty()) << reports;

  std::printf("churn: %u cycles of %u views; browser processes with views live: max %d, mean %.1f; "
              "after the churn %d; pipe closed -> host exit %.2f s, -> last browser process gone %.2f s\n",
              cycles, kViews, most, cycles ? static_cast<double>(live_sum) / cycles : 0.0, after_churn,
              Seconds(exited - closed), Seconds(gone - closed));
  RecordProperty("browser_processes_max", most);
  RecordProperty("browser_processes_after_churn", after_churn);
  RecordProperty("close_to_browser_gone_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(gone - closed).count()));
}

TEST_F(ChurnFixture, KilledHostTakesItsBrowserAlong) {
  if (!StartHostWithBrowser("killed")) {
    if (!HasFailure()) GTEST_SKIP() << "no browser on this machine";
    return;
  }
  CreateViews();
  ASSERT_TRUE(WaitUntil([&] {
    while (s->Next(0)) {
    }
    return PageMessages(*s) >= static_cast<int>(kViews);
  }, std::chrono::seconds(30)));
  const int before = testing::LiveInGroup(*browser);
  EXPECT_GT(before, 1);

  const auto killed = Clock::now();
  s->KillHost();
  ASSERT_TRUE(s->WaitExit(5000));
  const bool ended = WaitUntil([&] { return testing::LiveInGroup(*browser) == 0; }, kKillBound);
  const auto gone = Clock::now();
  EXPECT_TRUE(ended) << testing::LiveInGroup(*browser) << " browser processes outlived the killed host by "
                     << Seconds(kKillBound) << " s";
  std::printf("kill: %d browser processes; host killed -> last one gone %.2f s\n", before, Seconds(gone - killed));
  RecordProperty("kill_to_browser_gone_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(gone - killed).count()));
}

}  // namespace
}  // namespace vyo
