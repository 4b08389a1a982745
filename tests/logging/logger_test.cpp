// The logger: record text, file names, level filtering, the memory-log ring, retention, reading the
// files back (also through vyo-log and after a writer that never shut down), and Shutdown racing
// with writers.
#include "logging/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "logging/log_reader.h"
#include "logging/memory_log.h"
#include "logging/retention.h"
#include "logging/text_file_sink.h"
#include "platform/log_files.h"
#include "platform/process.h"
#include "test_keys.h"

namespace {

namespace fs = std::filesystem;
using base::log_reader::ReadStatus;

// Reads a file even while the logger still has it open for writing.
std::vector<std::uint8_t> ReadBytes(const std::u16string& path) {
  std::ifstream in(fs::path(path), std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

base::log_reader::ReadReport ReadWith(const std::vector<std::uint8_t>& bytes, int key_index = 0) {
  const auto key = logtest::LoadReaderKey(key_index);
  return base::log_reader::ReadLog(bytes.data(), bytes.size(), key.private_key.data());
}

// The message of each record (the text after the record's tab).
std::vector<std::string> Messages(const std::string& text) {
  std::vector<std::string> out;
  for (const auto& r : base::log_reader::SplitRecords(text)) {
    const auto tab = r.find('\t');
    out.push_back(tab == std::string::npos ? r : r.substr(tab + 1));
  }
  return out;
}

std::string Level(const std::string& record) {
  // "\n[time][tid][LEVEL][..."
  std::size_t p = record.find("][");
  p = record.find("][", p + 2);
  const std::size_t e = record.find(']', p + 2);
  return record.substr(p + 2, e - p - 2);
}

class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = fs::temp_directory_path() /
            ("vyo-log-test-" + std::to_string(vyo::platform::CurrentProcessId()) + "-" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::u16string u16() const { return path_.u16string() + vyo::platform::PathSeparator(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Each logger test starts and ends with the logger shut down.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base::ShutdownLogging();
    key_ = logtest::LoadReaderKey(0);
    ASSERT_TRUE(key_.ok);
  }
  void TearDown() override { base::ShutdownLogging(); }
  base::LoggingOptions Options() {
    base::LoggingOptions o;
    o.directory = dir_.u16();
    o.reader_key = &key_.public_key;
    return o;
  }
  base::logger& log() { return base::logger::Instance(); }
  TempDir dir_;
  logtest::ReaderKeyPair key_;
};

TEST(LogFormatTest, RecordAndConsoleLines) {
  base::LogRecord r;
  r.time = {1700000000, 123456789};
  r.thread_id = 4242;
  r.kind = base::kLogWarning;
  r.file = std::string(base::SourceFileName("C:\\src\\host/app.cpp"));
  r.line = 17;
  r.function = "EnsureView";
  r.message = "view created, view_id=5";
  const std::string time = base::FormatLogTime("%Y-%m-%d %H:%M:%S.%f", r.time);
  EXPECT_TRUE(std::regex_match(time, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.123)"))) << time;
  EXPECT_EQ(base::RecordLine(r), "\n[" + time + "][4242][WARNING][app.cpp(17)]EnsureView\tview created, view_id=5");
  EXPECT_EQ(base::ConsoleLine(r), "\n[" + time + "][4242][WARNING]\tview created, view_id=5");
}

TEST(LogFormatTest, LevelsAndSourceFileNames) {
  const char* names[] = {"DEBUG", "TRACE", "INFO", "NOTICE", "WARNING", "ERROR", "FATAL"};
  const int values[] = {0, 50, 100, 200, 500, 600, 1000};
  for (int k = 0; k < 7; ++k) {
    EXPECT_STREQ(base::LevelForKind(k).name, names[k]);
    EXPECT_EQ(base::LevelForKind(k).value, values[k]);
  }
  const std::pair<const char*, const char*> paths[] = {
      {"a/b/c.cpp", "c.cpp"}, {"c:\\x\\y.cpp", "y.cpp"}, {"plain.cpp", "plain.cpp"}, {"weird(name.cpp", "name.cpp"}};
  for (const auto& [in, out] : paths) EXPECT_EQ(base::SourceFileName(in), out) << in;
}

TEST(LogFormatTest, FractionDigitsInPatternsAndFileNames) {
  const base::LogTime t{1700000000, 123456789};
  const std::pair<const char*, const char*> cases[] = {
      {"%f", "123"}, {"%f1", "1"}, {"%f6", "123456"}, {"%f9", "123456789"}, {"%f0", "1230"}, {"%%f", "%f"}, {"x%fy", "x123y"},
  };
  for (const auto& [pattern, expected] : cases) EXPECT_EQ(base::FormatLogTime(pattern, t), expected) << pattern;

  const std::string stamped = base::MakeLogFileName("fenyra", "FenyraOverlayHost", true, t);
  EXPECT_TRUE(std::regex_match(stamped, std::regex(R"(fenyra\.FenyraOverlayHost\.\d{8}-\d{6}-123\.log)"))) << stamped;
  EXPECT_EQ(base::MakeLogFileName("fenyra", "FenyraOverlayHost", false, t), "fenyra.FenyraOverlayHost.log");
  EXPECT_EQ(base::MakeLogFileName("fenyra", "", false, t), "fenyra.log");
}

TEST(LogFormatTest, PrefixSanitising) {
  const std::pair<const char*, const char*> cases[] = {
      {"fenyra", "fenyra"}, {" fen yra\t", "fenyra"}, {"a/b\\c:d", "abcd"}, {"bad*name", ""}, {"q?", ""}, {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(base::SanitizeLogPrefix(in), out) << in;
}

TEST(MemoryRingTest, DropExactFitWrapAndOrder) {
  std::uint8_t buffer[16];
  std::memset(buffer, 0, sizeof buffer);
  base::MemoryRing ring(buffer, sizeof buffer);
  const auto add = [&](const std::string& s) {
    return ring.Add(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  const auto ordered = [&] {
    std::string out;
    ring.VisitInOrder([&](const std::uint8_t* p, std::size_t n) { out.append(reinterpret_cast<const char*>(p), n); });
    return out;
  };
  using A = base::MemoryRing::Append;
  EXPECT_EQ(add(std::string(16, 'x')), A::kDropped);  // as large as the ring
  EXPECT_EQ(ring.position(), 0u);
  EXPECT_EQ(add("aaaaaaaa"), A::kWritten);
  EXPECT_EQ(add("bbbbbbbb"), A::kWritten);  // exactly fills the rest
  EXPECT_EQ(ring.position(), 0u);
  EXPECT_TRUE(ring.wrapped());
  EXPECT_EQ(ordered(), "aaaaaaaabbbbbbbb");
  EXPECT_EQ(add("cccc"), A::kWritten);
  EXPECT_EQ(ordered(), "aaaabbbbbbbbcccc");  // oldest first: the rest of a, then b, then c
  EXPECT_EQ(add("ddddddddddddd"), A::kWrapped);  // 13 bytes do not fit the 12 left
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 16), "ddddddddddddd   ");
  EXPECT_EQ(ring.position(), 13u);
  EXPECT_EQ(ordered(), "   ddddddddddddd");
}

TEST(MemoryLogTest, SecondOpenerOfTheSameFileIsRefused) {
  TempDir dir;
  const auto key = logtest::LoadReaderKey(0);
  const std::u16string path = dir.u16() + u"mem.log";
  base::MemoryLog first, second;
  ASSERT_TRUE(first.Open(path, true, &key.public_key));
  EXPECT_FALSE(second.Open(path, true, &key.public_key));
  EXPECT_TRUE(first.Append("\n[2026-01-01 00:00:00.000][1][INFO][a(1)]\tstill fine"));
  EXPECT_FALSE(second.Append("\n[2026-01-01 00:00:00.000][1][INFO][a(1)]\tnot open"));
  // A record larger than the ring after processing is dropped.
  EXPECT_FALSE(first.Append(std::string(base::kMemoryLogCapacity, 'x')));
}

TEST(RetentionTest, KeepsTheNewestUpToTheLimitAndTouchesNothingElse) {
  TempDir dir;
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  constexpr std::int64_t kMinute = 60LL * 1000000000;
  const std::string mib(1 << 20, 'l');
  const auto make = [&](const std::string& name, std::int64_t age, std::size_t size) {
    const auto path = dir.u16() + vyo::Utf8ToUtf16(name);
    auto f = vyo::platform::LogFile::Open(path, vyo::platform::LogFile::Mode::kCreateAlways);
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(f->Write(mib.data(), size));
    f.reset();
    ASSERT_TRUE(vyo::platform::SetLogFileTime(path, now - age));
  };
  // 60 recent files of 1 MiB, file i is i minutes old.
  for (int i = 0; i < 60; ++i) make("fenyra.Host.2026010" + std::to_string(100 + i) + ".log", i * kMinute, mib.size());
  make("fenyra.Host.ancient.log", 15 * 24 * 60 * kMinute, 10);  // older than 14 days
  make("other.Tag.1.log", 200 * kMinute, mib.size());          // another prefix
  make("fenyra.Host.1.txt", 200 * kMinute, mib.size());        // another extension
  make("fenyra.Host.log.bak", 200 * kMinute, mib.size());

  const int deleted = base::PruneLogDirectory(dir.u16(), u"fenyra.Host", u".log", 336, 52428800, now);
  EXPECT_EQ(deleted, 11);
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(dir.path())) left.insert(e.path().filename().string());
  for (int i = 0; i < 60; ++i)
    EXPECT_EQ(left.count("fenyra.Host.2026010" + std::to_string(100 + i) + ".log"), i < 50 ? 1u : 0u) << i;
  EXPECT_EQ(left.count("fenyra.Host.ancient.log"), 0u);
  EXPECT_EQ(left.count("other.Tag.1.log"), 1u);
  EXPECT_EQ(left.count("fenyra.Host.1.txt"), 1u);
  EXPECT_EQ(left.count("fenyra.Host.log.bak"), 1u);
}

TEST_F(LoggerTest, NothingHappensBeforeInit) {
  EXPECT_FALSE(log().IsEnabled(base::kLogFatal));
  EXPECT_EQ(log().FileLevel(), base::kLogFatal);
  EXPECT_FALSE(base::LogWrite(base::kLogError, "dropped"));
  int level = -1;
  EXPECT_FALSE(log().GetFileLevel(level));
}

TEST_F(LoggerTest, FileLevelHidesTraceFromTheFileWhileTheMemoryLogKeepsIt) {
  auto options = Options();
  options.file_level = base::kLogNotice;
  ASSERT_TRUE(base::InitLogging("FenyraOverlayHost", options));
  EXPECT_TRUE(log().MemoryLogEnabled());
  LogPrintf(base::kLogTrace, "FenyraOverlayHost", "trace line %d", 1);
  LogPrintf(base::kLogNotice, "FenyraOverlayHost", "notice line %s", "two");
  LogPrintf(base::kLogDebug, "FenyraOverlayHost", "debug line");
  const std::u16string file = log().LogFilePath();
  const std::u16string dump = dir_.u16() + u"dump.bin";
  ASSERT_TRUE(log().DumpMemoryLog(dump));
  base::ShutdownLogging();

  const auto file_report = ReadWith(ReadBytes(file));
  ASSERT_EQ(file_report.status, ReadStatus::kOk) << file_report.error;
  EXPECT_TRUE(file_report.ended);
  auto messages = Messages(file_report.text);
  // The version banner (NOTICE) comes first.
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].rfind("[VyoVersion]", 0), 0u);
  EXPECT_EQ(messages[2], "[FenyraOverlayHost]notice line two");
  EXPECT_EQ(file_report.text.rfind("\xEF\xBB\xBFlog created at: ", 0), 0u);
  EXPECT_NE(file_report.text.find("\nlog shutdown at: "), std::string::npos);

  const auto mem_report = ReadWith(ReadBytes(dump));
  ASSERT_EQ(mem_report.status, ReadStatus::kOk) << mem_report.error;
  messages = Messages(mem_report.text);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[2], "[FenyraOverlayHost]trace line 1");
  EXPECT_EQ(messages[3], "[FenyraOverlayHost]notice line two");
  EXPECT_EQ(Level(base::log_reader::SplitRecords(mem_report.text)[2]), "TRACE");
}

TEST_F(LoggerTest, PlainFileStartsWithTheHeaderAndTheTextInUtf8) {
  auto options = Options();
  options.encrypt = false;
  options.memory_log = false;
  ASSERT_TRUE(base::InitLogging("Plain", options));
  EXPECT_FALSE(log().MemoryLogEnabled());
  base::LogWrite(base::kLogError, "plain text");
  const auto bytes = ReadBytes(log().LogFilePath());
  ASSERT_GT(bytes.size(), 153u);
  EXPECT_EQ(bytes[0], 0x86);
  EXPECT_EQ(bytes[2], 0);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(std::string(bytes.begin() + 150, bytes.begin() + 153), "\xEF\xBB\xBF");
  const std::string text(bytes.begin() + 150, bytes.end());
  EXPECT_NE(text.find("\tplain text"), std::string::npos);
}

// Many records through a small segment size: vyo-log reads every one of them back, across segment
// boundaries, from the log file and from a memory-log dump.
TEST_F(LoggerTest, RoundTripThroughVyoLog) {
  auto options = Options();
  options.segment_bytes = 4096;
  ASSERT_TRUE(base::InitLogging("FenyraOverlayHost", options));
  std::vector<std::string> written;
  for (int i = 0; i < 3000; ++i) {
    written.push_back("[FenyraOverlayHost]record " + std::to_string(i) + " value=" + std::to_string(i * 7919 % 10007) +
                      " \xC3\xA9t\xC3\xA9");
    ASSERT_TRUE(base::LogWrite(base::kLogTrace, written.back()));
  }
  const std::u16string file = log().LogFilePath();
  const std::u16string dump = dir_.u16() + u"memlog.dump";
  ASSERT_TRUE(log().DumpMemoryLog(dump));
  base::ShutdownLogging();

  std::u16string tool = vyo::platform::ExecutableDirectory() + vyo::platform::PathSeparator() + u"vyo-log";
#ifdef _WIN32
  tool += u".exe";
#endif
  const auto run = [&](const std::u16string& input, const std::u16string& out) {
    auto child = vyo::platform::ChildProcess::Start(
        tool, {u"--key", vyo::Utf8ToUtf16(logtest::KeyFilePath(0)), u"--out", out, input});
    EXPECT_NE(child, nullptr);
    if (child == nullptr) return -1;
    const auto status = child->Wait(120000);
    return status ? static_cast<int>(*status) : -1;
  };
  for (const auto& [input, what] : {std::pair{file, "log file"}, std::pair{dump, "memory-log dump"}}) {
    const std::u16string out = dir_.u16() + u"out.txt";
    ASSERT_EQ(run(input, out), 0) << what;
    const auto bytes = ReadBytes(out);
    std::string printed(bytes.begin(), bytes.end());
    if (!printed.empty() && printed.back() == '\n') printed.pop_back();  // vyo-log ends its output with a line break
    auto messages = Messages("\n" + printed);
    while (!messages.empty() && messages.front().rfind("[VyoVersion]", 0) == 0) messages.erase(messages.begin());
    ASSERT_EQ(messages.size(), written.size()) << what;
    for (std::size_t i = 0; i < written.size(); ++i) ASSERT_EQ(messages[i], written[i]) << what << " record " << i;
  }
  EXPECT_GT(ReadWith(ReadBytes(file)).segments, 2);

  // The wrong reader key is told apart from a damaged file.
  const std::u16string out = dir_.u16() + u"wrong.txt";
  auto child = vyo::platform::ChildProcess::Start(
      tool, {u"--key", vyo::Utf8ToUtf16(logtest::KeyFilePath(1)), u"--out", out, file});
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->Wait(120000).value_or(0), 4u);
}

// A host killed mid-run leaves a log file and a memory log without footer or trailer, possibly cut
// inside a cipher block. Everything complete is read; the missing end is reported.
TEST_F(LoggerTest, FilesOfAWriterThatNeverShutDown) {
  auto options = Options();
  options.segment_bytes = 2048;
  ASSERT_TRUE(base::InitLogging("FenyraOverlayHost", options));
  std::vector<std::string> written;
  for (int i = 0; i < 400; ++i) {
    written.push_back("killed run record " + std::to_string(i));
    ASSERT_TRUE(base::LogWrite(base::kLogWarning, written.back()));
  }
  // What a killed process leaves: every completed write is in the files.
  const auto file = ReadBytes(log().LogFilePath());
  const auto memlog = ReadBytes(log().MemoryLogPath());
  base::ShutdownLogging();
  ASSERT_EQ(memlog.size(), base::kMemoryLogFileSize);

  for (const auto* bytes : {&file, &memlog}) {
    const auto report = ReadWith(*bytes);
    ASSERT_EQ(report.status, ReadStatus::kOk) << report.error;
    auto messages = Messages(report.text);
    while (!messages.empty() && messages.front().rfind("[VyoVersion]", 0) == 0) messages.erase(messages.begin());
    // The last record may be short by the bytes the cipher still held.
    ASSERT_EQ(messages.size(), written.size());
    for (std::size_t i = 0; i + 1 < written.size(); ++i) ASSERT_EQ(messages[i], written[i]) << i;
    EXPECT_EQ(written.back().rfind(messages.back(), 0), 0u);
  }
  EXPECT_FALSE(ReadWith(file).ended);

  // Cut inside a block: reported, not a crash.
  std::vector<std::uint8_t> cut(file.begin(), file.end() - 5);
  const auto report = ReadWith(cut);
  EXPECT_EQ(report.status, ReadStatus::kOk) << report.error;
  EXPECT_TRUE(report.partial_block);
  EXPECT_GT(Messages(report.text).size(), 300u);
}

TEST_F(LoggerTest, ReaderErrors) {
  ASSERT_TRUE(base::InitLogging("FenyraOverlayHost", Options()));
  base::LogWrite(base::kLogError, "secret");
  const std::u16string path = log().LogFilePath();
  const std::u16string mem = log().MemoryLogPath();
  base::ShutdownLogging();
  EXPECT_EQ(ReadWith(ReadBytes(path), 2).status, ReadStatus::kWrongKey);
  EXPECT_EQ(ReadWith(ReadBytes(mem), 2).status, ReadStatus::kWrongKey);
  const std::vector<std::uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(ReadWith(text).status, ReadStatus::kNotALog);
  auto bytes = ReadBytes(path);
  bytes.resize(100);
  EXPECT_EQ(ReadWith(bytes).status, ReadStatus::kNotALog);
}

TEST_F(LoggerTest, MemoryLogHeldByAnotherWriterIsSwitchedOff) {
  const auto key = logtest::LoadReaderKey(0);
  fs::create_directories(dir_.path() / "memlog");
  base::MemoryLog other;
  ASSERT_TRUE(other.Open(dir_.u16() + u"memlog" + vyo::platform::PathSeparator() + u"fenyra.FenyraOverlayHost.log",
                         true, &key.public_key));
  ASSERT_TRUE(base::InitLogging("FenyraOverlayHost", Options()));
  EXPECT_FALSE(log().MemoryLogEnabled());
  EXPECT_TRUE(log().IsEnabled(base::kLogTrace));  // the file still takes TRACE
  EXPECT_FALSE(log().IsEnabled(base::kLogDebug));
  EXPECT_TRUE(base::LogWrite(base::kLogTrace, "file only"));
}

TEST_F(LoggerTest, TwoSinksInTheSameMillisecondGetDistinctFiles) {
  g3::TextFileSinkOptions o;
  o.prefix = "fenyra";
  o.directory = dir_.u16();
  o.tag = "Twin";
  o.encrypt = false;
  g3::TextFileSink a(o), b(o);
  ASSERT_TRUE(a.is_open());
  ASSERT_TRUE(b.is_open());
  EXPECT_NE(a.path(), b.path());
}

// Writers on several threads race Shutdown: nothing crashes, and every record whose write reported
// success is in the file, which ends with its footer and trailer.
TEST_F(LoggerTest, WritersRacingShutdownLoseNoCompletedRecord) {
  for (const bool synchronous : {true, false}) {
    auto options = Options();
    options.synchronous = synchronous;
    ASSERT_TRUE(base::InitLogging("Race", options));
    const std::u16string path = log().LogFilePath();
    std::atomic<bool> go{false};
    std::vector<std::vector<std::string>> done(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 20000; ++i) {
          std::string text = "t" + std::to_string(t) + " n" + std::to_string(i);
          if (base::LogWrite(base::kLogInfo, text)) done[t].push_back(std::move(text));
          else if (i > 0) break;
        }
      });
    }
    go = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    base::ShutdownLogging();
    for (auto& th : threads) th.join();

