// A real host (the build with test hooks) whose main loop stalls or faults, ended by the watchdog or
// by crash reporting, as an overlay sees it: the exit status and the files left beside the host.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/text.h"
#include "overlay_sim.h"
#include "platform/process.h"

namespace vyo {
namespace {

namespace fs = std::filesystem;
using sim::OverlaySim;

constexpr uint32_t kWait = 20000;
// Writing a minidump of the whole process takes Wine's debug helper many seconds on a busy machine.
constexpr uint32_t kCrashWait = 120000;

fs::path HooksFolder() { return fs::path(Utf16ToUtf8(platform::ExecutableDirectory())) / "test-hooks"; }

std::u16string HooksHostPath() {
  fs::path path = HooksFolder() / "FenyraOverlayHost";
#if defined(_WIN32)
  path += ".exe";
#endif
  return Utf8ToUtf16(path.string());
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::unique_ptr<OverlaySim> Started(const char* tag) {
  auto s = OverlaySim::Create(tag);
  if (!s || !s->StartHost(HooksHostPath(), s->HostArgs()) || !s->Connect(kWait)) return nullptr;
  if (!s->WaitFor(host::kHostHello, kWait)) return nullptr;
  return s;
}

TEST(WatchdogHost, AStalledMainLoopWithInputWaitingIsEndedWithAStallReport) {
  auto s = Started("stall");
  ASSERT_TRUE(s);
  const uint32_t pid = s->host_pid();
  const fs::path report = HooksFolder() / "log" / ("vyo_host_watchdog_" + std::to_string(pid) + ".txt");
  fs::remove(report);
  // The main loop stalls inside the command; input then waits in the ring.
  ASSERT_TRUE(s->Send(host::SurfaceInfoCmd{7777, 1}));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(s->WriteInput(host::InputRecord{}));
  const auto start = std::chrono::steady_clock::now();
  const auto status = s->WaitExit(kWait);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, static_cast<uint32_t>(platform::ExitStatusFor(0xE0010001u)));
  // Input waited: the 8 s threshold, not the 30 s one.
  EXPECT_LT(seconds, 15.0);
  const std::string line = ReadText(report);
  // Stuck while dispatching: the stage is the pipe's, its detail the command's type.
  const std::string prefix = "host watchdog stall: reason=main_loop, pid=" + std::to_string(pid) +
                             ", stage=pump_pipe(2), detail=" + std::to_string(host::kSurfaceInfo) + ", ";
  EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
  EXPECT_NE(line.find(", pending=3, parent=" + std::to_string(platform::CurrentProcessId()) + ", exit=0xE0010001\r\n"),
            std::string::npos)
      << line;
}

TEST(WatchdogHost, AFaultInTheMainLoopIsReportedAndEndsWithTheFault) {
  const fs::path bug_reports = HooksFolder() / "BugReport";
  std::vector<fs::path> before;
  for (const auto& e : fs::directory_iterator(bug_reports)) before.push_back(e.path());
  auto s = Started("fault");
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->Send(host::SurfaceInfoCmd{6666, 1}));
  const auto status = s->WaitExit(kCrashWait);
  ASSERT_TRUE(status.has_value());
#if defined(_WIN32)
  EXPECT_EQ(*status, 0xC0000005u);
#else
  EXPECT_EQ(*status, 128u + 11u);  // the signal, raised again once the report is written
#endif
  // A new report beside the helper: a minidump on Windows, a text report with a backtrace here.
  std::string report;
  for (const auto& e : fs::directory_iterator(bug_reports)) {
    if (std::find(before.begin(), before.end(), e.path()) != before.end()) continue;
    if (e.path().filename().string().find("crash_report_helper") != std::string::npos) continue;
    report = ReadText(e.path());
  }
  ASSERT_FALSE(report.empty());
#if defined(_WIN32)
  EXPECT_EQ(report.substr(0, 4), "MDMP");
#else
  EXPECT_NE(report.find("code=0xC0000005"), std::string::npos) << report;
  EXPECT_NE(report.find("backtrace"), std::string::npos) << report;
#endif
  // The crash's telemetry event waits in the offline store for the next run.
  const std::string offline = ReadText(HooksFolder() / "log" / "qos_offline.ndjson");
  EXPECT_NE(offline.find("-1073741819"), std::string::npos) << offline;
}

}  // namespace
}  // namespace vyo
