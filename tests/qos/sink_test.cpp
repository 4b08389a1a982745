#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "platform/process.h"
#include "fakes/log_capture.h"
#include "qos/offline_store.h"
#include "qos/sink.h"
#include "qos/test_http_server.h"

namespace vyo::qos {
namespace {

namespace fs = std::filesystem;

struct SinkFixture : ::testing::Test {
  testing::LogCapture log;
  fs::path dir;
  std::unique_ptr<OfflineStore> store;
  void SetUp() override {
    static int n = 0;
    dir = fs::temp_directory_path() / ("vyo_qos_sink_" + std::to_string(platform::CurrentProcessId()) + "_" +
                                       std::to_string(n++));
    fs::remove_all(dir);
    store = std::make_unique<OfflineStore>(dir.u16string());
  }
  void TearDown() override { fs::remove_all(dir); }
  std::vector<std::string> Stored() {
    std::ifstream in(dir / "qos_offline.ndjson");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
};

TEST_F(SinkFixture, SendsExactlyTheMultipartRequest) {
  testing::TestHttpServer server;
  ASSERT_TRUE(server.ok());
  QosHttpSink sink(HttpTransport("127.0.0.1", server.port()), *store);
  sink.SendNow("zqos={\"a\":1}", 2000);
  ASSERT_EQ(server.requests().size(), 1u);
  const auto r = server.requests()[0];
  EXPECT_EQ(r.head.rfind("POST / HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(r.head.find("Content-Type: multipart/form-data; boundary=----FenyraOverlayQosBoundary\r\n"),
            std::string::npos);
  EXPECT_EQ(r.head.find("Accept:"), std::string::npos);
  EXPECT_EQ(r.body,
            "------FenyraOverlayQosBoundary\r\nContent-Disposition: form-data; name=\"zqos\"\r\n\r\nzqos={\"a\":1}\r\n"
            "------FenyraOverlayQosBoundary--\r\n");
  EXPECT_TRUE(Stored().empty());
}

TEST_F(SinkFixture, NonOkStatusesAndRefusedConnectionsGoOffline) {
  for (int status : {204, 500}) {
    testing::TestHttpServer server(0, status);
    QosHttpSink sink(HttpTransport("127.0.0.1", server.port()), *store);
    sink.SendNow("p" + std::to_string(status), 2000);
    EXPECT_TRUE(testing::LogCapture::Contains("[VyoQos]qos report failed, status=" + std::to_string(status)));
  }
  uint16_t closed_port = 0;
  {
    testing::TestHttpServer gone;
    closed_port = gone.port();
  }
  QosHttpSink sink(HttpTransport("127.0.0.1", closed_port), *store);
  sink.SendNow("refused", 2000);
  EXPECT_TRUE(testing::LogCapture::Contains("[VyoQos]qos send failed, err="));
  EXPECT_EQ(Stored(), (std::vector<std::string>{"p204", "p500", "refused"}));
}

TEST_F(SinkFixture, StoredPayloadsAreUploadedAtStartAndDroppedIfTheyFailAgain) {
  ASSERT_EQ(store->Store(std::vector<std::string>{"one", "two"}), 2u);
  {
    testing::TestHttpServer server;
    QosHttpSink sink(HttpTransport("127.0.0.1", server.port()), *store);
    sink.Start();
    ASSERT_TRUE(server.WaitFor(2, 10000));
    sink.Stop(2000);
    EXPECT_EQ(server.requests()[0].body.find("one"), server.requests()[0].body.find("\r\n\r\n") + 4);
  }
  EXPECT_TRUE(Stored().empty());
  ASSERT_EQ(store->Store(std::vector<std::string>{"again"}), 1u);
  {
    testing::TestHttpServer failing(0, 500);
    QosHttpSink sink(HttpTransport("127.0.0.1", failing.port()), *store);
    sink.Start();
    ASSERT_TRUE(failing.WaitFor(1, 10000));
    sink.Stop(2000);
  }
  EXPECT_TRUE(Stored().empty());  // a stored payload gets one more try only
}

TEST_F(SinkFixture, StuckCollectorStopReturnsInTimeAndKeepsEverything) {
  auto silent = std::make_unique<testing::TestHttpServer>(0, 0);  // accepts and never answers
  auto sink = std::make_unique<QosHttpSink>(HttpTransport("127.0.0.1", silent->port()), *store);
  for (int i = 0; i < 140; ++i) sink->Submit("live" + std::to_string(i));
  ASSERT_TRUE(silent->WaitFor(1, 10000));
  const auto start = std::chrono::steady_clock::now();
  sink->Stop(2000);
  const auto took = std::chrono::steady_clock::now() - start;
  sink.reset();  // destroyed while the detached worker still waits on its upload
  EXPECT_LT(took, std::chrono::milliseconds(3500));
  EXPECT_TRUE(testing::LogCapture::Contains("[VyoQos]http worker stop timeout"));
  // Everything but the payload in flight is stored by Stop: 11 beyond the live queue at once, the
  // 128 queued ones as one batch.
  EXPECT_EQ(Stored().size(), 139u);
  // When the collector finally drops the connection, the detached worker stores the last one.
  silent.reset();
  for (int i = 0; i < 200 && Stored().size() < 140; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Stored().size(), 140u);
}

}  // namespace
}  // namespace vyo::qos