    const auto report = ReadWith(ReadBytes(path));
    ASSERT_EQ(report.status, ReadStatus::kOk) << report.error;
    EXPECT_TRUE(report.ended);
    EXPECT_NE(report.text.find("\nlog shutdown at: "), std::string::npos);
    const auto messages = Messages(report.text);
    const std::set<std::string> in_file(messages.begin(), messages.end());
    std::size_t total = 0;
    for (const auto& list : done) {
      total += list.size();
      for (const auto& m : list) ASSERT_EQ(in_file.count(m), 1u) << m << " synchronous=" << synchronous;
    }
    EXPECT_GT(total, 0u);
  }
}

TEST_F(LoggerTest, BoundedShutdownEndsTheFileReadably) {
  ASSERT_TRUE(base::InitLogging("Bounded", Options()));
  EXPECT_TRUE(base::LogWriteBounded(base::kLogError, "stall seen", 100));
  const std::u16string path = log().LogFilePath();
  EXPECT_TRUE(log().ShutdownBounded(100));
  EXPECT_FALSE(base::LogWriteBounded(base::kLogError, "after shutdown", 100));
  const auto report = ReadWith(ReadBytes(path));
  ASSERT_EQ(report.status, ReadStatus::kOk) << report.error;
  EXPECT_TRUE(report.ended);
  EXPECT_EQ(Messages(report.text).back(), "stall seen");
}

}  // namespace
