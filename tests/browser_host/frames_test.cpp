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

namespace vyo {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kWait = 30000;

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
        "const msg='\\u0001vyo-dirty 200 100 100 20';"
        "if(window.chrome&&window.chrome.webview)window.chrome.webview.postMessage(msg);},30);</script>";
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

}  // namespace
}  // namespace vyo
