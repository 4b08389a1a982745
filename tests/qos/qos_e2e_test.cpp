// The real host reporting to a collector on loopback (a host built with 127.0.0.1:18765 as its
// collector, in a folder of its own).
#include <gtest/gtest.h>

#include <filesystem>

#include "base/text.h"
#include "overlay_sim.h"
#include "platform/process.h"
#include "qos/test_http_server.h"

namespace vyo {
namespace {

namespace fs = std::filesystem;

std::u16string LoopbackHost() {
  return platform::ExecutableDirectory() + platform::PathSeparator() + u"qos-loopback" + platform::PathSeparator() +
#if defined(_WIN32)
         u"FenyraOverlayHost.exe";
#else
         u"FenyraOverlayHost";
#endif
}

fs::path OfflineFile() {
  return fs::path(platform::ExecutableDirectory()) / "qos-loopback" / "log" / "qos_offline.ndjson";
}

// One short session: greeting, then the overlay closes the pipe.
void RunSession() {
  auto s = sim::OverlaySim::Create("qos");
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->StartHost(LoopbackHost(), s->HostArgs()));
  ASSERT_TRUE(s->Connect(20000));
  ASSERT_TRUE(s->WaitFor(host::kHostHello, 20000));
  s->CloseConnection();
  ASSERT_EQ(s->WaitExit(20000), std::optional<uint32_t>(0u));
}

// The event kinds found in uploaded payloads (the fifth entry of the integer list).
std::vector<int> Kinds(const std::vector<std::string>& bodies) {
  std::vector<int> kinds;
  for (const auto& b : bodies) {
    const size_t list = b.find("\"IntList\":[");
    if (list == std::string::npos) continue;
    size_t pos = list + 11;
    for (int i = 0; i < 4; ++i) pos = b.find(',', pos) + 1;
    kinds.push_back(std::stoi(b.substr(pos)));
  }
  return kinds;
}

std::vector<std::string> Bodies(testing::TestHttpServer& server) {
  std::vector<std::string> out;
  for (const auto& r : server.requests()) out.push_back(r.body);
  return out;
}

bool Has(const std::vector<int>& kinds, int kind) { return std::find(kinds.begin(), kinds.end(), kind) != kinds.end(); }

TEST(TelemetryEndToEnd, StartupAndExitEventsReachTheCollectorOrWaitOffline) {
  std::error_code ec;
  fs::remove(OfflineFile(), ec);
  {
    testing::TestHttpServer collector(18765, 200);
    ASSERT_TRUE(collector.ok()) << "port 18765 is taken";
    RunSession();
    ASSERT_TRUE(collector.WaitFor(3, 10000));
    const auto kinds = Kinds(Bodies(collector));
    EXPECT_TRUE(Has(kinds, 20) && Has(kinds, 44) && Has(kinds, 24));
    const auto bodies = Bodies(collector);
    // Start-up result 0 with the word "ok".
    EXPECT_TRUE(std::any_of(bodies.begin(), bodies.end(), [](const std::string& b) {
      return b.find(",20,-1,0,") != std::string::npos && b.find("\"ok\"]") != std::string::npos;
    }));
  }
  // Collector down: the events wait in the offline file...
  RunSession();
  ASSERT_TRUE(fs::exists(OfflineFile()));
  {
    // ...and the next run uploads them.
    testing::TestHttpServer collector(18765, 200);
    ASSERT_TRUE(collector.ok());
    RunSession();
    ASSERT_TRUE(collector.WaitFor(6, 10000));
    const auto kinds = Kinds(Bodies(collector));
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), 24), 2);  // last run's exit and this run's
  }
  EXPECT_FALSE(fs::exists(OfflineFile()));
}

}  // namespace
}  // namespace vyo
