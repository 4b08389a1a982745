// Input through the real host into a real browser: records written into the input ring by the
// reference overlay reach the page as clicks, double clicks, wheel turns and typed text.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "fakes/input_records.h"
#include "overlay_sim.h"
#include "platform/process.h"
#include "protocol/wire.h"

namespace vyo {
namespace {

namespace fs = std::filesystem;
using testing::MakeRecord;

constexpr uint32_t kWait = 30000;

const char kPage[] = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"></head><body style="margin:0">
<button id="b" style="position:absolute;left:20px;top:20px;width:100px;height:40px">press</button>
<input id="t" style="position:absolute;left:20px;top:100px;width:200px;height:24px">
<div id="h" style="position:absolute;left:250px;top:20px;width:60px;height:40px;cursor:pointer"></div>
<div id="s" style="position:absolute;left:20px;top:150px;width:200px;height:60px;overflow:auto">
  <div style="height:2000px">tall</div></div>
<script>
const post = (m) => window.chrome.webview.postMessage(m);
let clicks = 0;
document.getElementById('b').addEventListener('click', () => post({click: ++clicks}));
document.getElementById('b').addEventListener('dblclick', () => post({dblclick: true}));
document.getElementById('t').addEventListener('input', (e) => post({text: e.target.value}));
document.getElementById('s').addEventListener('scroll', (e) => post({scrolled: e.target.scrollTop > 0}));
window.addEventListener('load', () => post({ready: true}));
</script></body></html>
)HTML";

struct InputBrowserTest : ::testing::Test {
  fs::path work;
  std::unique_ptr<sim::OverlaySim> s;

  void SetUp() override {
    work = fs::temp_directory_path() / ("vyo_input_" + std::to_string(platform::CurrentProcessId()));
    fs::remove_all(work);
    fs::create_directories(work / "site");
    std::ofstream(work / "site" / "index.html", std::ios::binary) << kPage;
  }
  void TearDown() override {
    if (s) {
      s->CloseConnection();
      s->WaitExit(kWait);
    }
    fs::remove_all(work);
  }
  // Waits for page data `json` from `view`.
  bool WaitPage(const std::string& json, uint32_t view = 1) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& m : s->received()) {
        if (m.type != host::kPageMessage) continue;
        const auto page = host::DecodePageMessage(m.payload);
        if (page && page->view_id == view && page->json == json) return true;
      }
      s->Next(100);
    }
    return false;
  }
  // Starts the host; then nullopt when it did not start, else whether a browser exists.
  std::optional<bool> StartSession(const char* tag) {
    s = sim::OverlaySim::Create(tag);
    if (!s || !s->StartHost() || !s->Connect(kWait)) return std::nullopt;
    const auto env = s->WaitFor(host::kEnvironmentResult, kWait);
    if (!env) return std::nullopt;
    return host::DecodeEnvironmentResult(env->payload)->result != 1;
  }
  int Count(const std::string& json) {
    int n = 0;
    for (const auto& m : s->received()) {
      if (m.type != host::kPageMessage) continue;
      const auto page = host::DecodePageMessage(m.payload);
      if (page && page->json == json) ++n;
    }
    return n;
  }
  void Click(int32_t x, int32_t y, bool twice = false) {
    s->WriteInput(MakeRecord(1, 0x200, 0, x, y));
    s->WriteInput(MakeRecord(1, 0x201, 1, x, y));
    s->WriteInput(MakeRecord(1, 0x202, 0, x, y));
    if (twice) {
      s->WriteInput(MakeRecord(1, 0x203, 1, x, y));
      s->WriteInput(MakeRecord(1, 0x202, 0, x, y));
    }
  }
};

