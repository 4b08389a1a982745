// The stall report: the exact line, the file beside the executable, the log line, and no file when
// the executable's folder is unknown.
#include "protocol/shared_memory_layout.h"
#include "watchdog/stall_report.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/text.h"
#include "platform/log_files.h"
#include "platform/files.h"
#include "platform/process.h"
#include "watchdog/fake_source.h"

namespace vyo::watchdog {
namespace {

std::u16string TempFolder(const char* name) {
  const std::u16string dir = platform::ExecutableDirectory() + platform::PathSeparator() + u"watchdog-test-" +
                             Utf8ToUtf16(name) + u"-" + Utf8ToUtf16(std::to_string(platform::CurrentProcessId()));
  platform::CreateDirectoryTree(dir);
  return dir;
}

std::string ReadText(const std::u16string& path) {
  std::vector<uint8_t> bytes;
  if (platform::ReadWholeFile(path, 1 << 20, bytes) != platform::FileStatus::kOk) return {};
  return std::string(bytes.begin(), bytes.end());
}

StallInfo Info(const char* reason) {
  StallInfo info;
  info.reason = reason;
  info.pid = 4242;
  info.stage = 5;
  info.detail = 17;
  info.stage_age_ms = 8123;
  info.no_progress_age_ms = 8000;
  info.pending = 3;
  info.parent_pid = 77;
  return info;
}

TEST(StallReport, LineFormat) {
  EXPECT_EQ(FormatStallLine(Info("main_loop")),
            "host watchdog stall: reason=main_loop, pid=4242, stage=pump_frames(5), detail=17, stage_age=8123ms, "
            "no_progress_age=8000ms, pending=3, parent=77, exit=0xE0010001\r\n");
  StallInfo odd = Info(nullptr);
  odd.stage = -1;
  odd.detail = -2;
  odd.pid = 4294967295u;
  EXPECT_EQ(FormatStallLine(odd),
            "host watchdog stall: reason=unknown, pid=4294967295, stage=unknown(-1), detail=-2, stage_age=8123ms, "
            "no_progress_age=8000ms, pending=3, parent=77, exit=0xE0010001\r\n");
  const char* names[] = {"init", "pump_messages", "pump_pipe", "pump_input", "module_tick", "pump_frames",
                         "wait_frame", "unknown"};
  for (int32_t stage = 0; stage < 8; ++stage) EXPECT_STREQ(host::StageName(stage), names[stage]);
}

TEST(StallReport, AppendsToTheFileAndLogsTheSameLine) {
  const std::u16string exe_dir = TempFolder("append");
  testing::RecordingLog log;
  StallReportWriter writer(exe_dir, log);
  const std::u16string file = writer.folder() + platform::PathSeparator() + StallReportWriter::FileName(4242);
  platform::DeleteLogFile(file);

  EXPECT_TRUE(writer.Write(Info("pipe_write")));
  EXPECT_TRUE(writer.Write(Info("pipe_shutdown")));
  writer.FlushLog();

  const std::string first = FormatStallLine(Info("pipe_write"));
  const std::string second = FormatStallLine(Info("pipe_shutdown"));
  EXPECT_EQ(ReadText(file), first + second);
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].kind, 5);  // ERROR
  EXPECT_EQ(log.records[0].text, "[FenyraOverlayHost]" + first);
  EXPECT_NE(log.records[0].file.find("stall_report.cpp"), std::string::npos);
  EXPECT_EQ(log.shutdowns, 1);
  EXPECT_EQ(writer.folder(), exe_dir + platform::PathSeparator() + u"log");
}

TEST(StallReport, UnknownExecutableFolderWritesOnlyTheLogLine) {
  testing::RecordingLog log;
  StallReportWriter writer(u"", log);
  EXPECT_TRUE(writer.folder().empty());
  EXPECT_FALSE(writer.Write(Info("main_loop")));
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].text, "[FenyraOverlayHost]" + FormatStallLine(Info("main_loop")));
}

TEST(StallReport, UnwritableFolderStillLogs) {
  const std::u16string exe_dir = TempFolder("blocked");
  // A regular file where the "log" folder should be.
  const std::u16string blocker = exe_dir + platform::PathSeparator() + u"log";
  platform::DeleteLogFile(blocker);
  {
    auto f = platform::LogFile::Open(blocker, platform::LogFile::Mode::kCreateAlways);
    ASSERT_NE(f, nullptr);
  }
  testing::RecordingLog log;
  StallReportWriter writer(exe_dir, log);
  EXPECT_FALSE(writer.Write(Info("main_loop")));
  EXPECT_EQ(log.records.size(), 1u);
}

}  // namespace
}  // namespace vyo::watchdog
