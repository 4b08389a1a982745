// The page scripts in a real browser, through the real host and the reference overlay: focus,
// dirty and selection reports, the IME candidate panel, the drag guard, page data both ways, blocked
// windows and a crashed renderer. The test page mirrors every control message the scripts post as
// page data ({"ctl": the text without U+0001, "len": its length}), so the overlay sees exactly what
// the scripts sent as well as what the host made of it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "overlay_sim.h"
#include "platform/process.h"
#include "qos/test_http_server.h"

namespace vyo {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kWait = 30000;
constexpr uint32_t kStep = 10000;

std::u16string LoopbackHost() {
  std::u16string path = platform::ExecutableDirectory() + platform::PathSeparator() + u"qos-loopback" +
                        platform::PathSeparator() + u"FenyraOverlayHost";
#if defined(_WIN32)
  path += u".exe";
#endif
  return path;
}

// Whether the collector saw a successful navigation of `view` (event kind 41, first integer 0).
bool NavigationSucceeded(testing::TestHttpServer& collector, uint32_t view) {
  for (const auto& r : collector.requests()) {
    const std::string& b = r.body;
    const size_t il = b.find("\"IntList\":[");
    if (il == std::string::npos) continue;
    std::vector<long long> ints;
    for (size_t p = il + 11; p < b.size() && b[p] != ']';) {
      size_t used = 0;
      ints.push_back(std::stoll(b.substr(p), &used));
      p += used;
      if (b[p] == ',') ++p;
    }
    if (ints.size() >= 9 && ints[4] == 41 && ints[6] == 0 && ints[8] == view) return true;
  }
  return false;
}

const char kPage[] = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"></head><body>
<input id="field" type="text" value="hello" style="position:absolute;left:10px;top:10px;width:120px;height:20px">
<p id="para" style="position:absolute;left:10px;top:60px;width:300px">short</p>
<div id="drag" draggable="true" style="position:absolute;left:10px;top:120px">drag me</div>
<script>
const wv = window.chrome.webview;
const post = wv.postMessage.bind(wv);
// Mirror the scripts' control messages as page data.
wv.postMessage = (m) => {
  if (typeof m === 'string' && m.charCodeAt(0) === 1) post({ctl: m.slice(1, 60), len: m.length});
  post(m);
};
const field = document.getElementById('field');
const para = document.getElementById('para');
const later = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const panel = () => document.getElementById('__vyo_ime_panel');
const steps = {
  focus: async () => { field.focus(); await later(300); },
  blur: async () => { field.blur(); await later(300); },
  click: async () => {
    field.dispatchEvent(new MouseEvent('mousedown', {bubbles: true, composed: true}));
    field.focus();
    await later(400);
  },
  dirty: async () => {
    window.__vyoMarkDirtyRect(1.5, 2.5, 10.2, 0);
    window.__vyoMarkDirtyRect(1.5, 2.5, 10.2, 3.1);
    window.__vyoMarkDirtyFull();
  },
  select: async () => {
    field.blur();
    para.textContent = 'x'.repeat(10000);
    const range = document.createRange();
    range.selectNodeContents(para);
    getSelection().removeAllRanges();
    getSelection().addRange(range);
    await later(300);
  },
  clear: async () => {
    getSelection().removeAllRanges();
    await later(200);
    document.dispatchEvent(new MouseEvent('mouseup', {bubbles: true}));
    document.dispatchEvent(new KeyboardEvent('keyup', {bubbles: true}));
    await later(200);
  },
  imeFocus: async () => { field.focus(); await later(200); },
  ime: async () => {
    await later(100);
    const p = panel();
    if (!p) return {panel: 'missing'};
    const cands = Array.from(p.querySelectorAll('.__vyo_ime_cand'));
    return {panel: getComputedStyle(p).display, reading: p.querySelector('.__vyo_ime_reading').textContent,
            cands: cands.map((c) => c.textContent), selected: cands.map((c) => c.style.background),
            fixed: getComputedStyle(p).position, z: getComputedStyle(p).zIndex};
  },
  drag: async () => {
    const e = new DragEvent('dragstart', {bubbles: true, cancelable: true});
    document.getElementById('drag').dispatchEvent(e);
    return {prevented: e.defaultPrevented, guard: !!document.getElementById('__vyo_native_drag_guard')};
  },
  string: async () => { wv.postMessage('plain "string"'); },
  open: async () => { window.open('https://example.invalid/popup'); await later(300); },
};
wv.addEventListener('message', async (e) => {
  if (!e.data || typeof e.data !== 'object') return;
  if (e.data.type === 'vyo-ime-candidates') {
    const result = await steps.ime();
    post({done: 'ime-' + e.data.phase, result});
    return;
  }
  const step = steps[e.data.step];
  if (!step) return;
  const result = await step();
  post({done: e.data.step, echo: e.data.echo === undefined ? null : e.data.echo, result: result || null});
});
window.addEventListener('load', () => {
  post({ready: true, scale: !!document.getElementById('orl-vessa-adaptive-scale-style') &&
                             window.__orlVessaAdaptiveScaleInstalled === true && window.__orlVessaDesignW === 0});
});
</script></body></html>
)HTML";

