// The real host, started and driven by the reference overlay.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "overlay_sim.h"
#include "platform/process.h"
#include "platform/shared_memory_owner.h"

namespace vyo {
namespace {

using sim::OverlaySim;

constexpr uint32_t kWait = 20000;

std::unique_ptr<OverlaySim> StartedSession(const char* tag) {
  auto s = OverlaySim::Create(tag);
  if (!s || !s->StartHost() || !s->Connect(kWait)) return nullptr;
  return s;
}

uint32_t Status(uint32_t code) { return static_cast<uint32_t>(platform::ExitStatusFor(code)); }

TEST(HostSession, GreetsAndStopsWhenThePipeCloses) {
  auto s = StartedSession("hello");
  ASSERT_TRUE(s);
  const auto hello = s->WaitFor(host::kHostHello, kWait);
  ASSERT_TRUE(hello);
  const auto m = host::DecodeHostHello(hello->payload);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->version, 1u);
  EXPECT_EQ(m->capabilities, 0x1Fu);
  EXPECT_EQ(m->module_count, 0u);
  // Log lines travel as HostLog while the pipe is up.
  EXPECT_TRUE(s->WaitForLog("HostHello sent, caps=0x1f, module_count=0", kWait));
  s->CloseConnection();
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));
}

TEST(HostSession, BadCommandLinesExitWithTwo) {
  auto s = OverlaySim::Create("badargs");
  ASSERT_TRUE(s);
  const auto good = s->HostArgs();
  std::vector<std::vector<std::u16string>> bad = {
      {good[0], good[1], good[2], good[3], good[4], good[5]},                     // no parent id
      {good[0], good[1], good[2], good[3], good[4], good[5], u"--parent-pid", u"abc"},
      {good[0], good[1], good[2], good[3], good[4], good[5], u"--parent-pid", u"0"},
      {good[2], good[3], good[4], good[5], good[6], good[7], u"--pipe"},          // pipe option last
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    ASSERT_TRUE(s->StartHost(OverlaySim::DefaultHostPath(), bad[i]));
    EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(2u)) << "case " << i;
  }
}

TEST(HostSession, MissingInputRingExitsWithThree) {
  auto s = OverlaySim::Create("noring");
  ASSERT_TRUE(s);
  auto args = s->HostArgs();
  args[3] = u"no_such_input_ring";
  ASSERT_TRUE(s->StartHost(OverlaySim::DefaultHostPath(), args));
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(3u));
}

TEST(HostSession, MalformedFramesStopTheHostQuietly) {
  const std::vector<std::vector<uint8_t>> frames = {
      std::vector<uint8_t>(15, 0x54),                                               // short header message
      {0x54, 0x32, 0x56, 0x57, 2, 0, 0, 0, 19, 0, 0, 0, 0, 0, 0, 0},                // version 2
      {0x11, 0x22, 0x33, 0x44, 1, 0, 0, 0, 19, 0, 0, 0, 0, 0, 0, 0},                // bad magic
      {0x54, 0x32, 0x56, 0x57, 1, 0, 0, 0, 19, 0, 0, 0, 0x01, 0x00, 0x10, 0x00},    // 1 MiB + 1
  };
  for (size_t i = 0; i < frames.size(); ++i) {
    auto s = StartedSession("malformed");
    ASSERT_TRUE(s);
    ASSERT_TRUE(s->WaitFor(host::kHostHello, kWait));
    ASSERT_TRUE(s->SendRawMessage(frames[i]));
    EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u)) << "case " << i;
  }
}

