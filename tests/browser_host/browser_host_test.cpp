// The real host with the real browser, driven by the reference overlay: packaged and directory
// content served to real pages, failures reported, the private profile fallback, and no browser
// left behind. The host is the loopback-telemetry build, so the collector this test runs on
// 127.0.0.1:18765 sees what happened inside the host (mounts, navigations, view failures).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "browser_host/browser_processes.h"
#include "browser_host/browser_test_files.h"
#include "overlay_sim.h"
#include "platform/process.h"
#include "qos/test_http_server.h"

namespace vyo {
namespace {

namespace fs = std::filesystem;
using testing::Exe;
using testing::RunTool;
using testing::WriteFile;

constexpr uint32_t kWait = 30000;

std::u16string LoopbackHost() { return Exe(u"qos-loopback", u"FenyraOverlayHost"); }

// One telemetry event as the collector received it.
struct Event {
  int kind = 0;
  std::vector<long long> ints;  // the event's own integers
  std::vector<std::string> strs;  // the event's own strings
};

std::vector<Event> Events(testing::TestHttpServer& collector) {
  std::vector<Event> out;
  for (const auto& r : collector.requests()) {
    const std::string& b = r.body;
    const size_t il = b.find("\"IntList\":[");
    const size_t sl = b.find("\"StrList\":[");
    if (il == std::string::npos || sl == std::string::npos) continue;
    std::vector<long long> all;
    for (size_t p = il + 11; p < b.size() && b[p] != ']';) {
      size_t used = 0;
      all.push_back(std::stoll(b.substr(p), &used));
      p += used;
      if (b[p] == ',') ++p;
    }
    std::vector<std::string> strs;
    const size_t end = b.find("],\"IntNum\"", sl);
    std::string list = b.substr(sl + 11, end - sl - 11);
    for (size_t p = 0; p < list.size();) {
      const size_t close = list.find('"', p + 1);
      strs.push_back(list.substr(p + 1, close - p - 1));
      p = close + 2;
    }
    if (all.size() < 6 || strs.size() < 4) continue;
    Event e;
    e.kind = static_cast<int>(all[4]);
    e.ints.assign(all.begin() + 6, all.end());
    e.strs.assign(strs.begin() + 4, strs.end());
    out.push_back(e);
  }
  return out;
}

// Navigations of `view` that completed successfully.
int GoodNavigations(testing::TestHttpServer& collector, uint32_t view) {
  int n = 0;
  for (const auto& e : Events(collector)) n += e.kind == 41 && e.ints.size() >= 3 && e.ints[0] == 0 && e.ints[2] == view;
  return n;
}

bool WaitUntil(const std::function<bool()>& condition, uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// A small site: the page's script checks that its style sheet and image arrived and that a path
// leading out of the content is refused, then moves on to ok.html; only a page whose checks all
// pass reaches the second page.
void WriteSite(const fs::path& root) {
  WriteFile(root / "index.html",
            "<!doctype html><html><head><link rel=stylesheet href=\"style.css\"><script src=\"app.js\"></script>"
            "</head><body><img id=\"i\" src=\"img/dot.png\"></body></html>");
  WriteFile(root / "style.css", "body { color: rgb(1, 2, 3); }");
  WriteFile(root / "app.js",
            "window.addEventListener('load', async () => {\n"
            "  const styled = getComputedStyle(document.body).color === 'rgb(1, 2, 3)';\n"
            "  const image = document.getElementById('i').naturalWidth === 1;\n"
            "  const refused = (await fetch('/outside/secret.txt')).status === 403;\n"
            "  if (styled && image && refused) location.href = '/ok.html';\n"
            "});\n");
  WriteFile(root / "ok.html", "<!doctype html><html><body>ok</body></html>");
  static const unsigned char kPng[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
      0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00,
      0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0xfc, 0xcf, 0xc0, 0x50, 0x0f, 0x00, 0x04, 0x85, 0x01, 0x80,
      0x84, 0xa9, 0x8c, 0x21, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  WriteFile(root / "img" / "dot.png", std::string(reinterpret_cast<const char*>(kPng), sizeof(kPng)));
}

struct BrowserHostFixture : ::testing::Test {
  fs::path work;
  void SetUp() override {
    work = fs::temp_directory_path() / ("vyo_browser_host_" + std::to_string(platform::CurrentProcessId()));
    fs::remove_all(work);
    fs::create_directories(work);
  }
  void TearDown() override { fs::remove_all(work); }

  std::unique_ptr<sim::OverlaySim> Start(const char* tag) {
    auto s = sim::OverlaySim::Create(tag);
    if (!s || !s->StartHost(LoopbackHost(), s->HostArgs()) || !s->Connect(kWait)) return nullptr;
    return s;
  }
  std::optional<host::EnvironmentResultMsg> Environment(sim::OverlaySim& s) {
    auto m = s.WaitFor(host::kEnvironmentResult, kWait);
    if (!m) return std::nullopt;
    return host::DecodeEnvironmentResult(m->payload);
  }
};

TEST_F(BrowserHostFixture, PackagedAndDirectoryContentReachRealPages) {
  testing::TestHttpServer collector(18765, 200);
  ASSERT_TRUE(collector.ok());
  auto s = Start("browser");
  ASSERT_TRUE(s);
  const auto env = Environment(*s);
  ASSERT_TRUE(env);
  if (env->result == 1) GTEST_SKIP() << "no browser on this machine";
  EXPECT_EQ(env->result, 0u);
  EXPECT_FALSE(env->version.empty());

  // The site as a directory (with a link leading out of it) and as a signed, encrypted package.
  const fs::path site = work / "site";
  WriteSite(site);
  WriteFile(work / "private" / "secret.txt", "not for pages");
  fs::create_directory_symlink(work / "private", site / "outside");
  const fs::path package = work / "site.pkg";
  const std::u16string package_url = testing::PackSite(site, package);
  ASSERT_FALSE(package_url.empty());
  // A tampered copy: one byte of the encrypted data flipped.
  const fs::path tampered = work / "tampered.pkg";
  fs::copy_file(package, tampered);
  {
    std::fstream f(tampered, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(-5, std::ios::end);
    f.put('\x55');
  }

  s->Send(host::ViewCreateCmd{1, 0, 0, 400, 300, true, package_url});
  s->Send(host::ViewCreateCmd{2, 0, 0, 400, 300, true, u"vyodir:" + site.u16string()});
  // Each page proves its script ran by reaching ok.html: two good navigations per view.
  EXPECT_TRUE(WaitUntil([&] { return GoodNavigations(collector, 1) >= 2 && GoodNavigations(collector, 2) >= 2; }, kWait))
      << "package view " << GoodNavigations(collector, 1) << ", directory view " << GoodNavigations(collector, 2);

  s->Send(host::ViewCreateCmd{3, 0, 0, 200, 100, true, u"vyopkg:" + tampered.u16string()});
  const auto status = s->WaitFor(host::kViewStatus, kWait);
  ASSERT_TRUE(status);
  EXPECT_EQ(host::DecodeViewStatus(status->payload)->view_id, 3u);
  EXPECT_EQ(host::DecodeViewStatus(status->payload)->code, 2u);

  // A plain URL that cannot load fails as a navigation, without hanging.
  s->Send(host::ViewCreateCmd{4, 0, 0, 200, 100, true, u"https://nothing-here.invalid/"});
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& e : Events(collector))
      if (e.kind == 41 && e.ints.size() >= 3 && e.ints[2] == 4 && e.ints[0] != 0) return true;
    return false;
  }, kWait));