struct PageScriptsTest : ::testing::Test {
  fs::path work;
  std::unique_ptr<sim::OverlaySim> s;
  size_t seen = 0;  // host messages already looked at by NextPage

  void SetUp() override {
    work = fs::temp_directory_path() / ("vyo_page_scripts_" + std::to_string(platform::CurrentProcessId()));
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

  // Page data of view 1, in the order it arrived.
  std::vector<std::string> Pages() {
    std::vector<std::string> out;
    for (const auto& m : s->received()) {
      if (m.type != host::kPageMessage) continue;
      const auto page = host::DecodePageMessage(m.payload);
      if (page && page->view_id == 1) out.push_back(page->json);
    }
    return out;
  }
  // Waits for page data containing `needle`; returns it.
  std::optional<std::string> WaitPage(const std::string& needle, uint32_t timeout_ms = kStep) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      for (const auto& p : Pages())
        if (p.find(needle) != std::string::npos) return p;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !s->Next(static_cast<uint32_t>(std::min<int64_t>(left.count(), 200))) ) {
        if (left.count() <= 0) return std::nullopt;
      }
    }
  }
  std::optional<std::string> Step(const std::string& step) {
    s->Send(host::ViewPostMessageCmd{1, "{\"step\":\"" + step + "\"}"});
    return WaitPage("{\"done\":\"" + step + "\"");
  }
  size_t Count(const std::string& json) {
    const auto pages = Pages();
    return static_cast<size_t>(std::count(pages.begin(), pages.end(), json));
  }
  std::vector<std::pair<uint32_t, uint32_t>> Pairs(uint32_t type) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& m : s->received()) {
      if (m.type != type || m.payload.size() < 8) continue;
      uint32_t a = 0, b = 0;
      std::memcpy(&a, m.payload.data(), 4);
      std::memcpy(&b, m.payload.data() + 4, 4);
      out.emplace_back(a, b);
    }
    return out;
  }
};

