// Hit masks in the real host with a real browser, read as an overlay reads them: a module's view
// asks for a mask (the test module turns hit testing on at threshold 128); an opaque block on a
// transparent page gives exactly its cells, moving it moves the mask and the copied block, the
// heartbeat comes every 100 ms, and turning hit testing off removes the mask.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "base/text.h"
#include "browser_host/module_session.h"
#include "platform/process.h"

namespace vyo {
namespace {

constexpr uint32_t kView = 0x40000000;

// A transparent page with an opaque block at (40, 40), 80 x 40 (cells 10..29 x 10..19 at cell 4);
// a message {"left": N} moves it.
const char kPage[] = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"><style>
html,body{margin:0;background:transparent;overflow:hidden}
#b{position:absolute;left:40px;top:40px;width:80px;height:40px;background:rgb(20,120,220)}
</style></head><body><div id="b"></div><script>
window.chrome.webview.addEventListener('message', (e) => {
  document.getElementById('b').style.left = e.data.left + 'px';
  requestAnimationFrame(() => requestAnimationFrame(() => window.chrome.webview.postMessage({moved: e.data.left})));
});
window.addEventListener('load', () => window.chrome.webview.postMessage({ready: true}));
</script></body></html>
)HTML";

struct HitMaskBrowserTest : testing::ModuleSession {
  void SetUp() override { Prepare("hit_mask", kPage, HIT_TEST_MODULE_PATH, "Mask"); }
  // The opaque cells of the view's mask, or nullopt while it has none.
  std::optional<std::set<std::pair<uint32_t, uint32_t>>> OpaqueCells() {
    host::HitMaskView mask;
    if (!s->surface().ReadHitMask(kView, &mask)) return std::nullopt;
    std::set<std::pair<uint32_t, uint32_t>> cells;
    for (uint32_t row = 0; row < mask.rows; ++row)
      for (uint32_t col = 0; col < mask.cols; ++col)
        if (mask.Opaque(col, row)) cells.emplace(col, row);
    return cells;
  }
  static std::set<std::pair<uint32_t, uint32_t>> Block(uint32_t col0, uint32_t row0, uint32_t cols, uint32_t rows) {
    std::set<std::pair<uint32_t, uint32_t>> cells;
    for (uint32_t r = row0; r < row0 + rows; ++r)
      for (uint32_t c = col0; c < col0 + cols; ++c) cells.emplace(c, r);
    return cells;
  }
};

TEST_F(HitMaskBrowserTest, AnOpaqueBlockOnATransparentPageGivesExactlyItsCells) {
  const std::optional<bool> browser = Start("hitmask");
  ASSERT_TRUE(browser.has_value());
  if (!*browser) GTEST_SKIP() << "no browser on this machine";

  // The module's view asked for a mask: the overlay hears of it.
  ASSERT_TRUE(PumpUntil([&] {
    for (const auto& m : s->received()) {
      if (m.type != host::kViewChanged) continue;
      const auto c = host::DecodeViewChanged(m.payload);
      if (c->view_id == kView && c->mask == host::kChangeHitTest && c->hit_test == 1 && c->alpha_threshold == 128)
        return true;
    }
    return false;
  }));
  ASSERT_TRUE(PumpUntil([&] { return HasOutput("{\"ready\":true}"); }));
  std::optional<std::set<std::pair<uint32_t, uint32_t>>> cells;
  EXPECT_TRUE(PumpUntil([&] { return (cells = OpaqueCells()) && *cells == Block(10, 10, 20, 10); }))
      << (cells ? cells->size() : 0) << " opaque cells";

  // Moved to x 160: the mask follows, and the copy that carried it covered both places.
  const sim::ViewCopy* view = s->surface().View(kView);
  ASSERT_NE(view, nullptr);
  const uint32_t partial_before = view->partial_updates;
  ASSERT_TRUE(s->Send(host::ModuleMessageCmd{1, "{\"left\":160}"}));
  EXPECT_TRUE(PumpUntil([&] { return (cells = OpaqueCells()) && *cells == Block(40, 10, 20, 10); }))
      << (cells ? cells->size() : 0) << " opaque cells";
  view = s->surface().View(kView);
  if (view->partial_updates > partial_before) {
    EXPECT_LE(view->partial_left, 40);
    EXPECT_GE(view->partial_right, 240);
    EXPECT_LE(view->partial_top, 40);
    EXPECT_GE(view->partial_bottom, 80);
  }
  // The texture shows the block at its new place (the mask was read straight from its block, the
  // texture through the overlay's copy: the copy may take one more poll to catch up).
  const auto opaque_at_new_place = [&] {
    const sim::ViewCopy* v = s->surface().View(kView);
    return v != nullptr && v->pixels[(60u * v->width + 200u) * 4 + 3] == 255;
  };
  EXPECT_TRUE(PumpUntil(opaque_at_new_place));

  // The heartbeat: every 100 ms or so, counting the one view with a mask.
  std::vector<host::HitMaskHeartbeatMsg> beats;
  const size_t seen = s->received().size();
  PumpUntil([] { return false; }, 1000);
  for (size_t i = seen; i < s->received().size(); ++i) {
    if (s->received()[i].type == host::kHitMaskHeartbeat) beats.push_back(*host::DecodeHitMaskHeartbeat(s->received()[i].payload));
  }
  ASSERT_GE(beats.size(), 5u);
  EXPECT_LE(beats.size(), 11u);
  for (size_t i = 1; i < beats.size(); ++i) EXPECT_GE(beats[i].tick - beats[i - 1].tick, 100u);
  EXPECT_EQ(beats.back().view_count, 1u);
  EXPECT_EQ(beats.back().period_ms, 100u);

  // Hit testing off: the mask is gone.
  ASSERT_TRUE(s->Send(host::ModuleMessageCmd{1, "off"}));
  EXPECT_TRUE(PumpUntil([&] { return !OpaqueCells().has_value(); }));
}

}  // namespace
}  // namespace vyo