  s->Send(host::ViewDestroyCmd{1});
  s->CloseConnection();
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));

  const auto events = Events(collector);
  auto has = [&](int kind, long long first, uint32_t view, const std::string& text) {
    return std::any_of(events.begin(), events.end(), [&](const Event& e) {
      return e.kind == kind && e.ints.size() >= 3 && e.ints[0] == first && e.ints[2] == view &&
             (text.empty() || (!e.strs.empty() && e.strs[0] == text));
    });
  };
  EXPECT_TRUE(has(42, 0, 1, "package"));
  EXPECT_TRUE(has(42, 0, 2, "directory"));
  EXPECT_TRUE(has(42, 1, 3, "Mount failed"));
  // The browser went with the host.
  const std::string profile = Utf16ToUtf8(platform::ExecutableDirectory()) + "/qos-loopback/webview_user_data";
  EXPECT_TRUE(WaitUntil([&] { return testing::BrowsersUsing(profile) == 0; }, 5000));
}

TEST_F(BrowserHostFixture, SecondHostOnTheSameProfileFallsBackToAPrivateOne) {
  testing::TestHttpServer collector(18765, 200);
  const fs::path site = work / "site";
  WriteSite(site);
  auto first = Start("first");
  ASSERT_TRUE(first);
  const auto env = Environment(*first);
  ASSERT_TRUE(env);
  if (env->result == 1) GTEST_SKIP() << "no browser on this machine";
  first->Send(host::ViewCreateCmd{1, 0, 0, 300, 200, true, u"vyodir:" + site.u16string()});
  ASSERT_TRUE(WaitUntil([&] { return GoodNavigations(collector, 1) >= 2; }, kWait));

  auto second = Start("second");
  ASSERT_TRUE(second);
  second->Send(host::ViewCreateCmd{7, 0, 0, 300, 200, true, u"vyodir:" + site.u16string()});
  EXPECT_TRUE(second->WaitForLog("WebView2 user data dir: source=private fallback", kWait));
  EXPECT_TRUE(WaitUntil([&] { return GoodNavigations(collector, 7) >= 2; }, kWait));

  second->CloseConnection();
  first->CloseConnection();
  EXPECT_EQ(second->WaitExit(kWait), std::optional<uint32_t>(0u));
  EXPECT_EQ(first->WaitExit(kWait), std::optional<uint32_t>(0u));
}

TEST_F(BrowserHostFixture, MissingBrowserIsReportedAsAMissingRuntime) {
#if defined(_WIN32)
  _putenv_s("VYO_BROWSER", "C:\\no\\such\\browser.exe");
#else
  setenv("VYO_BROWSER", "/no/such/browser", 1);
#endif
  auto s = Start("nobrowser");
#if defined(_WIN32)
  _putenv_s("VYO_BROWSER", "");
#else
  unsetenv("VYO_BROWSER");
#endif
  ASSERT_TRUE(s);
  const auto env = Environment(*s);
  ASSERT_TRUE(env);
  EXPECT_EQ(env->result, 1u);
  EXPECT_EQ(static_cast<uint32_t>(env->hr), 0x80004005u);
  s->CloseConnection();
  EXPECT_EQ(s->WaitExit(kWait), std::optional<uint32_t>(0u));
}

}  // namespace
}  // namespace vyo