TEST(HostSession, StopsWhenTheParentExits) {
  // A stand-in parent, ended once the host is connected (whatever the machine's speed).
  std::u16string sim_path = platform::ExecutableDirectory() + platform::PathSeparator() + u"overlay-sim";
#if defined(_WIN32)
  sim_path += u".exe";
#endif
  auto parent = platform::ChildProcess::Start(sim_path, {u"--sleep-ms", u"120000"});
  ASSERT_TRUE(parent);
  auto s = OverlaySim::Create("parent");
  ASSERT_TRUE(s);
  auto args = s->HostArgs();
  args[7] = sim::ToU16(parent->Pid());
  ASSERT_TRUE(s->StartHost(OverlaySim::DefaultHostPath(), args));
  ASSERT_TRUE(s->Connect(kWait));
  ASSERT_TRUE(s->WaitFor(host::kHostHello, kWait));
  parent->Kill();
  EXPECT_TRUE(s->WaitForLog("Parent process exited, stopping helper", kWait));
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));
  parent->Wait(kWait);
}

TEST(HostSession, RegistryCommandsAndHeartbeat) {
  auto s = StartedSession("registry");
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->WaitFor(host::kHostHello, kWait));
  s->Send(host::SurfaceInfoCmd{1920, 1080});
  s->Send(host::SurfaceInfoCmd{1920, 1080});
  EXPECT_TRUE(s->WaitForLog("SurfaceInfo 1920x1080", kWait));
  s->Send(host::ViewCreateCmd{1, 0, 0, 640, 480, true, u"https://a.invalid/"});
  s->Send(host::ViewSetRectCmd{1, 10, 10, 800, 600});
  s->Send(host::ViewSetZOrderCmd{1, 3});
  s->Send(host::ViewSetFrameRateCmd{1, 500});
  EXPECT_TRUE(s->WaitForLog("SetViewFrameRate, view_id=1, frame_rate=60", kWait));

  // The heartbeat moves and names real stages.
  const sim::BeatMap first = s->ReadBeatMap();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const sim::BeatMap second = s->ReadBeatMap();
  EXPECT_GT(second.frame_counter, first.frame_counter);
  EXPECT_GT(second.stage_counter, first.stage_counter);
  EXPECT_LE(second.stage, 6u);
  EXPECT_STRNE(host::StageName(static_cast<int32_t>(second.stage)), "unknown");

  // Input records are taken from the ring.
  host::InputRecord record{};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(s->WriteInput(record));
  for (int i = 0; i < 200 && s->InputReadIndex() != 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(s->InputReadIndex(), 3u);

  s->Send(host::ViewDestroyCmd{1});
  s->CloseConnection();
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));
  // SurfaceInfo with the same size twice is logged once.
  int surface_logs = 0;
  for (const auto& m : s->received()) surface_logs += m.type == host::kHostLog && m.text() == "SurfaceInfo 1920x1080";
  EXPECT_EQ(surface_logs, 1);
}

TEST(HostSession, WithoutBeatMapTheHostStillRuns) {
  auto s = OverlaySim::Create("nobeat", /*with_beat_map=*/false);
  ASSERT_TRUE(s);
  auto args = s->HostArgs();
  args.push_back(u"--beat-map");
  args.push_back(u"no_such_beat_map");
  args.push_back(u"--trailing");
  ASSERT_TRUE(s->StartHost(OverlaySim::DefaultHostPath(), args));
  ASSERT_TRUE(s->Connect(kWait));
  EXPECT_TRUE(s->WaitFor(host::kHostHello, kWait));
  s->CloseConnection();
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));
}

