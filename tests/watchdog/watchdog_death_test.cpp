// The watchdog ending a real process: a stuck loop ends with 0xE0010001 (status 201 on Linux) and
// leaves its stall line; a stuck loop whose parent exited ends with 0xE0010002 (202) and no report.
#include <gtest/gtest.h>

#include <vector>

#include "base/text.h"
#include "platform/log_files.h"
#include "platform/files.h"
#include "platform/process.h"
#include "watchdog/stall_report.h"

namespace vyo::watchdog {
namespace {

std::u16string ChildDir() { return platform::ExecutableDirectory() + platform::PathSeparator() + u"watchdog-child"; }
std::u16string ChildPath() {
#ifdef _WIN32
  return ChildDir() + platform::PathSeparator() + u"watchdog_child.exe";
#else
  return ChildDir() + platform::PathSeparator() + u"watchdog_child";
#endif
}
std::u16string ReportPath(uint32_t pid) {
  return ChildDir() + platform::PathSeparator() + u"log" + platform::PathSeparator() + StallReportWriter::FileName(pid);
}
std::string ReadText(const std::u16string& path) {
  std::vector<uint8_t> bytes;
  if (platform::ReadWholeFile(path, 1 << 20, bytes) != platform::FileStatus::kOk) return {};
  return std::string(bytes.begin(), bytes.end());
}

// The host log files the logging child left beside its reports.
std::vector<std::u16string> LogFiles() {
  const std::u16string dir = ChildDir() + platform::PathSeparator() + u"log";
  std::vector<platform::LogDirEntry> entries;
  platform::ListLogDirectory(dir, entries);
  std::vector<std::u16string> out;
  for (const auto& e : entries) {
    if (e.name.size() > 4 && e.name.compare(e.name.size() - 4, 4, u".log") == 0) {
      out.push_back(dir + platform::PathSeparator() + e.name);
    }
  }
  return out;
}

// A plain stall, and one while another thread holds the logger's queue lock for good: the report
// line is in the file and the process ends with the stall status either way.
TEST(WatchdogDeath, StuckLoopEndsWithStallStatusAndReport) {
  for (const char16_t* mode : {u"stall", u"stall_logger_held"}) {
    SCOPED_TRACE(Utf16ToUtf8(mode));
    auto child = platform::ChildProcess::Start(ChildPath(), {mode});
    ASSERT_NE(child, nullptr);
    const auto status = child->Wait(15000);
    if (!status) child->Kill();
    ASSERT_TRUE(status.has_value()) << "the watchdog did not end the process";
    EXPECT_EQ(*status, static_cast<uint32_t>(platform::ExitStatusFor(kExitStall)));
    const std::string text = ReadText(ReportPath(child->Pid()));
    const std::string head = "host watchdog stall: reason=main_loop, pid=" + std::to_string(child->Pid()) +
                             ", stage=pump_pipe(2), detail=7, stage_age=";
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;
    const std::string tail = ", pending=2, parent=0, exit=0xE0010001\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find('\n'), text.size() - 1);  // exactly one line
    // The no-progress age is the one that triggered: at least the threshold, within a sample or two.
    const size_t at = text.find("no_progress_age=");
    ASSERT_NE(at, std::string::npos);
    const unsigned long age = std::strtoul(text.c_str() + at + 16, nullptr, 10);
    EXPECT_GE(age, 600u);
    EXPECT_LT(age, 2000u);
    platform::DeleteLogFile(ReportPath(child->Pid()));
    for (const auto& f : LogFiles()) platform::DeleteLogFile(f);
  }
}

TEST(WatchdogDeath, ParentGoneEndsWithoutReport) {
  auto parent = platform::ChildProcess::Start(ChildPath(), {u"sleep", u"300"});
  ASSERT_NE(parent, nullptr);
  auto child = platform::ChildProcess::Start(ChildPath(), {u"parent", Utf8ToUtf16(std::to_string(parent->Pid()))});
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(parent->Wait(10000).has_value());
  const auto status = child->Wait(15000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, static_cast<uint32_t>(platform::ExitStatusFor(kExitParentGone)));
  EXPECT_EQ(ReadText(ReportPath(child->Pid())), "");
}

}  // namespace
}  // namespace vyo::watchdog
