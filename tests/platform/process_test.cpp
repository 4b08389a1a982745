// Child processes and process watches, driven with the helper program built beside the tests.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/helper_args.h"
#include "platform/test_support.h"

namespace vyo::platform {
namespace {

using testing::Ascii16;
using testing::MillisSince;
using testing::PollUntil;

std::u16string HelperPath() {
  std::u16string path = ExecutableDirectory() + PathSeparator() + u"platform_test_helper";
#ifdef _WIN32
  path += u".exe";
#endif
  return path;
}

TEST(ProcessTest, ExecutablePathNamesThisProgram) {
  const std::u16string directory = ExecutableDirectory();
  const std::u16string path = ExecutablePath();
  ASSERT_FALSE(directory.empty());
  ASSERT_GT(path.size(), directory.size() + 1);
  EXPECT_EQ(path.compare(0, directory.size(), directory), 0);
  EXPECT_EQ(path[directory.size()], PathSeparator());
  EXPECT_NE(path.find(u"platform_process_tests"), std::u16string::npos);
  EXPECT_NE(directory.back(), PathSeparator());
}

TEST(ProcessTest, WaitReturnsTheChildsExitStatus) {
  const uint32_t codes[] = {0, 1, 3, 0xE0010001u, 0xE0010004u};
  for (uint32_t code : codes) {
    SCOPED_TRACE(code);
    auto child = ChildProcess::Start(HelperPath(), {u"exit", Ascii16(std::to_string(code))});
    ASSERT_NE(child, nullptr);
    EXPECT_NE(child->Pid(), 0u);
    EXPECT_NE(child->Pid(), CurrentProcessId());
    const std::optional<uint32_t> status = child->Wait(10000);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, static_cast<uint32_t>(ExitStatusFor(code)));
  }
}

TEST(ProcessTest, ExitStatusMapping) {
#ifdef _WIN32
  EXPECT_EQ(static_cast<uint32_t>(ExitStatusFor(0xE0010004u)), 0xE0010004u);
  EXPECT_EQ(ExitStatusFor(3), 3);
#else
  EXPECT_EQ(ExitStatusFor(0xE0010001u), 201);
  EXPECT_EQ(ExitStatusFor(0xE0010002u), 202);
  EXPECT_EQ(ExitStatusFor(0xE0010004u), 204);
  EXPECT_EQ(ExitStatusFor(0x1234u), 0x34);
  EXPECT_EQ(ExitStatusFor(3), 3);
#endif
}

TEST(ProcessTest, ArgumentsArriveUnchanged) {
  std::vector<std::u16string> args = {u"args"};
  for (const char* arg : testing::kQuotedArgs) args.push_back(Ascii16(arg));
  auto child = ChildProcess::Start(HelperPath(), args);
  ASSERT_NE(child, nullptr);
  const std::optional<uint32_t> status = child->Wait(10000);
  ASSERT_TRUE(status.has_value());
  // 100 + i names the first argument that arrived changed; 99 a wrong argument count.
  EXPECT_EQ(*status, 0u);
}

TEST(ProcessTest, StartOfAMissingProgramFails) {
  EXPECT_EQ(ChildProcess::Start(ExecutableDirectory() + PathSeparator() + u"no-such-program", {}),
            nullptr);
}

TEST(ProcessTest, WatchSeesAKilledChildExit) {
  auto child = ChildProcess::Start(HelperPath(), {u"sleep", u"30000"});
  ASSERT_NE(child, nullptr);
  auto watch = ProcessWatch::Open(child->Pid());
  ASSERT_NE(watch, nullptr);
  EXPECT_FALSE(watch->HasExited());
  EXPECT_FALSE(child->Wait(20).has_value());

  const auto killed_at = std::chrono::steady_clock::now();
  child->Kill();
  EXPECT_TRUE(PollUntil([&] { return watch->HasExited(); }, std::chrono::milliseconds(5000)));
  const std::optional<uint32_t> status = child->Wait(5000);
  ASSERT_TRUE(status.has_value());
#ifdef _WIN32
  EXPECT_EQ(*status, 1u);
#endif
  EXPECT_LT(MillisSince(killed_at), 5000);
}

TEST(ProcessTest, WatchSeesAChildEndOnItsOwn) {
  auto child = ChildProcess::Start(HelperPath(), {u"sleep", u"200"});
  ASSERT_NE(child, nullptr);
  auto watch = ProcessWatch::Open(child->Pid());
  ASSERT_NE(watch, nullptr);
  EXPECT_FALSE(watch->HasExited());
  EXPECT_TRUE(PollUntil([&] { return watch->HasExited(); }, std::chrono::milliseconds(10000)));
  const std::optional<uint32_t> status = child->Wait(1000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0u);
}

}  // namespace
}  // namespace vyo::platform