#if !defined(_WIN32)
// The host's own log: encrypted files beside it that the log reader opens with the reader key.
TEST(HostSession, WritesAnEncryptedLogTheReaderCanRead) {
  namespace fs = std::filesystem;
  const fs::path log_dir = fs::path(Utf16ToUtf8(platform::ExecutableDirectory())) / "log";
  auto s = StartedSession("logfile");
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->WaitFor(host::kHostHello, kWait));
  s->Send(host::SurfaceInfoCmd{1234, 567});
  ASSERT_TRUE(s->WaitForLog("SurfaceInfo 1234x567", kWait));
  s->CloseConnection();
  ASSERT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));

  // The newest log of this host process.
  fs::path newest;
  fs::file_time_type newest_time = fs::file_time_type::min();
  for (const auto& entry : fs::directory_iterator(log_dir)) {
    if (entry.path().extension() == ".log" && entry.last_write_time() >= newest_time) {
      newest = entry.path();
      newest_time = entry.last_write_time();
    }
  }
  ASSERT_FALSE(newest.empty());
  const fs::path out = fs::temp_directory_path() / ("vyo_log_read_" + std::to_string(platform::CurrentProcessId()));
  auto reader = platform::ChildProcess::Start(
      platform::ExecutableDirectory() + u"/vyo-log",
      {u"--key", Utf8ToUtf16(VYO_SOURCE_DIR "/keys/dev-log/reader0.key"), u"--out", Utf8ToUtf16(out.string()),
       Utf8ToUtf16(newest.string())});
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->Wait(kWait), std::optional<uint32_t>(0u));
  std::ifstream in(out);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(out);
  EXPECT_NE(text.find("[FenyraOverlayHost]SurfaceInfo 1234x567"), std::string::npos);
  EXPECT_NE(text.find("reason=pipe_closed"), std::string::npos);
}
#endif

TEST(HostSession, ExitStatusesOfTheHostCodes) {
  EXPECT_EQ(Status(0), 0u);
  EXPECT_EQ(Status(3), 3u);
#if !defined(_WIN32)
  EXPECT_EQ(Status(0xE0010004u), 204u);
  EXPECT_EQ(Status(0xE0010001u), 201u);
#else
  EXPECT_EQ(Status(0xE0010004u), 0xE0010004u);
#endif
}

}  // namespace
}  // namespace vyo

namespace vyo {
namespace {

// A native button from image files through the real host: the overlay gets the texture, then the
// atlas's slices, and the texture holds the three images (a missing pressed image is the normal
// one) with their premultiplied pixels; a button too tall for a texture is refused.
TEST(HostSession, NativeButtonFromImageFiles) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vyo_button_e2e_" + std::to_string(platform::CurrentProcessId()));
  std::filesystem::create_directories(dir);
  std::vector<uint8_t> normal(20 * 10 * 4), hover(20 * 10 * 4);
  for (size_t i = 0; i < 200; ++i) {
    normal[i * 4] = 255, normal[i * 4 + 3] = 255;                     // opaque red
    hover[i * 4 + 1] = 200, hover[i * 4 + 2] = 100, hover[i * 4 + 3] = 64;  // translucent
  }
  ASSERT_TRUE(sim::WritePng((dir / "normal.png").string(), 20, 10, normal));
  ASSERT_TRUE(sim::WritePng((dir / "hover.png").string(), 20, 10, hover));
  auto s = StartedSession("button");
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->Send(host::NativeButtonCreateCmd{9, 20, 10, true, (dir / "normal.png").u16string(),
                                                  (dir / "hover.png").u16string(), u""}));
#if defined(_WIN32)
  // Wine's Direct3D makes no shared textures (no keyed mutex, no shared handles): no button there.
  if (!s->WaitFor(host::kSharedTextureReady, 5000)) GTEST_SKIP() << "no shared textures on this system";
#endif
  const auto atlas = s->WaitFor(host::kButtonAtlasReady, kWait);
  ASSERT_TRUE(atlas);
  const auto rects = host::DecodeButtonAtlasReady(atlas->payload);
  EXPECT_EQ(rects->view_id, 9u);
  EXPECT_EQ(rects->rects[2][1], 20u);  // the pressed image starts at row 2h
  // The texture came first.
  bool texture_first = false;
  for (const auto& m : s->received()) {
    if (m.type == host::kSharedTextureReady) texture_first = true;
    if (m.type == host::kButtonAtlasReady) break;
  }
  EXPECT_TRUE(texture_first);
#if !defined(_WIN32)  // the reference overlay reads textures of the CPU device only
  const sim::ViewCopy* view = nullptr;
  for (int i = 0; i < 200 && (view == nullptr || view->frames == 0); ++i) {
    s->surface().Poll(false);
    view = s->surface().View(9);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(view->width, 20u);
  ASSERT_EQ(view->height, 30u);
  const auto pixel = [&](uint32_t x, uint32_t y) {
    const uint8_t* p = view->pixels.data() + (static_cast<size_t>(y) * 20 + x) * 4;
    return std::vector<uint8_t>{p[0], p[1], p[2], p[3]};
  };
  EXPECT_EQ(pixel(5, 5), (std::vector<uint8_t>{0, 0, 255, 255}));   // normal
  EXPECT_EQ(pixel(5, 15), (std::vector<uint8_t>{25, 50, 0, 64}));   // hover, premultiplied
  EXPECT_EQ(pixel(19, 29), (std::vector<uint8_t>{0, 0, 255, 255}));  // pressed: the normal image
#endif
  // Too tall for a texture: refused with a line, no second atlas.
  ASSERT_TRUE(s->Send(host::NativeButtonCreateCmd{10, 20, 6000, true, (dir / "normal.png").u16string(), u"", u""}));
  EXPECT_TRUE(s->WaitForLog("button image too large, view_id=10, width=20, height=6000", kWait));
  s->CloseConnection();
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));
  std::filesystem::remove_all(dir);
}