TEST_F(InputBrowserTest, ClicksWheelAndTextReachThePage) {
  const std::optional<bool> browser = StartSession("input");
  ASSERT_TRUE(browser.has_value());
  if (!*browser) GTEST_SKIP() << "no browser on this machine";
  s->Send(host::ViewCreateCmd{1, 0, 0, 400, 300, true, u"vyodir:" + (work / "site").u16string()});
  ASSERT_TRUE(WaitPage("{\"ready\":true}"));

  // A click runs the button's handler; a double click (the overlay's double-click record is the
  // second press) fires one dblclick.
  Click(60, 40);
  ASSERT_TRUE(WaitPage("{\"click\":1}"));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // a new series
  Click(60, 40, true);
  ASSERT_TRUE(WaitPage("{\"dblclick\":true}"));
  ASSERT_TRUE(WaitPage("{\"click\":3}"));
  EXPECT_EQ(Count("{\"dblclick\":true}"), 1);

  // Typing into the field: characters (one outside the basic plane, as two records) and text.
  Click(100, 110);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (char16_t c : std::u16string(u"ab")) s->WriteInput(MakeRecord(1, 0x102, c));
  s->WriteInput(MakeRecord(1, 0x102, 0xD83D));
  s->WriteInput(MakeRecord(1, 0x102, 0xDE00));
  s->WriteInput(MakeRecord(1, 0x10003, 0, 0, 0, 0, 0, u"!"));
  ASSERT_TRUE(WaitPage("{\"text\":\"ab\xF0\x9F\x98\x80!\"}"));
  // Backspace removes the last character.
  s->WriteInput(MakeRecord(1, 0x100, 0x08, 0, 0, 0x000E0001ull));
  s->WriteInput(MakeRecord(1, 0x101, 0x08, 0, 0, 0xC00E0001ull));
  ASSERT_TRUE(WaitPage("{\"text\":\"ab\xF0\x9F\x98\x80\"}"));

  // Ctrl+A selects the field's text; what is typed next replaces it.
  s->WriteInput(MakeRecord(1, 0x100, 0x11, 0, 0, 0x001D0001ull, 2));
  s->WriteInput(MakeRecord(1, 0x100, 'A', 0, 0, 0x001E0001ull, 2));
  s->WriteInput(MakeRecord(1, 0x101, 'A', 0, 0, 0xC01E0001ull, 2));
  s->WriteInput(MakeRecord(1, 0x101, 0x11, 0, 0, 0xC01D0001ull, 0));
  s->WriteInput(MakeRecord(1, 0x102, 'z'));
  ASSERT_TRUE(WaitPage("{\"text\":\"z\"}"));
  // AltGr (Ctrl+Alt) with Q types '@' on layouts that have it there: text, not a shortcut.
  s->WriteInput(MakeRecord(1, 0x100, 'Q', 0, 0, 0x00100001ull, 3));
  s->WriteInput(MakeRecord(1, 0x102, '@', 0, 0, 0x00100001ull, 3));
  s->WriteInput(MakeRecord(1, 0x101, 'Q', 0, 0, 0xC0100001ull, 3));
  ASSERT_TRUE(WaitPage("{\"text\":\"z@\"}"));
  // The overlay's IME commits a composition as one text record: the whole result is inserted.
  s->WriteInput(MakeRecord(1, 0x10003, 0, 0, 0, 0, 0, u"\u65E5\u672C\u8A9E"));
  ASSERT_TRUE(WaitPage("{\"text\":\"z@\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\"}"));

  // A wheel turn down over the scrolling box scrolls it.
  s->WriteInput(MakeRecord(1, 0x200, 0, 100, 180));
  s->WriteInput(MakeRecord(1, 0x20A, 0xFF880000ull, 100, 180));
  ASSERT_TRUE(WaitPage("{\"scrolled\":true}"));

  // Hovering an element with "cursor: pointer" gives the hand; leaving it for a blank spot the arrow.
  const auto cursor_reported = [&](uint32_t id) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& m : s->received()) {
        if (m.type == host::kCursorChanged && m.payload.size() >= 8 && host::LoadU32(m.payload.data() + 4) == id) {
          return true;
        }
      }
      s->Next(100);
    }
    return false;
  };
  s->WriteInput(MakeRecord(1, 0x200, 0, 270, 40));
  EXPECT_TRUE(cursor_reported(32649));
  s->WriteInput(MakeRecord(1, 0x200, 0, 350, 250));
  EXPECT_TRUE(cursor_reported(32512));
}

