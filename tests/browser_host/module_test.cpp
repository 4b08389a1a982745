// A plug-in module with a view of its own, in the real host with a real browser: the sample "echo
// page" module opens a packaged page, hears of its first frame and of the finished navigation, and
// carries an overlay message through the page and back.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "browser_host/browser_test_files.h"
#include "overlay_sim.h"
#include "platform/process.h"

namespace vyo {
namespace {

namespace fs = std::filesystem;
constexpr uint32_t kWait = 30000;
constexpr uint32_t kModuleView = 0x40000000;

const char kEchoPage[] = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"><style>html,body{margin:0;overflow:hidden}</style></head>
<body><div style="width:100px;height:100px;background:#204060"></div>
<script>
window.chrome.webview.addEventListener('message', (e) => window.chrome.webview.postMessage({echo: e.data}));
window.addEventListener('load', () => window.chrome.webview.postMessage({ready: true}));
</script></body></html>
)HTML";

struct ModuleBrowserTest : ::testing::Test {
  fs::path work;
  std::unique_ptr<sim::OverlaySim> s;

  void SetUp() override {
    work = fs::temp_directory_path() / ("vyo_module_browser_" + std::to_string(platform::CurrentProcessId()));
    fs::remove_all(work);
    testing::WriteFile(work / "site" / "index.html", kEchoPage);
    const std::u16string url = testing::PackSite(work / "site", work / "echo.pkg");
#if defined(_WIN32)
    // Packing derives raw key-agreement secrets, which Wine's cryptography does not offer; where
    // packing is impossible there is no browser either.
    if (url.empty()) GTEST_SKIP() << "content packages cannot be made here";
#endif
    ASSERT_FALSE(url.empty());
    testing::WriteFile(work / "modules.ini", "; the sample echo module on a packaged page\n[module]\npath=" +
                                                 std::string(ECHO_MODULE_PATH) + "\nconfig=url=" + Utf16ToUtf8(url) +
                                                 "\nname=Echo\n");
  }
  void TearDown() override {
    if (s) {
      s->CloseConnection();
      s->WaitExit(kWait);
    }
    fs::remove_all(work);
  }
  // The first message of `type`, among those already received or arriving within the wait.
  std::optional<sim::HostMessage> Received(uint32_t type) {
    for (const auto& m : s->received()) {
      if (m.type == type) return m;
    }
    return s->WaitFor(type, kWait);
  }
  // Waits for module output `text`.
  bool WaitOutput(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& m : s->received()) {
        if (m.type != host::kModuleOutput) continue;
        const auto out = host::DecodeModuleOutput(m.payload);
        if (out && out->module_id == 1 && out->text == text) return true;
      }
      s->Next(20);
      s->surface().Poll(false);  // as an overlay does: take each frame, hand the texture back
    }
    return false;
  }
};

TEST_F(ModuleBrowserTest, TheEchoModuleShowsItsPageAndCarriesMessagesBothWays) {
  s = sim::OverlaySim::Create("module");
  ASSERT_NE(s, nullptr);
  std::vector<std::u16string> args = s->HostArgs();
  args.push_back(u"--module-config");
  args.push_back((work / "modules.ini").u16string());
  ASSERT_TRUE(s->StartHost(sim::OverlaySim::DefaultHostPath(), args));
  ASSERT_TRUE(s->Connect(kWait));
  const auto hello = Received(host::kHostHello);
  ASSERT_TRUE(hello.has_value());
  EXPECT_EQ(host::DecodeHostHello(hello->payload)->module_count, 1u);
  const auto env = Received(host::kEnvironmentResult);
  ASSERT_TRUE(env.has_value());
  if (host::DecodeEnvironmentResult(env->payload)->result == 1) GTEST_SKIP() << "no browser on this machine";

  const auto status = Received(host::kModuleStatus);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(host::DecodeModuleStatus(status->payload)->status, 0u) << host::DecodeModuleStatus(status->payload)->text;
  const auto created = Received(host::kViewCreated);
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(host::DecodeViewCreated(created->payload)->view_id, kModuleView);
  EXPECT_EQ(host::DecodeViewCreated(created->payload)->owner_module, 1u);

  // The page loads (its message reaches the module, which passes it on), the navigation completes
  // and the view publishes its first frame: the module hears both events.
  ASSERT_TRUE(WaitOutput("{\"ready\":true}"));
  EXPECT_TRUE(WaitOutput("{\"event\":2,\"argument\":0}"));
  EXPECT_TRUE(WaitOutput("{\"event\":1,\"argument\":0}"));
  // What the overlay draws for the module's view is its page: the block in its colour, the rest
  // transparent.
  const auto pixel = [&](uint32_t x, uint32_t y) {
    const sim::ViewCopy* view = s->surface().View(kModuleView);
    if (view == nullptr || view->width != 640 || view->height != 360) return std::vector<uint8_t>{};
    const uint8_t* p = view->pixels.data() + (y * view->width + x) * 4;
    return std::vector<uint8_t>{p[0], p[1], p[2], p[3]};
  };
  const std::vector<uint8_t> block_colour{0x60, 0x40, 0x20, 255};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
  while (pixel(50, 50) != block_colour && std::chrono::steady_clock::now() < deadline) {
    s->Next(20);
    s->surface().Poll(false);
  }
  EXPECT_EQ(pixel(50, 50), block_colour);
  EXPECT_EQ(pixel(400, 200), (std::vector<uint8_t>{0, 0, 0, 0}));

  // An overlay message goes to the module, the module posts it to its page, the page answers, and
  // the answer comes back to the overlay.
  ASSERT_TRUE(s->Send(host::ModuleMessageCmd{1, "{\"ping\":42}"}));
  EXPECT_TRUE(WaitOutput("{\"echo\":{\"ping\":42}}"));
}

}  // namespace
}  // namespace vyo