#if !defined(_WIN32)
// Entries of /dev/shm a host left: its owner record, its textures (its pid in their handles) and
// the blocks named after its pipe (DirtyMaps and hit masks).
std::vector<std::string> HostEntries(uint32_t pid, const std::u16string& pipe_name) {
  std::string pipe = Utf16ToUtf8(pipe_name);
  for (char& c : pipe) {
    if (c == '\\' || c == '/') c = '_';
  }
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec)) {
    const std::string name = e.path().filename().string();
    const platform::OwnedObject owner = platform::ClassifySharedMemoryEntry(name);
    if (owner.pid == pid || name.rfind("vyo." + pipe + "_", 0) == 0) out.push_back(name);
  }
  return out;
}

// A host killed with SIGKILL (nothing of it runs) leaves its views' textures and DirtyMaps in
// /dev/shm; the next host removes them as it starts. The two views are native buttons, which need
// no browser.
TEST(HostSession, NextHostRemovesTheSharedMemoryOfAKilledHost) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vyo_killed_e2e_" + std::to_string(platform::CurrentProcessId()));
  std::filesystem::create_directories(dir);
  std::vector<uint8_t> pixels(8 * 8 * 4, 255);
  ASSERT_TRUE(sim::WritePng((dir / "button.png").string(), 8, 8, pixels));
  auto first = StartedSession("killed");
  ASSERT_TRUE(first);
  for (uint32_t id : {21u, 22u}) {
    ASSERT_TRUE(first->Send(host::NativeButtonCreateCmd{id, 8, 8, true, (dir / "button.png").u16string(), u"", u""}));
  }
  int atlases = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
  while (atlases < 2 && std::chrono::steady_clock::now() < deadline) {
    atlases = 0;
    for (const auto& m : first->received()) atlases += m.type == host::kButtonAtlasReady;
    if (atlases < 2) first->WaitFor(host::kButtonAtlasReady, 200);
  }
  ASSERT_EQ(atlases, 2);
  const uint32_t dead_pid = first->host_pid();
  // Two textures, two DirtyMaps and the owner record.
  const auto before = HostEntries(dead_pid, first->pipe_name());
  EXPECT_GE(before.size(), 5u) << ::testing::PrintToString(before);
  first->KillHost();
  ASSERT_TRUE(first->WaitExit(kWait).has_value());
  EXPECT_EQ(HostEntries(dead_pid, first->pipe_name()).size(), before.size());  // SIGKILL removes nothing

  auto second = StartedSession("after_killed");
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->WaitFor(host::kHostHello, kWait));
  EXPECT_TRUE(HostEntries(dead_pid, first->pipe_name()).empty())
      << ::testing::PrintToString(HostEntries(dead_pid, first->pipe_name()));
  second->CloseConnection();
  EXPECT_EQ(second->WaitExit(kWait), std::optional<uint32_t>(0u));
  std::filesystem::remove_all(dir);
}
#endif

}  // namespace
}  // namespace vyo
