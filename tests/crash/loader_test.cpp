// The crash report loader against the project's helper library: the calls and their order, the
// configuration record byte for byte, user id updates, unloading, failures, and the crash callback.
#include "crash/crash_report_loader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crash/fake_services.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"

namespace vyo::crash {
namespace {

using testing::RecordingServices;

std::u16string ReadWide(const uint8_t* record, size_t offset) {
  const char16_t* text = nullptr;
  std::memcpy(&text, record + offset, sizeof(text));
  return text != nullptr ? std::u16string(text) : std::u16string(u"<null>");
}

VyoCrashHelperState HelperState(const CrashReportLoader& loader) {
  VyoCrashHelperState state{};
  auto get = reinterpret_cast<VyoGetCrashReportHelperStateFn>(loader.Symbol("GetCrashReportHelperState"));
  EXPECT_NE(get, nullptr);
  if (get != nullptr) get(&state);
  return state;
}

std::vector<uint32_t> Calls(const VyoCrashHelperState& s) { return {s.calls, s.calls + s.call_count}; }

class LoaderFixture : public ::testing::Test {
 protected:
  ~LoaderFixture() override { loader_.Uninit(); }
  bool InitLikeStartup() {
    return loader_.Init(u"FenyraOverlayHost", std::nullopt, 0x40000002F, 4, &CrashReportLoader::HostCrashCallback);
  }
  RecordingServices services_;
  CrashReportLoader loader_{services_};
};

TEST_F(LoaderFixture, InitHandsTheRecordAndCallsInOrder) {
  ASSERT_TRUE(InitLikeStartup()) << (services_.traces.empty() ? "" : services_.traces.back());
  const VyoCrashHelperState state = HelperState(loader_);
  EXPECT_EQ(Calls(state), (std::vector<uint32_t>{VYO_HELPER_CALL_INIT, VYO_HELPER_CALL_OFFLINE, VYO_HELPER_CALL_CALLBACK}));
  EXPECT_EQ(state.offline, 0u);
  EXPECT_EQ(state.has_callback, 1);
  EXPECT_EQ(services_.traces, std::vector<std::string>{"[CrashReportLoader] InitCrashRpt success"});

  // The record, byte for byte: the texts through their pointers, the numbers, zeros elsewhere.
  const uint8_t* r = state.record;
  EXPECT_EQ(0, std::memcmp(r, loader_.record(), VYO_CRASH_RECORD_SIZE));
  const std::u16string sep(1, platform::PathSeparator());
  const std::u16string exe_dir = platform::ExecutableDirectory();
  EXPECT_EQ(ReadWide(r, 8), u"FenyraOverlayHost");
  EXPECT_EQ(ReadWide(r, 16), u"1.1.0.41");
  EXPECT_EQ(ReadWide(r, 48), exe_dir + sep + u"BugReport");
  EXPECT_EQ(ReadWide(r, 88), exe_dir + sep + u"BugReport" + sep + u"dbghelp.dll");
  const std::u16string urls[] = {ReadWide(r, 168), ReadWide(r, 176), ReadWide(r, 184)};
  const std::u16string paths[] = {u"/query_crash_config.php", u"/upload_crash_meta.php", u"/upload_crash_file.php"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(urls[i].rfind(u"https://", 0), 0u);
    EXPECT_EQ(urls[i].substr(urls[i].size() - paths[i].size()), paths[i]);
  }
  uint8_t expected[VYO_CRASH_RECORD_SIZE] = {};
  std::memcpy(expected, r, VYO_CRASH_RECORD_SIZE);
  for (size_t offset : {8, 16, 48, 88, 168, 176, 184}) std::memset(expected + offset, 0, 8);  // pointers checked above
  uint8_t numbers[VYO_CRASH_RECORD_SIZE] = {};
  numbers[0] = 240;
  const uint32_t flags = 0x3FFF, option2 = 4, last = 3;
  const uint64_t option1 = 0x40000002F;
  std::memcpy(numbers + 76, &flags, 4);
  std::memcpy(numbers + 200, &option1, 8);
  std::memcpy(numbers + 216, &option2, 4);
  std::memcpy(numbers + 232, &last, 4);
  EXPECT_EQ(0, std::memcmp(expected, numbers, VYO_CRASH_RECORD_SIZE));

  // A second Init changes nothing.
  EXPECT_TRUE(InitLikeStartup());
  EXPECT_EQ(HelperState(loader_).call_count, 3u);
}

TEST_F(LoaderFixture, UserIdBeforeAndAfterInit) {
  loader_.SetUserId(0x1122334455667788ull);  // not initialised: only stored
  ASSERT_TRUE(InitLikeStartup());
  uint64_t in_record = 0;
  std::memcpy(&in_record, loader_.record() + 208, 8);
  EXPECT_EQ(in_record, 0x1122334455667788ull);
  EXPECT_EQ(HelperState(loader_).call_count, 3u);

  loader_.SetUserId(99);
  const VyoCrashHelperState state = HelperState(loader_);
  EXPECT_EQ(Calls(state).back(), static_cast<uint32_t>(VYO_HELPER_CALL_USER_ID));
  EXPECT_EQ(state.user_id, 99u);
  std::memcpy(&in_record, loader_.record() + 208, 8);
  EXPECT_EQ(in_record, 99u);
}

TEST_F(LoaderFixture, GivenUserIdIsStoredAndUsed) {
  ASSERT_TRUE(loader_.Init(u"FenyraOverlayHost", 7, 1, 2, nullptr));
  EXPECT_EQ(loader_.user_id(), 7u);
  const VyoCrashHelperState state = HelperState(loader_);
  EXPECT_EQ(Calls(state), (std::vector<uint32_t>{VYO_HELPER_CALL_INIT, VYO_HELPER_CALL_OFFLINE}));  // no callback
  uint64_t in_record = 0;
  std::memcpy(&in_record, state.record + 208, 8);
  EXPECT_EQ(in_record, 7u);
}

TEST_F(LoaderFixture, UninitUnloadsTheLibrary) {
  ASSERT_TRUE(InitLikeStartup());
  const std::u16string path = loader_.library_path();
  EXPECT_TRUE(platform::IsLibraryLoaded(path));
  auto uninit_seen = reinterpret_cast<VyoGetCrashReportHelperStateFn>(loader_.Symbol("GetCrashReportHelperState"));
  ASSERT_NE(uninit_seen, nullptr);
  loader_.Uninit();
  EXPECT_FALSE(loader_.initialised());
  EXPECT_EQ(loader_.Symbol("InitCrashReportHelper"), nullptr);
  EXPECT_FALSE(platform::IsLibraryLoaded(path));
  loader_.Uninit();  // nothing left to do
  loader_.SetUserId(5);
  EXPECT_EQ(loader_.user_id(), 5u);
  // Loaded again, the helper starts afresh and saw Init, Offline, Callback only.
  ASSERT_TRUE(InitLikeStartup());
  EXPECT_EQ(HelperState(loader_).call_count, 3u);
}

TEST(CrashLoaderFailures, NothingLoadedFromWrongOrCutPaths) {
  struct Case {
    const char* name;
    std::u16string exe;
    std::vector<std::string> traces;
  };
  const std::u16string sep(1, platform::PathSeparator());
  const std::u16string missing = platform::ExecutableDirectory() + sep + u"no-such-folder" + sep + u"host";
  // A folder name that leaves no room for the library's name in 260 characters.
  const std::u16string long_dir = platform::ExecutableDirectory() + sep + std::u16string(240, u'd') + sep + u"host";
  const Case cases[] = {
      {"no folder in the path", u"FenyraOverlayHost", {"[CrashReportLoader] Get Process Folder fail"}},
#ifdef _WIN32
      {"missing library", missing, {"[CrashReportLoader] Load library failed=126", "[CrashReportLoader] Load library fail"}},
#else
      {"missing library", missing, {"[CrashReportLoader] Load library failed=2", "[CrashReportLoader] Load library fail"}},
#endif
      {"path fills its buffer", long_dir, {"[CrashReportLoader] Load library failed=206", "[CrashReportLoader] Load library fail"}},
  };
  for (const Case& c : cases) {
    RecordingServices services;
    CrashReportLoader loader(services, c.exe);
    EXPECT_FALSE(loader.Init(u"FenyraOverlayHost", std::nullopt, 0, 0, nullptr)) << c.name;
    EXPECT_FALSE(loader.initialised()) << c.name;
    EXPECT_EQ(services.traces, c.traces) << c.name;
    loader.SetUserId(3);  // only stored
    loader.Uninit();
  }
}

void SomeFunctionOfThisProgram() {}

TEST_F(LoaderFixture, CrashCallbackLogsStoresShutsDownAndPauses) {
  loader_.SetUserId(1234);
  ASSERT_TRUE(InitLikeStartup());
  VyoExceptionRecord record{};
  record.code = 0xC0000005;
  record.address = reinterpret_cast<void*>(&SomeFunctionOfThisProgram);
  VyoExceptionPointers pointers{&record, nullptr};
  VyoCrashBlock block{&pointers, 11, 0xC0000005};
  VyoCrashCallbackInfo info{1, &block};
  EXPECT_EQ(CrashReportLoader::HostCrashCallback(&info), 1);

#ifdef _WIN32
  const std::string module = "crash_loader_tests.exe";
#else
  const std::string module = "crash_loader_tests";
#endif
  ASSERT_EQ(services_.errors.size(), 1u);
  EXPECT_EQ(services_.errors[0],
            "[FenyraOverlayHost]CrashReportCallback, code:-1073741819, exctype:11, stage:1, module:" + module);
  EXPECT_NE(services_.error_files[0].find("crash_report_loader.cpp"), std::string::npos);
  ASSERT_EQ(services_.events.size(), 1u);
  EXPECT_EQ(services_.events[0].kind, 23);
  EXPECT_EQ(services_.events[0].ints, (std::vector<int32_t>{0, 0, static_cast<int32_t>(0xC0000005), 11, 1}));
  EXPECT_EQ(services_.events[0].strs, std::vector<std::string>{module});
  EXPECT_EQ(services_.order, (std::vector<std::string>{"log", "telemetry", "shutdown", "pause"}));
  EXPECT_EQ(services_.pauses, std::vector<uint32_t>{500});
  // The stored user id went to the helper again.
  const VyoCrashHelperState state = HelperState(loader_);
  EXPECT_EQ(Calls(state).back(), static_cast<uint32_t>(VYO_HELPER_CALL_USER_ID));
  EXPECT_EQ(state.user_id, 1234u);
  // The program has no version resource: the reported version stays the host's.
  EXPECT_EQ(loader_.version(), u"1.1.0.41");

  // One crash at a time: a second callback is not reported.
  EXPECT_EQ(CrashReportLoader::HostCrashCallback(&info), 1);
  EXPECT_EQ(services_.errors.size(), 1u);
}

// A library loaded after crash reporting started (a plug-in module) is named when it faults: the
// loader takes the module list again on each load instead of asking the system during the crash.
TEST_F(LoaderFixture, LibraryLoadedLaterIsNamedInTheCrashLine) {
  ASSERT_TRUE(InitLikeStartup());
  const std::u16string sep(1, platform::PathSeparator());
#ifdef _WIN32
  const std::u16string path = platform::ExecutableDirectory() + sep + u"hello_module.dll";
  const std::string name = "hello_module.dll";
#else
  const std::u16string path = platform::ExecutableDirectory() + sep + u".." + sep + u"lib" + sep + u"hello_module.so";
  const std::string name = "hello_module.so";
#endif
  auto library = platform::DynamicLibrary::Open(path);
  ASSERT_NE(library, nullptr);
  void* inside = library->Symbol("VYOM_Tick");
  ASSERT_NE(inside, nullptr);
  VyoExceptionRecord record{};
  record.code = 0xC0000005;
  record.address = inside;
  VyoExceptionPointers pointers{&record, nullptr};
  VyoCrashBlock block{&pointers, 11, 0xC0000005};
  VyoCrashCallbackInfo info{1, &block};
  EXPECT_EQ(CrashReportLoader::HostCrashCallback(&info), 1);
  ASSERT_EQ(services_.errors.size(), 1u);
  EXPECT_EQ(services_.errors[0],
            "[FenyraOverlayHost]CrashReportCallback, code:-1073741819, exctype:11, stage:1, module:" + name);
  EXPECT_EQ(services_.prepared, 1);
}

TEST(CrashCallback, DebuggerNotificationsAndMissingRecords) {
  RecordingServices services;
  CrashReportLoader loader(services);
  for (uint32_t code : {0x40010006u, 0x40010007u, 0x4001000Au}) {
    VyoCrashBlock block{nullptr, 0, code};
    VyoCrashCallbackInfo info{0, &block};
    EXPECT_EQ(loader.OnCrash(&info), 1);
  }
  EXPECT_TRUE(services.order.empty());
  EXPECT_EQ(loader.OnCrash(nullptr), 1);
  ASSERT_EQ(services.errors.size(), 1u);
  EXPECT_EQ(services.errors[0], "[FenyraOverlayHost]CrashReportCallback, code:0, exctype:0, stage:0, module:unknown");
  EXPECT_EQ(services.events[0].strs, std::vector<std::string>{"unknown"});
}

TEST(CrashCallback, PathRules) {
  const std::vector<std::u16string> folders = {u"C:\\Windows\\system32", u"C:\\Windows\\SysWOW64\\", u"/usr/lib"};
  struct Case {
    const char16_t* path;
    bool system;
  };
  const Case cases[] = {
      {u"C:\\Windows\\System32\\ntdll.dll", true},  // case does not matter
      {u"c:\\windows\\syswow64\\x.dll", true},
      {u"C:\\Windows\\system32", true},
      {u"C:\\Windows\\system32x\\evil.dll", false},  // a folder that only begins the same
      {u"C:\\Games\\plugin.dll", false},
      {u"/usr/lib/x86_64-linux-gnu/libc.so.6", true},
      {u"/usr/library/x.so", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsInFolders(c.path, folders), c.system) << std::string(c.path, c.path + 1);
  EXPECT_EQ(FileNamePart(u"C:\\a\\b.dll"), u"b.dll");
  EXPECT_EQ(FileNamePart(u"/a/b.so"), u"b.so");
  EXPECT_EQ(FileNamePart(u"C:\\a/b\\c.dll"), u"c.dll");
  EXPECT_EQ(FileNamePart(u"plain"), u"plain");
  EXPECT_EQ(FormatVersion({65535, 0, 12, 7}), u"65535.0.12.7");
  std::array<char16_t, 4> small{};
  EXPECT_FALSE(CopyText(small, u"abcd"));
  EXPECT_EQ(std::u16string(small.data()), u"abc");
  EXPECT_TRUE(CopyText(small, u"abc"));
}

}  // namespace
}  // namespace vyo::crash
