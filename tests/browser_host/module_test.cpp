// A plug-in module with a view of its own, in the real host with a real browser: the sample "echo
// page" module opens a packaged page, hears of its first frame and of the finished navigation, and
// carries an overlay message through the page and back.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "browser_host/module_session.h"
#include "platform/process.h"

namespace vyo {
namespace {

constexpr uint32_t kModuleView = 0x40000000;

const char kEchoPage[] = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"><style>html,body{margin:0;overflow:hidden}</style></head>
<body><div style="width:100px;height:100px;background:#204060"></div>
<script>
window.chrome.webview.addEventListener('message', (e) => window.chrome.webview.postMessage({echo: e.data}));
window.addEventListener('load', () => window.chrome.webview.postMessage({ready: true}));
</script></body></html>
)HTML";

struct ModuleBrowserTest : testing::ModuleSession {
  void SetUp() override { Prepare("module_browser", kEchoPage, ECHO_MODULE_PATH, "Echo"); }
};

TEST_F(ModuleBrowserTest, TheEchoModuleShowsItsPageAndCarriesMessagesBothWays) {
  const std::optional<bool> browser = Start("module");
  ASSERT_TRUE(browser.has_value());
  EXPECT_EQ(host::DecodeHostHello(Received(host::kHostHello)->payload)->module_count, 1u);
  if (!*browser) GTEST_SKIP() << "no browser on this machine";

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
  PumpUntil([&] { return pixel(50, 50) == block_colour; });
  EXPECT_EQ(pixel(50, 50), block_colour);
  EXPECT_EQ(pixel(400, 200), (std::vector<uint8_t>{0, 0, 0, 0}));

  // An overlay message goes to the module, the module posts it to its page, the page answers, and
  // the answer comes back to the overlay.
  ASSERT_TRUE(s->Send(host::ModuleMessageCmd{1, "{\"ping\":42}"}));
  EXPECT_TRUE(WaitOutput("{\"echo\":{\"ping\":42}}"));
}

}  // namespace
}  // namespace vyo
