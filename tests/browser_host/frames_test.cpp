// Frames through the real host and the real browser, read the way an overlay reads them: shared
// textures in named shared memory, the keyed mutex and the DirtyMaps, followed by the reference
// overlay's surface reader.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "base/text.h"
#include "overlay_sim.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "protocol/texture_layout.h"
#include "surface_reader.h"

namespace vyo {
namespace {

namespace fs = std::filesystem;
using sim::ReadClockMarker;

constexpr uint32_t kWait = 30000;

// Sets (or with null, removes) an environment variable the host started next inherits.
void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

struct Bgra {
  uint8_t b, g, r, a;
  bool operator==(const Bgra& o) const { return b == o.b && g == o.g && r == o.r && a == o.a; }
};
std::ostream& operator<<(std::ostream& os, const Bgra& p) {
  return os << "bgra(" << int(p.b) << "," << int(p.g) << "," << int(p.r) << "," << int(p.a) << ")";
}

Bgra PixelAt(const sim::ViewCopy& v, uint32_t x, uint32_t y) {
  const uint8_t* p = v.pixels.data() + (static_cast<size_t>(y) * v.width + x) * 4;
  return Bgra{p[0], p[1], p[2], p[3]};
}

// round(c × a / 255)
uint8_t Pre(uint32_t c, uint32_t a) { return static_cast<uint8_t>((c * a + 127) / 255); }

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::u16string Exe(const std::u16string& name) {
  std::u16string path = platform::ExecutableDirectory() + platform::PathSeparator() + name;
#if defined(_WIN32)
  path += u".exe";
#endif
  return path;
}

bool RunTool(const std::u16string& tool, const std::vector<std::u16string>& args) {
  auto p = platform::ChildProcess::Start(tool, args);
  return p && p->Wait(kWait) == std::optional<uint32_t>(0u);
}

// Three blocks over a transparent page: opaque red, rgba(200,100,50,0.25), opaque blue; the rest
// of the page stays transparent. An optional animated block moves inside the box (200,100)-(300,200).
std::string BlocksPage(bool animated) {
  std::string page =
      "<!doctype html><html><head><style>"
      "html,body{margin:0;background:transparent;overflow:hidden}"
      "div{position:absolute;width:100px;height:100px}"
      "#a{left:0;top:0;background:rgb(255,0,0)}"
      "#b{left:100px;top:0;background:rgba(200,100,50,0.25)}"
      "#c{left:0;top:100px;background:rgb(0,0,255)}"
      "#m{left:200px;top:100px;width:20px;height:20px;background:rgb(0,255,0)}"
      "</style></head><body><div id=a></div><div id=b></div><div id=c></div>";
  if (animated) {
    page +=
        "<div id=m></div><script>"
        "let i=0;setInterval(()=>{i=(i+1)%80;document.getElementById('m').style.left=(200+i)+'px';"
        "if(window.__vyoMarkDirtyRect)window.__vyoMarkDirtyRect(200,100,100,20);},30);</script>";
  }
  return page + "</body></html>";
}

struct FramesFixture : ::testing::Test {
  fs::path work;
  std::unique_ptr<sim::OverlaySim> s;

  void SetUp() override {
    work = fs::temp_directory_path() / ("vyo_frames_" + std::to_string(platform::CurrentProcessId()));
    fs::remove_all(work);
    fs::create_directories(work);
  }
  void TearDown() override {
    s.reset();
    fs::remove_all(work);
  }

  // Starts the host; false (test skipped) when the machine has no browser.
  bool Start(const char* tag) {
    s = sim::OverlaySim::Create(tag);
    if (!s || !s->StartHost() || !s->Connect(kWait)) {
      ADD_FAILURE() << "host did not start";
      return false;
    }
    auto env = s->WaitFor(host::kEnvironmentResult, kWait);
    if (!env) {
      ADD_FAILURE() << "no environment result";
      return false;
    }
    if (host::DecodeEnvironmentResult(env->payload)->result == 1) {
      s.reset();
      return false;
    }
    return true;
  }

  std::u16string Package(const std::string& name, const std::string& page) {
    const fs::path site = work / name;
    WriteFile(site / "index.html", page);
    const fs::path package = work / (name + ".pkg");
    const std::u16string keys = Utf8ToUtf16(VYO_SOURCE_DIR "/keys/dev");
    EXPECT_TRUE(RunTool(Exe(u"vyo-pack"), {u"pack", u"--keys", keys, site.u16string(), package.u16string()}));
    return u"vyopkg:" + package.u16string();
  }