// Two views, each its own browser window: SetFocus moves the keyboard focus between them (the pages
// see focus and blur, and typed text goes to the focused one), and both keep animating whichever
// has the focus.
const char kFocusPage[] = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"></head><body style="margin:0">
<input id="t" style="position:absolute;left:0;top:0;width:200px;height:24px">
<script>
const post = (m) => window.chrome.webview.postMessage(m);
const t = document.getElementById('t');
t.addEventListener('input', () => post({text: t.value}));
window.chrome.webview.addEventListener('message', (e) => {
  if (e.data.step === 'field') { t.focus(); post({field: document.hasFocus()}); }
  if (e.data.step === 'active') post({active: document.activeElement ? document.activeElement.tagName : ''});
  if (e.data.step === 'frames') {
    let n = 0;
    const start = performance.now();
    const tick = () => { n++; if (performance.now() - start < 1000) requestAnimationFrame(tick); else post({frames: n > 20}); };
    requestAnimationFrame(tick);
  }
});
window.addEventListener('load', () => post({ready: true}));
</script></body></html>
)HTML";

TEST_F(InputBrowserTest, FocusMovesBetweenViewsThatBothKeepAnimating) {
  fs::create_directories(work / "focus");
  std::ofstream(work / "focus" / "index.html", std::ios::binary) << kFocusPage;
  const std::optional<bool> browser = StartSession("focus");
  ASSERT_TRUE(browser.has_value());
  if (!*browser) GTEST_SKIP() << "no browser on this machine";
  const std::u16string url = u"vyodir:" + (work / "focus").u16string();
  s->Send(host::ViewCreateCmd{1, 0, 0, 300, 200, true, url});
  s->Send(host::ViewCreateCmd{2, 0, 0, 300, 200, true, url});

  ASSERT_TRUE(WaitPage("{\"ready\":true}", 1));
  ASSERT_TRUE(WaitPage("{\"ready\":true}", 2));
  const auto focus_reported = [&](uint32_t view, uint32_t state) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& m : s->received()) {
        if (m.type == host::kInputFocusChanged && m.payload.size() == 8 && host::LoadU32(m.payload.data()) == view &&
            host::LoadU32(m.payload.data() + 4) == state) {
          return true;
        }
      }
      s->Next(100);
    }
    return false;
  };
  // View 1 gets the keyboard; its field takes the focus and the overlay hears that it needs keys.
  s->Send(host::ViewSetFocusCmd{1});
  s->Send(host::ViewPostMessageCmd{1, "{\"step\":\"field\"}"});
  ASSERT_TRUE(WaitPage("{\"field\":true}", 1));
  EXPECT_TRUE(focus_reported(1, 1));
  s->WriteInput(MakeRecord(1, 0x10003, 0, 0, 0, 0, 0, u"one"));
  ASSERT_TRUE(WaitPage("{\"text\":\"one\"}", 1));
  // View 2 gets it: both views animate at once whichever has the focus (windows of their own).
  s->Send(host::ViewSetFocusCmd{2});
  s->Send(host::ViewPostMessageCmd{1, "{\"step\":\"frames\"}"});
  s->Send(host::ViewPostMessageCmd{2, "{\"step\":\"frames\"}"});
  EXPECT_TRUE(WaitPage("{\"frames\":true}", 1));
  EXPECT_TRUE(WaitPage("{\"frames\":true}", 2));
  // ClearFocus blurs the page input everywhere and the overlay hears that no view needs keys.
  s->Send(host::FocusClearCmd{});
  EXPECT_TRUE(focus_reported(1, 0));
  s->Send(host::ViewPostMessageCmd{1, "{\"step\":\"active\"}"});
  EXPECT_TRUE(WaitPage("{\"active\":\"BODY\"}", 1));
}

}  // namespace
}  // namespace vyo
