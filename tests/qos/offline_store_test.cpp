#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "platform/process.h"
#include "fakes/log_capture.h"
#include "qos/offline_store.h"

namespace vyo::qos {
namespace {

namespace fs = std::filesystem;

struct StoreFixture : ::testing::Test {
  testing::LogCapture log;
  fs::path dir;
  std::unique_ptr<OfflineStore> store;
  void SetUp() override {
    static int n = 0;
    dir = fs::temp_directory_path() / ("vyo_qos_store_" + std::to_string(platform::CurrentProcessId()) + "_" +
                                       std::to_string(n++));
    fs::remove_all(dir);
    store = std::make_unique<OfflineStore>(dir.u16string());
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path file() const { return dir / "qos_offline.ndjson"; }
  void WriteRaw(const std::string& bytes) {
    std::ofstream out(file(), std::ios::binary);
    out << bytes;
  }
};

TEST_F(StoreFixture, RefusesEmptyAndMultiLinePayloads) {
  EXPECT_FALSE(store->Store(std::string("a\nb")));
  EXPECT_FALSE(store->Store(std::string()));
  EXPECT_TRUE(store->Store(std::string("ok")));
  EXPECT_EQ(store->Drain(), std::vector<std::string>{"ok"});
  EXPECT_FALSE(fs::exists(file()));
}

TEST_F(StoreFixture, SizeBoundaries) {
  // A file of exactly 262144 bytes is read back; one byte more is deleted unread.
  WriteRaw(std::string(262143, 'x') + "\n");
  EXPECT_EQ(store->Drain().size(), 1u);
  WriteRaw(std::string(262144, 'x') + "\n");
  EXPECT_TRUE(store->Drain().empty());
  EXPECT_FALSE(fs::exists(file()));
  // Appends never produce a file the next drain would discard.
  WriteRaw(std::string(262140, 'x') + "\n");
  EXPECT_FALSE(store->Store(std::string("four")));  // 262141 + 5 > 262144
  EXPECT_TRUE(testing::LogCapture::Contains("[VyoQos]offline file full, drop payload"));
  EXPECT_TRUE(store->Store(std::string("th")));     // exactly 262144
  EXPECT_EQ(fs::file_size(file()), 262144u);
}

TEST_F(StoreFixture, DrainTakesAtMost200Lines) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "line" + std::to_string(i) + "\n";
  WriteRaw(text);
  const auto lines = store->Drain();
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines.front(), "line0");
  EXPECT_EQ(lines.back(), "line199");
  EXPECT_FALSE(fs::exists(file()));
  EXPECT_TRUE(testing::LogCapture::Contains("[VyoQos]offline drain, count=200"));
}

TEST_F(StoreFixture, APartialLastLineIsEndedBeforeAppending) {
  WriteRaw("whole\npart");
  EXPECT_TRUE(store->Store(std::string("next")));
  EXPECT_EQ(store->Drain(), (std::vector<std::string>{"whole", "part", "next"}));
}

// Another process holds the lock for three seconds: a store gives up after two and drops the payload.
TEST_F(StoreFixture, LockHeldElsewhereDropsThePayload) {
  auto holder = platform::ChildProcess::Start(platform::ExecutableDirectory() + platform::PathSeparator() +
#if defined(_WIN32)
                                                  u"qos_store_helper.exe",
#else
                                                  u"qos_store_helper",
#endif
                                              {u"hold", dir.u16string(), u"3000"});
  ASSERT_TRUE(holder);
  // Wait until the helper has the lock (it writes a marker payload first).
  for (int i = 0; i < 200 && !fs::exists(file()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(store->Store(std::string("dropped")));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  EXPECT_EQ(holder->Wait(10000), std::optional<uint32_t>(0u));
  EXPECT_EQ(store->Drain(), std::vector<std::string>{"holder"});
}

TEST_F(StoreFixture, TwoProcessesStoringAtOnceWriteWholeLines) {
  const std::u16string helper = platform::ExecutableDirectory() + platform::PathSeparator() +
#if defined(_WIN32)
                                u"qos_store_helper.exe";
#else
                                u"qos_store_helper";
#endif
  auto a = platform::ChildProcess::Start(helper, {u"store", dir.u16string(), u"a"});
  auto b = platform::ChildProcess::Start(helper, {u"store", dir.u16string(), u"b"});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->Wait(30000), std::optional<uint32_t>(0u));
  EXPECT_EQ(b->Wait(30000), std::optional<uint32_t>(0u));
  std::ifstream in(file());
  int lines = 0;
  for (std::string l; std::getline(in, l); ++lines) {
    ASSERT_TRUE(l == std::string(100, 'a') || l == std::string(100, 'b')) << "torn line: " << l.substr(0, 40);
  }
  EXPECT_EQ(lines, 400);
}

}  // namespace
}  // namespace vyo::qos