  // Reads host messages and the views' textures until `done` holds.
  bool PumpUntil(const std::function<bool()>& done, uint32_t timeout_ms, bool marker = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      while (s->Next(0)) {
      }
      s->surface().Poll(marker);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }

  const sim::ViewCopy* View(uint32_t id) { return s->surface().View(id); }
};

#define START_OR_SKIP(tag)                                   \
  do {                                                       \
    if (!Start(tag)) {                                       \
      if (HasFailure()) return;                              \
      GTEST_SKIP() << "no browser on this machine";          \
    }                                                        \
  } while (0)

TEST_F(FramesFixture, PackagedPageAppearsWithExactPremultipliedPixels) {
  START_OR_SKIP("pixels");
  s->Send(host::ViewCreateCmd{1, 0, 0, 320, 240, true, Package("blocks", BlocksPage(false))});
  auto ready = s->WaitFor(host::kSharedTextureReady, kWait);
  ASSERT_TRUE(ready);
  const auto msg = host::DecodeSharedTextureReady(ready->payload);
  EXPECT_EQ(msg->width, 320u);
  EXPECT_EQ(msg->height, 240u);
  EXPECT_EQ(msg->format, 87u);

  const Bgra red{0, 0, 255, 255}, blue{255, 0, 0, 255}, clear{0, 0, 0, 0};
  // rgba(200,100,50,0.25) as the browser rasterises it: alpha 64, colour premultiplied (within two
  // of round(c·a/255), the browser rounding its own way).
  const auto near_quarter = [](const Bgra& p) {
    return p.a == 64 && std::abs(p.b - Pre(50, 64)) <= 2 && std::abs(p.g - Pre(100, 64)) <= 2 &&
           std::abs(p.r - Pre(200, 64)) <= 2;
  };
  ASSERT_TRUE(PumpUntil([&] { auto* v = View(1); return v && v->frames > 0 && PixelAt(*v, 50, 50) == red; }, kWait));
  const sim::ViewCopy& v = *View(1);
  EXPECT_EQ(PixelAt(v, 50, 50), red);
  EXPECT_TRUE(near_quarter(PixelAt(v, 150, 50))) << PixelAt(v, 150, 50);
  EXPECT_EQ(PixelAt(v, 50, 150), blue);
  EXPECT_EQ(PixelAt(v, 250, 200), clear);
  EXPECT_EQ(PixelAt(v, 319, 239), clear);
  s->surface().WriteViewPng(1, (work / "view1.png").string());
  EXPECT_TRUE(fs::file_size(work / "view1.png") > 100);
}

// A page that paints the wall clock (ms modulo 2^24) into its top-left 4 x 4 pixels every frame.
std::string ClockPage() {
  return "<!doctype html><html><body style='margin:0;background:#202020'><canvas id=c width=8 height=8 style='display:block'></canvas>"
         "<script>const g=document.getElementById('c').getContext('2d');"
         "function f(){const t=Date.now()%16777216;g.fillStyle='rgb('+(t>>16)+','+((t>>8)&255)+','+(t&255)+')';"
         "g.fillRect(0,0,8,8);requestAnimationFrame(f);}f();</script></body></html>";
}

bool TextureGone(uint64_t handle, uint32_t width, uint32_t height) {
  return platform::SharedMemory::OpenExisting(host::TextureObjectName(handle), host::TextureObjectSize(width, height),
                                              platform::MapAccess::kRead) == nullptr;
}

TEST_F(FramesFixture, AnimatedElementChangesOnlyInsideItsDirtyBlock) {
  START_OR_SKIP("dirty");
  s->Send(host::ViewCreateCmd{1, 0, 0, 320, 240, true, Package("anim", BlocksPage(true))});
  // The page's first paint reaches the copy with a full update (at least one a second).
  ASSERT_TRUE(PumpUntil([&] { auto* v = View(1);
                              return v && v->partial_updates >= 10 && PixelAt(*v, 50, 50) == Bgra{0, 0, 255, 255}; },
                        kWait));
  const sim::ViewCopy& v = *View(1);
  // Every partial update lies inside the reported block; the full ones come about once a second.
  EXPECT_GE(v.partial_left, 200);
  EXPECT_GE(v.partial_top, 100);
  EXPECT_LE(v.partial_right, 300);
  EXPECT_LE(v.partial_bottom, 120);
  EXPECT_GT(v.partial_updates, v.full_updates);
  // The copy is still the whole page: blocks outside untouched, the moving block green.
  EXPECT_EQ(PixelAt(v, 50, 50), (Bgra{0, 0, 255, 255}));
  int green = 0;
  for (uint32_t x = 200; x < 300; ++x) green += PixelAt(v, x, 110) == Bgra{0, 255, 0, 255};
  EXPECT_EQ(green, 20);
}

TEST_F(FramesFixture, ResizeAnnouncesANewTextureAndUnlinksTheOld) {
  START_OR_SKIP("resize");
  s->Send(host::ViewCreateCmd{1, 0, 0, 320, 240, true, Package("blocks", BlocksPage(false))});
  ASSERT_TRUE(PumpUntil([&] { auto* v = View(1); return v && PixelAt(*v, 50, 50) == Bgra{0, 0, 255, 255}; }, kWait));
  const uint64_t old_handle = View(1)->handle;
  s->Send(host::ViewSetRectCmd{1, 0, 0, 200, 150});
  ASSERT_TRUE(PumpUntil([&] { auto* v = View(1); return v && v->width == 200 && v->height == 150; }, kWait));
  EXPECT_NE(View(1)->handle, old_handle);
  EXPECT_TRUE(TextureGone(old_handle, 320, 240));
  // The page at its new size: the blocks again, and the corner still transparent.
  ASSERT_TRUE(PumpUntil([&] { return View(1)->frames > 0 && PixelAt(*View(1), 150, 50).a == 64; }, kWait));
  EXPECT_EQ(PixelAt(*View(1), 50, 50), (Bgra{0, 0, 255, 255}));
  EXPECT_EQ(PixelAt(*View(1), 50, 120), (Bgra{255, 0, 0, 255}));
  EXPECT_EQ(PixelAt(*View(1), 199, 149), (Bgra{0, 0, 0, 0}));
  EXPECT_TRUE(s->WaitForLog("view resized in place, view_id=1", kWait));
}

TEST_F(FramesFixture, TwoViewsAnimateAndAHiddenViewCapturesNothingUntilShown) {
  START_OR_SKIP("views");
  const std::u16string clock = Package("clock", ClockPage());
  s->Send(host::ViewCreateCmd{1, 0, 0, 160, 120, true, clock});
  s->Send(host::ViewCreateCmd{2, 200, 0, 160, 120, true, clock});
  s->Send(host::ViewCreateCmd{3, 0, 200, 160, 120, false, clock});
  // Both visible views keep animating (each is a window of its own, so neither is a hidden tab).
  ASSERT_TRUE(PumpUntil([&] { auto* a = View(1); auto* b = View(2);
                              return a && b && a->frames >= 20 && b->frames >= 20; }, kWait, true));
  ASSERT_NE(View(3), nullptr);
  EXPECT_LE(View(3)->frames, 1u);  // at most the clear before any content
  EXPECT_FALSE(s->WaitForLog("GraphicsCapture started from visual, view_id=3", 0));
  EXPECT_EQ(ReadClockMarker(View(3)->pixels, 160), -1);
  s->surface().WriteSurfacePng(400, 360, 0x336699, (work / "surface.png").string());
  EXPECT_GT(fs::file_size(work / "surface.png"), 100u);
  // Shown, it is captured.
  s->Send(host::ViewSetVisibleCmd{3, true});
  EXPECT_TRUE(PumpUntil([&] { return View(3)->frames >= 5; }, kWait, true));
}

// New views over a transparent page, one after another: every frame the overlay reads is
// transparent where the page is, from the very first one. A frame painted before the view's
// background was in force (the page over opaque white) is never published.
TEST_F(FramesFixture, NoFrameOfANewViewShowsAnOpaqueBackground) {
  START_OR_SKIP("first_frames");
  const std::u16string url = Package("blocks", BlocksPage(false));
  const Bgra red{0, 0, 255, 255}, clear{0, 0, 0, 0};
  int opaque = 0;
  std::string first_bad;
  for (uint32_t id = 1; id <= 20; ++id) {
    s->Send(host::ViewCreateCmd{id, 0, 0, 320, 240, true, url});
    uint32_t checked = 0;
    ASSERT_TRUE(PumpUntil([&] {
      const sim::ViewCopy* v = View(id);
      if (v == nullptr || v->frames == checked) return false;
      checked = v->frames;
      const Bgra corner = PixelAt(*v, 319, 239);
      if (!(corner == clear)) {
        ++opaque;
        if (first_bad.empty()) first_bad = "view " + std::to_string(id) + " frame " + std::to_string(checked);
      }
      return PixelAt(*v, 50, 50) == red;
    }, kWait)) << "view " << id;
    s->Send(host::ViewDestroyCmd{id});
  }
  EXPECT_EQ(opaque, 0) << "first opaque frame: " << first_bad;
}

TEST_F(FramesFixture, DestroyedViewReleasesItsTextureAndDirtyMap) {
  START_OR_SKIP("destroy");
  s->Send(host::ViewCreateCmd{1, 0, 0, 320, 240, true, Package("blocks", BlocksPage(false))});
  ASSERT_TRUE(PumpUntil([&] { auto* v = View(1); return v && v->frames > 0; }, kWait));
  const uint64_t handle = View(1)->handle;
  const std::u16string dirty = host::DirtyMapName(s->pipe_name(), 1);
  ASSERT_NE(platform::SharedMemory::OpenExisting(dirty, host::kDirtyMapSize, platform::MapAccess::kRead), nullptr);
  s->Send(host::ViewDestroyCmd{1});
  EXPECT_TRUE(PumpUntil([&] {
    return TextureGone(handle, 320, 240) &&
           platform::SharedMemory::OpenExisting(dirty, host::kDirtyMapSize, platform::MapAccess::kRead) == nullptr;
  }, kWait));
}

TEST_F(FramesFixture, OverlayThatStopsReadingCatchesUpWithTheNewestFrame) {
  START_OR_SKIP("stall");
  s->Send(host::ViewCreateCmd{1, 0, 0, 160, 120, true, Package("clock", ClockPage())});
  ASSERT_TRUE(PumpUntil([&] { auto* v = View(1); return v && v->latencies_ms.size() >= 10; }, kWait, true));
  // The overlay holds key 1 for two seconds, as an overlay that stopped reading would.
  const sim::ViewCopy* v = View(1);
  // The surface is not read meanwhile: the key is taken as soon as the host publishes (a reader
  // taking and returning it in between would leave only an instant to take it in).
  bool held = false;
  const auto hold_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
  while (!held && std::chrono::steady_clock::now() < hold_deadline) {
    while (s->Next(0)) {
    }
    held = host::AcquireKey(v->texture->data(), host::kOverlayKey);
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(held);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  while (s->Next(0)) {
  }
  host::ReleaseKey(v->texture->data(), host::kHostKey);
  const size_t before = v->latencies_ms.size();
  ASSERT_TRUE(PumpUntil([&] { return View(1)->latencies_ms.size() > before; }, 5000, true)) << [&] {
    std::string logs;
    for (const auto& m : s->received()) if (m.type == host::kHostLog) logs += m.text() + "\n";
    return logs + " busy=" + std::to_string(View(1)->busy) + " frames=" + std::to_string(View(1)->frames);
  }();
  // The first frame read after the pause is fresh, not one from before it.
  EXPECT_LT(View(1)->latencies_ms[before], 1000);
  EXPECT_FALSE(s->WaitExit(0).has_value());  // the host kept running
}

TEST_F(FramesFixture, SilentScreencastFallsBackToScreenshotsWithTheSamePixels) {
  SetEnv("VYO_CAPTURE_SILENT_SCREENCAST", "1");
  const bool started = Start("fallback");
  SetEnv("VYO_CAPTURE_SILENT_SCREENCAST", nullptr);
  if (!started) {
    if (HasFailure()) return;
    GTEST_SKIP() << "no browser on this machine";
  }
  s->Send(host::ViewCreateCmd{1, 0, 0, 320, 240, true, Package("blocks", BlocksPage(false))});
  // A fresh view whose screencast says nothing: rebuilt after 8 s, replaced by screenshots 8 s later.
  ASSERT_TRUE(PumpUntil([&] { auto* v = View(1); return v && PixelAt(*v, 50, 50) == Bgra{0, 0, 255, 255}; }, 40000));
  EXPECT_TRUE(s->WaitForLog("Visual capture produced no frame, rebuild session, view_id=1", 0));
  EXPECT_TRUE(s->WaitForLog("Visual capture produced no frame, fall back to window capture, view_id=1", 0));
  EXPECT_TRUE(s->WaitForLog("GraphicsCapture started from window, view_id=1", 0));
  // Straight alpha from screenshots is premultiplied: the same texture as the screencast gives.
  const sim::ViewCopy& v = *View(1);
  EXPECT_EQ(PixelAt(v, 150, 50).a, 64);
  EXPECT_NEAR(PixelAt(v, 150, 50).r, Pre(200, 64), 2) << PixelAt(v, 150, 50);
  EXPECT_NEAR(PixelAt(v, 150, 50).g, Pre(100, 64), 2);
  EXPECT_NEAR(PixelAt(v, 150, 50).b, Pre(50, 64), 2);
  EXPECT_EQ(PixelAt(v, 50, 150), (Bgra{255, 0, 0, 255}));
  EXPECT_EQ(PixelAt(v, 250, 200), (Bgra{0, 0, 0, 0}));
}

}  // namespace
}  // namespace vyo