TEST_F(PageScriptsTest, ScriptsReportToTheHostAndTheOverlay) {
  testing::TestHttpServer collector(18765, 200);
  ASSERT_TRUE(collector.ok());
  s = sim::OverlaySim::Create("pagescripts");
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->StartHost(LoopbackHost(), s->HostArgs()));
  ASSERT_TRUE(s->Connect(kWait));
  const auto env_message = s->WaitFor(host::kEnvironmentResult, kWait);
  ASSERT_TRUE(env_message);
  if (host::DecodeEnvironmentResult(env_message->payload)->result == 1) GTEST_SKIP() << "no browser on this machine";

  s->Send(host::ViewCreateCmd{1, 0, 0, 400, 300, true, u"vyodir:" + (work / "site").u16string()});
  const auto ready = WaitPage("\"ready\"", kWait);
  ASSERT_TRUE(ready);
  EXPECT_EQ(*ready, "{\"ready\":true,\"scale\":true}");
  // Completing the navigation resets the view's focus and selection: start once it has.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
  while (!NavigationSucceeded(collector, 1) && std::chrono::steady_clock::now() < until) s->Next(100);
  ASSERT_TRUE(NavigationSucceeded(collector, 1));

  // A host message reaches the page as its parsed value.
  s->Send(host::ViewPostMessageCmd{1, "{\"step\":\"string\",\"echo\":{\"n\":[1,\"two\"]}}"});
  ASSERT_TRUE(WaitPage("{\"done\":\"string\",\"echo\":{\"n\":[1,\"two\"]}"));
  // A plain string reaches the overlay as a quoted JSON string.
  EXPECT_EQ(Count("\"plain \\\"string\\\"\""), 1u);

  // Focus: on once, off once.
  ASSERT_TRUE(Step("focus"));
  ASSERT_TRUE(Step("blur"));
  EXPECT_EQ(Count("{\"ctl\":\"vyo-input-focus 1\",\"len\":18}"), 1u);
  EXPECT_EQ(Count("{\"ctl\":\"vyo-input-focus 0\",\"len\":18}"), 1u);
  EXPECT_EQ(Pairs(host::kInputFocusChanged), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {1, 0}}));
  // A click on the field: the reassert, and no second focus-on report.
  ASSERT_TRUE(Step("click"));
  EXPECT_EQ(Count("{\"ctl\":\"vyo-input-reassert\",\"len\":19}"), 1u);
  EXPECT_EQ(Count("{\"ctl\":\"vyo-input-focus 1\",\"len\":18}"), 1u);
  EXPECT_EQ(Pairs(host::kInputFocusChanged), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {1, 0}, {1, 1}}));

  // Dirty reports: floored origin, ceiled size, nothing for an empty rectangle.
  ASSERT_TRUE(Step("dirty"));
  EXPECT_EQ(Count("{\"ctl\":\"vyo-dirty 1 2 11 4\",\"len\":19}"), 1u);
  EXPECT_EQ(Count("{\"ctl\":\"vyo-dirty-full\",\"len\":15}"), 1u);
  for (const auto& p : Pages()) EXPECT_EQ(p.find("vyo-dirty 1 2 11 0"), std::string::npos);

  // Selection: 10000 characters are reported as 8192; clearing reports "vyo-sel 0" once.
  ASSERT_TRUE(Step("select"));
  EXPECT_EQ(Count("{\"ctl\":\"vyo-sel 1 " + std::string(49, 'x') + "\",\"len\":" + std::to_string(1 + 10 + 8192) + "}"),
            1u);
  ASSERT_TRUE(Step("clear"));
  EXPECT_EQ(Count("{\"ctl\":\"vyo-sel 0\",\"len\":10}"), 1u);
  EXPECT_EQ(Pairs(host::kSelectionChanged), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {1, 0}}));

  // The candidate panel: drawn from the host's message under the focused field, hidden at "end".
  ASSERT_TRUE(Step("imeFocus"));
  s->Send(host::ViewPostMessageCmd{1, "{\"type\":\"vyo-ime-candidates\",\"visible\":true,\"reading\":\"ni\","
                                      "\"selected\":4,\"pageStart\":3,\"candidates\":[\"you\",\"me\",\"it\"],"
                                      "\"phase\":\"update\",\"dpiScale\":1}"});
  const auto shown = WaitPage("{\"done\":\"ime-update\"");
  ASSERT_TRUE(shown);
  EXPECT_EQ(*shown,
            "{\"done\":\"ime-update\",\"result\":{\"panel\":\"block\",\"reading\":\"ni\",\"cands\":[\"1.you\",\"2.me\","
            "\"3.it\"],\"selected\":[\"rgb(68, 68, 68)\",\"rgb(0, 120, 212)\",\"rgb(68, 68, 68)\"],\"fixed\":\"fixed\","
            "\"z\":\"2147483647\"}}");
  s->Send(host::ViewPostMessageCmd{1, "{\"type\":\"vyo-ime-candidates\",\"visible\":true,\"candidates\":[],"
                                      "\"phase\":\"end\"}"});
  const auto hidden = WaitPage("{\"done\":\"ime-end\"");
  ASSERT_TRUE(hidden);
  EXPECT_NE(hidden->find("\"panel\":\"none\""), std::string::npos) << *hidden;

  // Nothing can be dragged out of the view.
  const auto drag = Step("drag");
  ASSERT_TRUE(drag);
  EXPECT_NE(drag->find("\"result\":{\"prevented\":true,\"guard\":true}"), std::string::npos) << *drag;

  // window.open opens nothing.
  ASSERT_TRUE(Step("open"));
  EXPECT_TRUE(s->WaitForLog("NewWindowRequested blocked, view_id=1, uri=https://example.invalid/popup", kStep));

  // A crashed renderer (the browser is told to navigate to its crash page) fails the view.
  s->Send(host::ViewNavigateCmd{1, u"chrome://crash"});
  const auto status = s->WaitFor(host::kViewStatus, kStep);
  ASSERT_TRUE(status);
  EXPECT_EQ(host::DecodeViewStatus(status->payload)->view_id, 1u);
  EXPECT_EQ(host::DecodeViewStatus(status->payload)->code, 1u);
  EXPECT_TRUE(s->WaitForLog("WebView2 process failed, view_id=1, kind=1", kStep));
}

}  // namespace
}  // namespace vyo
