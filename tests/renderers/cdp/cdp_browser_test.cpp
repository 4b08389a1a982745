// The DevTools backend against a real browser: every test starts its own browser on a fresh user
// data folder and reaches no network (only .invalid hosts answered here, about:blank and data:).
// Where no browser is installed (Windows under Wine) the browser tests skip.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "renderers/cdp/cdp_runtime.h"

#ifdef __linux__
#include <signal.h>
#include <sys/stat.h>
#endif

namespace vyo::web::cdp {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The host's main-thread queue: a thread-safe list of posted tasks that the test runs while it
// waits.
class MainQueue {
 public:
  Poster poster() {
    return [this](std::function<void()> task) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
        ++posted_;
      }
      wake_.notify_all();
    };
  }
  // How many tasks were ever posted.
  size_t posted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posted_;
  }

  // Runs posted tasks until `done()` holds or `limit` has passed; whether `done()` held.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (done()) return true;
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) {
          lock.unlock();  // `done` may pump the queue itself
          return done();
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }
  void PumpFor(std::chrono::milliseconds time) {
    PumpUntil([] { return false; }, time);
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  size_t posted_ = 0;
};

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}
void UnsetEnv(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

fs::path FreshDirectory(const std::string& tag) {
  static int counter = 0;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path dir = fs::temp_directory_path() / ("vyo-cdp-" + tag + "-" + std::to_string(stamp) + "-" + std::to_string(++counter));
  fs::create_directories(dir);
  return dir;
}

// Records what a view raises and answers its resource requests.
class Sink final : public IWebViewEvents {
 public:
  std::function<std::optional<WebResourceResponse>(const std::string& url)> answer;
  std::vector<std::string> requests;  // URLs, in order
  std::vector<NavigationStartingArgs> starting;
  std::vector<NavigationCompletedArgs> completed;
  std::vector<uint64_t> dom_loaded;
  std::vector<int32_t> failures;
  std::vector<std::string> new_windows;
  bool handle_new_windows = false;

  std::vector<WebMessage> messages;

  void OnWebMessageReceived(const WebMessage& message) override { messages.push_back(message); }
  void OnProcessFailed(int32_t kind) override { failures.push_back(kind); }
  void OnNavigationStarting(const NavigationStartingArgs& args) override { starting.push_back(args); }
  void OnNavigationCompleted(const NavigationCompletedArgs& args) override { completed.push_back(args); }
  void OnDomContentLoaded(uint64_t id) override { dom_loaded.push_back(id); }
  void OnNewWindowRequested(NewWindowArgs& args) override {
    new_windows.push_back(Utf16ToUtf8(args.uri));
    args.handled = handle_new_windows;
  }
  void OnPermissionRequested(PermissionArgs&) override {}
  void OnCursorChanged() override {}
  void OnAcceleratorKeyPressed(AcceleratorArgs&) override {}
  std::optional<WebResourceResponse> OnWebResourceRequested(const WebResourceRequest& request) override {
    const std::string url = Utf16ToUtf8(request.uri);
    requests.push_back(url);
    return answer ? answer(url) : std::nullopt;
  }

  // The first recorded request whose URL contains `part`, or empty.
  std::string Request(const std::string& part) const {
    for (const auto& r : requests) {
      if (r.find(part) != std::string::npos) return r;
    }
    return {};
  }
};

WebResourceResponse Ok(const std::string& type, const std::string& body, const std::string& extra_headers = "") {
  WebResourceResponse r;
  r.status = 200;
  r.reason = "OK";
  r.headers = "Content-Type: " + type + "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" + extra_headers;
  r.body.assign(body.begin(), body.end());
  return r;
}

WebResourceResponse Forbidden() {
  WebResourceResponse r;
  r.status = 403;
  r.reason = "Forbidden";
  r.headers = "Content-Type: \r\nCache-Control: no-store\r\n";
  return r;
}

constexpr uint8_t kPng3x2[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x03, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0x12, 0x16, 0xf1, 0x4d, 0x00, 0x00, 0x00, 0x10, 0x49,
    0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0x00, 0x41, 0x0c, 0x70, 0x16, 0x00, 0x41, 0xd2, 0x05, 0xfb,
    0x87, 0xf0, 0xb9, 0x48, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// A small site: a page with its style sheet, script and image, a JSON resource with a custom
// header, a refused file, and a script that reports what it saw with a last request to /ran.
std::optional<WebResourceResponse> Site(const std::string& url) {
  const size_t slash = url.find('/', url.find("//") + 2);
  std::string path = slash == std::string::npos ? "/" : url.substr(slash);
  path = path.substr(0, path.find('?'));
  if (path == "/index.html") {
    return Ok("text/html; charset=utf-8",
              "<!doctype html><html><head><link rel=stylesheet href=style.css><script src=app.js></script></head>"
              "<body><img id=pic src=pic.png></body></html>");
  }
  if (path == "/style.css") return Ok("text/css; charset=utf-8", "body { background-color: rgb(1, 2, 3); }");
  if (path == "/app.js") {
    return Ok("application/javascript; charset=utf-8", R"JS(
      window.addEventListener('load', async () => {
        const data = await fetch('/data.json');
        const value = (await data.clone().json()).value;
        const missing = await fetch('/missing.txt');
        const q = new URLSearchParams({
          w: document.getElementById('pic').naturalWidth,
          color: getComputedStyle(document.body).backgroundColor,
          header: data.headers.get('x-vyo-test'),
          value,
          status: missing.status,
          ua: navigator.userAgent,
          dpr: devicePixelRatio,
          iw: innerWidth,
          early: String(window.__early),
        });
        fetch('/ran?' + q);
      });)JS");
  }
  if (path == "/msg.html") {
    // Posts from a same-origin frame first, then from the page itself; echoes what the host posts.
    return Ok("text/html; charset=utf-8", R"HTML(<!doctype html><html><body><script>
      const wv = window.chrome.webview;
      wv.addEventListener('message', (e) => wv.postMessage({echo: e.data, type: typeof e.data}));
      const frame = document.createElement('iframe');
      frame.srcdoc = '<script>window.chrome.webview.postMessage("from the frame")<\/script>';
      frame.onload = () => {
        wv.postMessage('plain "quoted" \u00e9');
        wv.postMessage({a: [1, 2], s: 'x'});
        wv.postMessage(7);
        let threw = false;
        try { wv.postMessage(undefined); } catch (e) { threw = true; }
        wv.postMessage('\u0001vyo-dirty-full');
        wv.postMessage({threw});
      };
      document.body.appendChild(frame);
    </script></body></html>)HTML");
  }
  if (path == "/cursor.html") {
    // A hand over the top-left block, the arrow elsewhere.
    return Ok("text/html; charset=utf-8",
              "<!doctype html><html><body style='margin:0'>"
              "<div style='cursor:pointer;width:100px;height:100px'></div></body></html>");
  }
  if (path == "/pic.png") {
    WebResourceResponse r = Ok("image/png", "");
    r.body.assign(kPng3x2, kPng3x2 + sizeof kPng3x2);
    return r;
  }
  if (path == "/data.json") return Ok("application/json; charset=utf-8", "{\"value\": 42}", "X-Vyo-Test: from-sink\r\n");
  if (path == "/ran" || path == "/exec" || path == "/early" || path == "/after") return Ok("text/plain", "");
  if (path.rfind("/confirm", 0) == 0) return Ok("text/plain", "");
  return Forbidden();
}

// Decoded query value `name` of `url`.
std::string Query(const std::string& url, const std::string& name) {
  const size_t q = url.find('?');
  if (q == std::string::npos) return {};
  std::string rest = url.substr(q + 1);
  size_t pos = 0;
  while (pos <= rest.size()) {
    const size_t amp = rest.find('&', pos);
    const std::string pair = rest.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name && eq != std::string::npos) {
      std::string out;
      const std::string raw = pair.substr(eq + 1);
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '+') {
          out.push_back(' ');
        } else if (raw[i] == '%' && i + 2 < raw.size()) {
          out.push_back(static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16)));
          i += 2;
        } else {
          out.push_back(raw[i]);
        }
      }
      return out;
    }
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return {};
}

class CdpBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = CreateRuntime(queue_.poster());
    if (runtime_->Load() != IWebRuntime::LoadResult::kLoaded) {
      GTEST_SKIP() << "no Chromium-family browser found (VYO_BROWSER or the usual install locations)";
    }
    dir_ = FreshDirectory("profile");
  }

  void TearDown() override {
    runtime_.reset();
    queue_.PumpFor(50ms);
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }

  struct EnvResult {
    bool arrived = false;
    HResult hr = kUnexpected;
    std::shared_ptr<IWebEnvironment> env;
  };
  EnvResult StartEnvironment(const fs::path& dir, IWebRuntime* runtime = nullptr) {
    auto result = std::make_shared<EnvResult>();
    const HResult hr = (runtime ? runtime : runtime_.get())
                           ->CreateEnvironment(Utf8ToUtf16(dir.string()), "--disk-cache-size=33554432",
                                               [result](HResult r, std::shared_ptr<IWebEnvironment> env) {
                                                 result->arrived = true;
                                                 result->hr = r;
                                                 result->env = std::move(env);
                                               });
    EXPECT_EQ(hr, kOk);
    if (Failed(hr)) return {};
    EXPECT_TRUE(queue_.PumpUntil([&] { return result->arrived; }, 25s)) << "environment never answered";
    return *result;
  }
  std::shared_ptr<IWebEnvironment> Environment() {
    EnvResult r = StartEnvironment(dir_);
    EXPECT_EQ(r.hr, kOk);
    return r.env;
  }

  struct ViewResult {
    bool arrived = false;
    HResult hr = kUnexpected;
    std::unique_ptr<IWebView> view;
  };
  ViewResult StartView(IWebEnvironment& env) {
    auto result = std::make_shared<ViewResult>();
    const HResult hr = env.CreateWebView(0, [result](HResult r, std::unique_ptr<IWebView> view) {
      result->arrived = true;
      result->hr = r;
      result->view = std::move(view);
    }, nullptr);
    EXPECT_EQ(hr, kOk);
    if (Failed(hr)) return {};
    EXPECT_TRUE(queue_.PumpUntil([&] { return result->arrived; })) << "view never answered";
    return std::move(*result);
  }
  std::unique_ptr<IWebView> View(IWebEnvironment& env) {
    ViewResult r = StartView(env);
    EXPECT_EQ(r.hr, kOk);
    return std::move(r.view);
  }

  // An environment with one view, and the process id of their browser (0 on failure).
  struct Started {
    std::shared_ptr<IWebEnvironment> env;
    std::unique_ptr<IWebView> view;
    uint32_t pid = 0;
  };
  Started StartBrowserWithView() {
    Started out;
    out.env = Environment();
    if (out.env) out.view = View(*out.env);
    if (out.view) {
      EXPECT_EQ(out.view->GetBrowserProcessId(&out.pid), kOk);
    }
    return out;
  }

  // A new environment with one view showing the test site's index page at `origin`, intercepted and
  // answered by `sink`, once its first navigation completed (a null view when a step failed).
  Started OpenSite(Sink& sink, const std::u16string& origin) {
    Started out = StartBrowserWithView();
    if (!out.view) return out;
    sink.answer = Site;
    OpenIntercepted(*out.view, sink, origin, u"/index.html");
    if (!queue_.PumpUntil([&] { return !sink.completed.empty(); })) {
      ADD_FAILURE() << "the site's first navigation did not complete";
      out.view.reset();
    }
    return out;
  }

  // Subscribes `view` to every event this runtime raises, with `sink`.
  static void Subscribe(IWebView& view, Sink& sink) {
    view.SetEventSink(&sink);
    for (WebEvent e : {WebEvent::kWebMessageReceived, WebEvent::kProcessFailed, WebEvent::kNavigationStarting,
                       WebEvent::kNavigationCompleted, WebEvent::kDomContentLoaded, WebEvent::kNewWindowRequested,
                       WebEvent::kWebResourceRequested}) {
      ASSERT_EQ(view.AddEventHandler(e), kOk);
    }
  }

  // Subscribes `view`, intercepts the view's origin ("https://vN.content.vyo.invalid") and opens
  // `path` on it.
  static void OpenIntercepted(IWebView& view, Sink& sink, const std::u16string& origin, const std::u16string& path) {
    Subscribe(view, sink);
    ASSERT_EQ(view.AddWebResourceRequestedFilter(origin + u"/*"), kOk);
    ASSERT_EQ(view.Navigate(origin + path), kOk);
  }

  std::vector<std::string> PageTargets(IWebEnvironment& env) {
    bool arrived = false;
    std::vector<std::string> ids;
    EXPECT_TRUE(ListPageTargets(env, [&](std::vector<std::string> list) {
      ids = std::move(list);
      arrived = true;
    }));
    EXPECT_TRUE(queue_.PumpUntil([&] { return arrived; }));
    return ids;
  }

  MainQueue queue_;  // first: outlives everything that posts to it
  std::unique_ptr<IWebRuntime> runtime_;
  fs::path dir_;
};

TEST_F(CdpBrowserTest, VersionOfTheInstalledBrowserIsTheEnvironmentsVersion) {
  const std::string installed = runtime_->GetAvailableBrowserVersion();
  EXPECT_FALSE(installed.empty());
  EXPECT_EQ(std::count(installed.begin(), installed.end(), '.'), 3) << installed;
  auto env = Environment();
  ASSERT_TRUE(env);
  EXPECT_EQ(env->BrowserVersion(), installed);
}

// The whole road of a mounted page: interception of the document and every subresource, the
// answers' statuses, headers and bodies, the page's script running, the navigation events with
// one id, the user agent and the zoom mapping.
TEST_F(CdpBrowserTest, InterceptedOriginServesPageScriptStyleAndImage) {
  auto env = Environment();
  ASSERT_TRUE(env);
  auto view = View(*env);
  ASSERT_TRUE(view);
  Sink sink;
  sink.answer = Site;
  Subscribe(*view, sink);

  std::u16string agent;
  ASSERT_EQ(view->GetUserAgent(&agent), kOk);
  EXPECT_NE(agent.find(u"Chrome/"), std::u16string::npos);
  EXPECT_EQ(view->SetUserAgent(agent + u" FenyraOverlay/1.1.0.41"), kOk);
  std::u16string changed;
  ASSERT_EQ(view->GetUserAgent(&changed), kOk);
  EXPECT_EQ(changed, agent + u" FenyraOverlay/1.1.0.41");
  EXPECT_EQ(view->SetRawPixelBounds(), kOk);
  EXPECT_EQ(view->SetRasterizationScale(1.0), kOk);
  EXPECT_EQ(view->SetBounds(800, 600), kOk);
  EXPECT_EQ(view->SetZoomFactor(2.0), kOk);
  EXPECT_EQ(view->SetDefaultBackgroundColor(0x00000000u), kOk);
  EXPECT_EQ(view->AddScriptToExecuteOnDocumentCreated(u"window.__early = 1; fetch('/early')"), kOk);
  ASSERT_EQ(view->AddWebResourceRequestedFilter(u"https://v5.content.vyo.invalid/*"), kOk);

  const std::string page = "https://v5.content.vyo.invalid/index.html";
  ASSERT_EQ(view->Navigate(Utf8ToUtf16(page)), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.Request("/ran?").empty(); })) << "the page's script never reported";
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.completed.empty(); }));

  const std::string ran = sink.Request("/ran?");
  EXPECT_EQ(Query(ran, "w"), "3") << "the image was not decoded";
  EXPECT_EQ(Query(ran, "color"), "rgb(1, 2, 3)") << "the style sheet was not applied";
  EXPECT_EQ(Query(ran, "header"), "from-sink") << "a response header was lost";
  EXPECT_EQ(Query(ran, "value"), "42");
  EXPECT_EQ(Query(ran, "status"), "403");
  EXPECT_EQ(Query(ran, "ua"), Utf16ToUtf8(agent) + " FenyraOverlay/1.1.0.41");
  EXPECT_EQ(Query(ran, "dpr"), "2");
  EXPECT_EQ(Query(ran, "iw"), "400");
  EXPECT_EQ(Query(ran, "early"), "1") << "the document-created script did not run";
  EXPECT_FALSE(sink.Request("/early").empty());
  for (const char* part : {"/index.html", "/style.css", "/app.js", "/pic.png", "/data.json", "/missing.txt"}) {
    EXPECT_FALSE(sink.Request(part).empty()) << part;
  }

  ASSERT_EQ(sink.starting.size(), 1u);
  EXPECT_EQ(Utf16ToUtf8(sink.starting[0].uri), page);
  ASSERT_EQ(sink.completed.size(), 1u);
  EXPECT_TRUE(sink.completed[0].success);
  EXPECT_EQ(sink.completed[0].navigation_id, sink.starting[0].navigation_id);
  ASSERT_EQ(sink.dom_loaded.size(), 1u);
  EXPECT_EQ(sink.dom_loaded[0], sink.starting[0].navigation_id);

  // A script run in the current document reaches the sink too.
  ASSERT_EQ(view->ExecuteScript(u"fetch('/exec?y=2')"), kOk);
  EXPECT_TRUE(queue_.PumpUntil([&] { return !sink.Request("/exec?y=2").empty(); }));

  // A second navigation gets a new id.
  ASSERT_EQ(view->Navigate(Utf8ToUtf16(page)), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return sink.completed.size() == 2; }));
  EXPECT_TRUE(sink.completed[1].success);
  EXPECT_NE(sink.completed[1].navigation_id, sink.completed[0].navigation_id);
}

// A filtered request the sink leaves alone goes on to the network, where an .invalid host cannot
// be resolved: the navigation ends as a failure instead of hanging. Without the filter, nothing
// reaches the sink.
TEST_F(CdpBrowserTest, UnansweredRequestGoesOnAndFailsWithoutHanging) {
  auto env = Environment();
  ASSERT_TRUE(env);
  auto view = View(*env);
  ASSERT_TRUE(view);
  Sink sink;  // answers nothing
  OpenIntercepted(*view, sink, u"https://v6.content.vyo.invalid", u"/index.html");
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.completed.empty(); }));
  EXPECT_FALSE(sink.completed[0].success);
  EXPECT_EQ(sink.completed[0].web_error_status, 13);  // host name not resolved
  EXPECT_EQ(sink.requests, std::vector<std::string>{"https://v6.content.vyo.invalid/index.html"});
  ASSERT_EQ(sink.starting.size(), 1u);
  EXPECT_EQ(sink.completed[0].navigation_id, sink.starting[0].navigation_id);
  EXPECT_TRUE(sink.dom_loaded.empty()) << "the error page is not the navigation's document";

  // Without a filter the sink sees nothing; the navigation still ends.
  ASSERT_EQ(view->RemoveWebResourceRequestedFilter(u"https://v6.content.vyo.invalid/*"), kOk);
  EXPECT_EQ(view->RemoveWebResourceRequestedFilter(u"https://v6.content.vyo.invalid/*"), kInvalidArg);
  ASSERT_EQ(view->Navigate(u"https://v6.content.vyo.invalid/other.html"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return sink.completed.size() == 2; }));
  EXPECT_FALSE(sink.completed[1].success);
  EXPECT_EQ(sink.requests.size(), 1u);
}

// Two views of one environment: separate targets, separate filters, and events only where
// subscribed.
TEST_F(CdpBrowserTest, TwoViewsInOneEnvironmentStaySeparate) {
  auto env = Environment();
  ASSERT_TRUE(env);
  auto a = View(*env);
  auto b = View(*env);
  ASSERT_TRUE(a && b);
  EXPECT_NE(TargetIdOf(*a), TargetIdOf(*b));
  uint32_t pid_a = 0, pid_b = 0;
  ASSERT_EQ(a->GetBrowserProcessId(&pid_a), kOk);
  ASSERT_EQ(b->GetBrowserProcessId(&pid_b), kOk);
  EXPECT_EQ(pid_a, pid_b);

  Sink sink_a, sink_b;
  sink_a.answer = Site;
  sink_b.answer = Site;
  Subscribe(*a, sink_a);
  b->SetEventSink(&sink_b);
  ASSERT_EQ(b->AddEventHandler(WebEvent::kWebResourceRequested), kOk);  // no navigation events
  ASSERT_EQ(a->AddWebResourceRequestedFilter(u"https://v1.content.vyo.invalid/*"), kOk);
  ASSERT_EQ(b->AddWebResourceRequestedFilter(u"https://v2.content.vyo.invalid/*"), kOk);
  ASSERT_EQ(a->Navigate(u"https://v1.content.vyo.invalid/index.html"), kOk);
  ASSERT_EQ(b->Navigate(u"https://v2.content.vyo.invalid/index.html"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink_a.Request("/ran?").empty() && !sink_b.Request("/ran?").empty(); }));
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink_a.completed.empty(); }));
  for (const auto& r : sink_a.requests) EXPECT_EQ(r.rfind("https://v1.", 0), 0u) << r;
  for (const auto& r : sink_b.requests) EXPECT_EQ(r.rfind("https://v2.", 0), 0u) << r;
  EXPECT_TRUE(sink_a.completed[0].success);
  EXPECT_TRUE(sink_b.starting.empty());
  EXPECT_TRUE(sink_b.completed.empty());
  EXPECT_TRUE(sink_b.dom_loaded.empty());

  // Unsubscribed from resources, b's requests go on unanswered (and fail to resolve).
  ASSERT_EQ(b->RemoveEventHandler(WebEvent::kWebResourceRequested), kOk);
  ASSERT_EQ(b->AddEventHandler(WebEvent::kNavigationCompleted), kOk);
  const size_t seen = sink_b.requests.size();
  ASSERT_EQ(b->Navigate(u"https://v2.content.vyo.invalid/index.html"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink_b.completed.empty(); }));
  EXPECT_FALSE(sink_b.completed[0].success);
  EXPECT_EQ(sink_b.requests.size(), seen);
}

TEST_F(CdpBrowserTest, ClosingAViewClosesItsTarget) {
  auto env = Environment();
  ASSERT_TRUE(env);
  auto keep = View(*env);
  auto view = View(*env);
  ASSERT_TRUE(keep && view);
  const std::string target = TargetIdOf(*view);
  auto targets = PageTargets(*env);
  EXPECT_NE(std::find(targets.begin(), targets.end(), target), targets.end());

  view->Close();
  EXPECT_EQ(view->Navigate(u"about:blank"), kUnexpected);
  EXPECT_EQ(view->SetBounds(10, 10), kUnexpected);
  ASSERT_TRUE(queue_.PumpUntil([&] {
    targets = PageTargets(*env);
    return std::find(targets.begin(), targets.end(), target) == targets.end();
  }, 5s)) << "the closed view's target is still open";
  EXPECT_NE(std::find(targets.begin(), targets.end(), TargetIdOf(*keep)), targets.end());

  // Dropping a view without Close closes its target as well.
  const std::string kept = TargetIdOf(*keep);
  keep.reset();
  EXPECT_TRUE(queue_.PumpUntil([&] {
    targets = PageTargets(*env);
    return std::find(targets.begin(), targets.end(), kept) == targets.end();
  }, 5s));
}

#ifdef __linux__
// Running processes (zombies left for init to reap do not count) whose group is `group`: the
// browser's helpers share its group.
std::vector<int> GroupMembers(int group) {
  std::vector<int> members;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string state;
    int ppid = 0, pgrp = 0;
    rest >> state >> ppid >> pgrp;
    if (pgrp == group && state != "Z" && state != "X") members.push_back(std::stoi(name));
  }
  return members;
}

TEST_F(CdpBrowserTest, DroppingTheEnvironmentEndsAndReapsTheBrowser) {
  auto [env, view, pid] = StartBrowserWithView();
  ASSERT_GT(pid, 0u);
  EXPECT_TRUE(fs::exists("/proc/" + std::to_string(pid)));
  EXPECT_GT(GroupMembers(static_cast<int>(pid)).size(), 1u) << "the browser runs without helpers?";

  // The view keeps the browser; the environment alone does not end it.
  env.reset();
  queue_.PumpFor(100ms);
  EXPECT_TRUE(fs::exists("/proc/" + std::to_string(pid)));
  view.reset();
  // Reaped (no zombie left: the /proc entry is gone) and no helper left in its group.
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));
  EXPECT_TRUE(GroupMembers(static_cast<int>(pid)).empty());
  queue_.PumpFor(100ms);  // late work for the dropped objects finds them gone
}

// The runtime ends its browser even while objects it made still hold it (the environment, a view
// the host kept, requests in their setup or waiting for their turn): once the runtime is gone, so
// are the browser and its helpers, every request still open is answered with a failure, and
// nothing more is posted to the host's queue.
TEST_F(CdpBrowserTest, EndingTheRuntimeEndsItsBrowserWhateverStillHoldsIt) {
  auto [env, view, pid] = StartBrowserWithView();
  ASSERT_GT(pid, 0u);
  int answered = 0, failed = 0;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(env->CreateWebView(0, [&](HResult hr, std::unique_ptr<IWebView> made) {
      ++answered;
      failed += Failed(hr) && !made;
    }, nullptr), kOk);
  }
  // Not pumped: none of them can have been answered yet.
  runtime_.reset();
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));
  EXPECT_TRUE(GroupMembers(static_cast<int>(pid)).empty());
  const size_t posted = queue_.posted();
  queue_.PumpFor(300ms);
  EXPECT_EQ(answered, 4);
  EXPECT_EQ(failed, 4);
  EXPECT_EQ(view->Navigate(u"about:blank"), kUnexpected);
  view.reset();
  env.reset();
  queue_.PumpFor(100ms);
  EXPECT_EQ(queue_.posted(), posted) << "posted after the runtime ended";
}

// Views asked for in a burst, each opened on an intercepted page and closed when the next one
// arrives, most of them in the middle of their navigation (what a host does with views an overlay
// destroys quickly): no page target (but the browser's first blank one) and no renderer stays
// behind. The browser acknowledges a close in mid-navigation that it then does not carry out.
TEST_F(CdpBrowserTest, ViewsClosedMidNavigationLeaveNoTargetOrRendererBehind) {
  auto [env, first, pid] = StartBrowserWithView();
  ASSERT_GT(pid, 0u);
  first.reset();
  queue_.PumpFor(1000ms);
  const size_t baseline = GroupMembers(static_cast<int>(pid)).size();
  constexpr int kBurst = 20;
  int answered = 0;
  size_t most = 0;
  Sink sink;
  sink.answer = Site;
  std::unique_ptr<IWebView> held;
  for (int i = 0; i < kBurst; ++i) {
    ASSERT_EQ(env->CreateWebView(0, [&, i](HResult, std::unique_ptr<IWebView> made) {
      ++answered;
      held.reset();
      if (made) {
        const std::u16string origin = u"https://v" + Utf8ToUtf16(std::to_string(i % 7)) + u".content.vyo.invalid";
        OpenIntercepted(*made, sink, origin, u"/index.html");
        held = std::move(made);
      }
      most = std::max(most, GroupMembers(static_cast<int>(pid)).size());
    }, nullptr), kOk);
  }
  ASSERT_TRUE(queue_.PumpUntil([&] { return answered == kBurst; }, 120s)) << answered;
  held.reset();
  size_t targets = 0, now = 0;
  EXPECT_TRUE(queue_.PumpUntil([&] { return (targets = PageTargets(*env).size()) <= 1; }, 10s)) << targets;
  EXPECT_TRUE(queue_.PumpUntil([&] { return (now = GroupMembers(static_cast<int>(pid)).size()) <= baseline; }, 10s));
  std::printf("burst of %d views: browser processes %zu before, at most %zu while they came and went, %zu after\n",
              kBurst, baseline, most, now);
}

// Requests whose views went away while they waited for their turn make nothing: they are answered
// with kAbort and no page target is made for them; a request still wanted behind them is served.
TEST_F(CdpBrowserTest, QueuedCreationsNoLongerWantedMakeNoView) {
  auto [env, first, pid] = StartBrowserWithView();
  ASSERT_GT(pid, 0u);
  first.reset();
  ASSERT_TRUE(queue_.PumpUntil([&] { return PageTargets(*env).size() <= 1; }, 10s));
  constexpr int kQueued = 30;
  int aborted = 0, made_views = 0, asked = 0;
  std::unique_ptr<IWebView> last;
  for (int i = 0; i <= kQueued; ++i) {
    const bool wanted = i == kQueued;
    ASSERT_EQ(env->CreateWebView(0, [&, wanted](HResult hr, std::unique_ptr<IWebView> made) {
      if (hr == kAbort && !made) ++aborted;
      if (made) {
        ++made_views;
        if (wanted) last = std::move(made);
      }
    }, [&asked, wanted] { ++asked; return wanted; }), kOk);
  }
  ASSERT_TRUE(queue_.PumpUntil([&] { return last != nullptr; }, 60s));
  EXPECT_EQ(aborted, kQueued);
  EXPECT_EQ(made_views, 1);
  EXPECT_EQ(asked, kQueued + 1);
  EXPECT_LE(PageTargets(*env).size(), 2u);  // the browser's first blank page and the one view
}

// A "browser" that exits at once, and one that never answers: the environment fails, in time, and
// the process is gone afterwards.
TEST_F(CdpBrowserTest, BrowserThatExitsOrNeverAnswersFailsTheEnvironment) {
  const fs::path scripts = FreshDirectory("fake");
  const fs::path exits = scripts / "exits.sh", silent = scripts / "silent.sh", pid_file = scripts / "pid";
  std::ofstream(exits) << "#!/bin/sh\nexit 3\n";
  std::ofstream(silent) << "#!/bin/sh\necho $$ > '" << pid_file.string() << "'\nexec sleep 30\n";
  fs::permissions(exits, fs::perms::owner_all);
  fs::permissions(silent, fs::perms::owner_all);

  SetEnv("VYO_BROWSER", exits.string());
  RuntimeOptions options;
  options.startup_timeout_ms = 1500;
  auto runtime = CreateRuntime(queue_.poster(), options);
  ASSERT_EQ(runtime->Load(), IWebRuntime::LoadResult::kLoaded);
  auto start = std::chrono::steady_clock::now();
  EnvResult r = StartEnvironment(dir_, runtime.get());
  EXPECT_TRUE(r.arrived);
  EXPECT_TRUE(Failed(r.hr));
  EXPECT_FALSE(r.env);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  SetEnv("VYO_BROWSER", silent.string());
  runtime = CreateRuntime(queue_.poster(), options);
  ASSERT_EQ(runtime->Load(), IWebRuntime::LoadResult::kLoaded);
  start = std::chrono::steady_clock::now();
  r = StartEnvironment(dir_, runtime.get());
  UnsetEnv("VYO_BROWSER");
  EXPECT_EQ(r.hr, static_cast<HResult>(0x800705B4u));  // timed out
  EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
  std::string pid;
  std::ifstream(pid_file) >> pid;
  ASSERT_FALSE(pid.empty());
  EXPECT_FALSE(fs::exists("/proc/" + pid)) << "the silent browser was left running";
  std::error_code ignored;
  fs::remove_all(scripts, ignored);
}
#endif

// While one browser holds a user data folder, a second environment on it comes up without a
// browser and refuses views with kInvalidState (the host's cue for its private folder). Once the
// holder is gone the folder is free again.
TEST_F(CdpBrowserTest, FolderHeldByAnotherBrowserRefusesViewsWithInvalidState) {
  auto first = Environment();
  ASSERT_TRUE(first);
  EnvResult second = StartEnvironment(dir_);
  ASSERT_EQ(second.hr, kOk);
  ASSERT_TRUE(second.env);
  EXPECT_EQ(second.env->BrowserVersion(), first->BrowserVersion());
  ViewResult refused = StartView(*second.env);
  EXPECT_EQ(refused.hr, kInvalidState);
  EXPECT_FALSE(refused.view);
  auto fine = View(*first);  // the holder is unaffected
  EXPECT_TRUE(fine);

  fine.reset();
  first.reset();
  second.env.reset();
  EnvResult third = StartEnvironment(dir_);
  ASSERT_EQ(third.hr, kOk);
  ASSERT_TRUE(third.env);
  EXPECT_TRUE(View(*third.env)) << "a folder whose browser has ended must be usable again";
}

TEST_F(CdpBrowserTest, RendererCrashIsAProcessFailure) {
  auto env = Environment();
  ASSERT_TRUE(env);
  auto view = View(*env);
  ASSERT_TRUE(view);
  Sink sink;
  Subscribe(*view, sink);
  ASSERT_EQ(view->Navigate(u"data:text/html,<p>crash me</p>"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.completed.empty(); }));
  EXPECT_TRUE(sink.completed[0].success);
  ASSERT_EQ(CallDevToolsProtocolMethod(*view, "Page.crash", "{}"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.failures.empty(); }));
  EXPECT_EQ(sink.failures[0], 1);  // render process exited
  EXPECT_EQ(CallDevToolsProtocolMethod(*view, "Page.navigate", "not json"), kInvalidArg);
}

// window.open reaches the sink with its URL; a handled request closes the opened target, an
// unhandled one leaves it open.
TEST_F(CdpBrowserTest, NewWindowsReachTheSinkAndHandledOnesAreClosed) {
  Sink sink;
  Started site = OpenSite(sink, u"https://v5.content.vyo.invalid");
  ASSERT_TRUE(site.view);
  std::shared_ptr<IWebEnvironment>& env = site.env;
  std::unique_ptr<IWebView>& view = site.view;
  const size_t before = PageTargets(*env).size();

  const auto open = [&](const std::string& url) {
    return CallDevToolsProtocolMethod(*view, 
        "Runtime.evaluate", "{\"expression\":\"window.open('" + url + "')\",\"userGesture\":true}");
  };
  sink.handle_new_windows = true;
  ASSERT_EQ(open("https://v5.content.vyo.invalid/popup-a.html"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return sink.new_windows.size() == 1; }));
  EXPECT_EQ(sink.new_windows[0], "https://v5.content.vyo.invalid/popup-a.html");
  queue_.PumpFor(500ms);
  EXPECT_EQ(PageTargets(*env).size(), before) << "a handled window stayed open";

  sink.handle_new_windows = false;
  ASSERT_EQ(open("https://v5.content.vyo.invalid/popup-b.html"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return sink.new_windows.size() == 2; }));
  EXPECT_EQ(sink.new_windows[1], "https://v5.content.vyo.invalid/popup-b.html");
  EXPECT_TRUE(queue_.PumpUntil([&] { return PageTargets(*env).size() == before + 1; }, 3s));
}

// A window opened by a window the host does not show as a view has nobody to claim it: it is
// closed, while the window the view's page opened (left open by its handler) stays.
TEST_F(CdpBrowserTest, WindowsOpenedByWindowsThatAreNotViewsAreClosed) {
  Sink sink;
  Started site = OpenSite(sink, u"https://v5.content.vyo.invalid");
  ASSERT_TRUE(site.view);
  std::shared_ptr<IWebEnvironment>& env = site.env;
  std::unique_ptr<IWebView>& view = site.view;
  const size_t before = PageTargets(*env).size();

  sink.handle_new_windows = false;  // the first window stays open
  ASSERT_EQ(CallDevToolsProtocolMethod(*view, 
                "Runtime.evaluate",
                "{\"expression\":\"const w = window.open('about:blank'); w.open('about:blank'); w.open('about:blank');\","
                "\"userGesture\":true}"),
            kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return sink.new_windows.size() == 1; }));
  queue_.PumpFor(1500ms);
  EXPECT_EQ(sink.new_windows.size(), 1u) << "a window's windows reached the view's handler";
  EXPECT_TRUE(queue_.PumpUntil([&] { return PageTargets(*env).size() == before + 1; }, 5s))
      << PageTargets(*env).size() - before << " windows left open";
}

// A page busy in a loop answers no cursor lookup. The pointer moves made meanwhile hold one lookup
// in flight, not one each, and the cursor follows the last position once the page answers again.
TEST_F(CdpBrowserTest, CursorLookupsStayOneInFlightWhileThePageIsBusy) {
  auto env = Environment();
  ASSERT_TRUE(env);
  auto view = View(*env);
  ASSERT_TRUE(view);
  ASSERT_EQ(view->AddEventHandler(WebEvent::kCursorChanged), kOk);
  Sink sink;
  sink.answer = Site;
  OpenIntercepted(*view, sink, u"https://v7.content.vyo.invalid", u"/cursor.html");
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.completed.empty(); }));
  queue_.PumpFor(200ms);
  const size_t idle = PendingReplies(*env);

  ASSERT_EQ(view->ExecuteScript(u"setTimeout(() => { const end = Date.now() + 2500; while (Date.now() < end) {} }, 0)"),
            kOk);
  queue_.PumpFor(300ms);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(view->SendMouseInput(0x200, 0, 0, 300, 150 + i % 50), kOk);
  ASSERT_EQ(view->SendMouseInput(0x200, 0, 0, 20, 20), kOk);  // last over the hand block
  queue_.PumpFor(300ms);
  EXPECT_LE(PendingReplies(*env), idle + 1) << "a lookup per move while the page is busy";

  uint32_t cursor = 0;
  EXPECT_TRUE(queue_.PumpUntil([&] { return Succeeded(view->GetSystemCursorId(&cursor)) && cursor == 32649u; }, 10s))
      << "cursor " << cursor;
}

// With script dialogs off, alert and confirm return at once (confirm answers false) and the page
// goes on; the settings without browser UI are accepted off and refused on.
TEST_F(CdpBrowserTest, DialogsAreDismissedAndUiSettingsFollowHeadlessMode) {
  auto env = Environment();
  ASSERT_TRUE(env);
  auto view = View(*env);
  ASSERT_TRUE(view);
  EXPECT_EQ(view->SetDefaultScriptDialogsEnabled(false), kOk);
  EXPECT_EQ(view->SetDefaultScriptDialogsEnabled(true), kNotImplemented);
  EXPECT_EQ(view->SetDevToolsEnabled(false), kOk);
  EXPECT_EQ(view->SetDefaultContextMenusEnabled(false), kOk);
  EXPECT_EQ(view->SetBrowserAcceleratorKeysEnabled(false), kOk);
  EXPECT_EQ(view->SetAllowExternalDrop(false), kOk);
  EXPECT_EQ(view->SetDevToolsEnabled(true), kNotImplemented);
  // Nothing in a headless browser raises these.
  EXPECT_EQ(view->AddEventHandler(WebEvent::kPermissionRequested), kNotImplemented);
  EXPECT_EQ(view->AddEventHandler(WebEvent::kAcceleratorKeyPressed), kNotImplemented);
  // The cursor is derived from the element under the pointer.
  EXPECT_EQ(view->AddEventHandler(WebEvent::kCursorChanged), kOk);
  EXPECT_EQ(view->SetZoomFactor(0.0), kInvalidArg);
  EXPECT_EQ(view->SetBounds(-1, 5), kInvalidArg);

  Sink sink;
  sink.answer = Site;
  OpenIntercepted(*view, sink, u"https://v5.content.vyo.invalid", u"/index.html");
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.completed.empty(); }));
  ASSERT_EQ(view->ExecuteScript(u"alert('x'); const c = confirm('y'); fetch('/confirm?c=' + c);"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.Request("/confirm?").empty(); }, 10s)) << "a dialog blocked the page";
  EXPECT_EQ(Query(sink.Request("/confirm?"), "c"), "false");
}

// Keys, text and focus emulation through the port's typed operations: the page has the focus once
// emulation is confirmed, sees each key with its DOM names and gets the typed and inserted text; a
// closed view refuses them all, and a refused focus request never completes.
TEST_F(CdpBrowserTest, TypedKeysTextAndFocusEmulationReachThePage) {
  Sink sink;
  Started site = OpenSite(sink, u"https://v8.content.vyo.invalid");
  ASSERT_TRUE(site.view);
  std::unique_ptr<IWebView>& view = site.view;
  EXPECT_EQ(view->EnableNetworkEvents(), kOk);
  EXPECT_EQ(view->SetHttpCacheDisabled(true), kOk);

  std::vector<HResult> focus;
  ASSERT_EQ(view->SetFocusEmulationEnabled(true, [&](HResult hr) { focus.push_back(hr); }), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !focus.empty(); }));
  EXPECT_EQ(focus, std::vector<HResult>{kOk});
  ASSERT_EQ(view->ExecuteScript(
                u"const f = document.createElement('input'); document.body.appendChild(f); f.focus();"
                u" f.addEventListener('keydown', (e) => fetch('/key?k=' + encodeURIComponent(e.key) + '&c=' + e.code +"
                u" '&l=' + e.location + '&r=' + e.repeat + '&m=' + e.shiftKey + '&f=' + document.hasFocus()));"
                u" window.report = () => fetch('/value?v=' + encodeURIComponent(f.value)); fetch('/ready?');"),
            kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.Request("/ready?").empty(); }));

  KeyEvent down;
  down.type = KeyEvent::Type::kRawKeyDown;
  down.modifiers = 8;  // Shift
  down.windows_virtual_key_code = down.native_virtual_key_code = 65;
  down.key = "A";
  down.code = "KeyA";
  ASSERT_EQ(view->DispatchKeyEvent(down), kOk);
  KeyEvent typed;
  typed.type = KeyEvent::Type::kChar;
  typed.text = "A";
  ASSERT_EQ(view->DispatchKeyEvent(typed), kOk);
  KeyEvent keypad = down;
  keypad.modifiers = 0;
  keypad.windows_virtual_key_code = keypad.native_virtual_key_code = 100;
  keypad.key = "4";
  keypad.code = "Numpad4";
  keypad.location = 3;
  keypad.is_keypad = true;
  keypad.auto_repeat = true;
  ASSERT_EQ(view->DispatchKeyEvent(keypad), kOk);
  ASSERT_EQ(view->InsertText("b\xC3\xA9"), kOk);
  ASSERT_EQ(view->ExecuteScript(u"report()"), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return !sink.Request("/value?").empty(); }));
  EXPECT_EQ(Query(sink.Request("/value?"), "v"), "Ab\xC3\xA9");
  const std::string first = sink.Request("/key?k=A&");
  EXPECT_EQ(Query(first, "c"), "KeyA") << first;
  EXPECT_EQ(Query(first, "l"), "0") << first;
  EXPECT_EQ(Query(first, "m"), "true") << first;
  EXPECT_EQ(Query(first, "f"), "true") << first;
  const std::string second = sink.Request("/key?k=4&");
  EXPECT_EQ(Query(second, "c"), "Numpad4") << second;
  EXPECT_EQ(Query(second, "l"), "3") << second;
  EXPECT_EQ(Query(second, "r"), "true") << second;

  ASSERT_EQ(view->SetFocusEmulationEnabled(false, [&](HResult hr) { focus.push_back(hr); }), kOk);
  ASSERT_TRUE(queue_.PumpUntil([&] { return focus.size() == 2; }));
  EXPECT_EQ(focus[1], kOk);

  view->Close();
  EXPECT_EQ(view->InsertText("x"), kUnexpected);
  EXPECT_EQ(view->DispatchKeyEvent(down), kUnexpected);
  EXPECT_EQ(view->EnableNetworkEvents(), kUnexpected);
  EXPECT_EQ(view->SetHttpCacheDisabled(true), kUnexpected);
  EXPECT_EQ(view->SetFocusEmulationEnabled(true, [&](HResult hr) { focus.push_back(hr); }), kUnexpected);
  queue_.PumpFor(200ms);
  EXPECT_EQ(focus.size(), 2u);
}

TEST_F(CdpBrowserTest, WebMessagesTellStringsFromJsonAndOnlyTheMainFrameCounts) {
  auto env = Environment();
  ASSERT_TRUE(env);
  auto view = View(*env);
  ASSERT_TRUE(view);
  Sink sink;
  sink.answer = Site;
  OpenIntercepted(*view, sink, u"https://v6.content.vyo.invalid", u"/msg.html");
  ASSERT_TRUE(queue_.PumpUntil([&] { return sink.messages.size() >= 5; }));
  ASSERT_EQ(sink.messages.size(), 5u);  // nothing from the frame
  const auto& m = sink.messages;
  ASSERT_TRUE(m[0].text);
  EXPECT_EQ(*m[0].text, "plain \"quoted\" \xc3\xa9");
  EXPECT_EQ(m[0].json, "\"plain \\\"quoted\\\" \xc3\xa9\"");
  EXPECT_FALSE(m[1].text);
  EXPECT_EQ(m[1].json, "{\"a\":[1,2],\"s\":\"x\"}");
  EXPECT_FALSE(m[2].text);
  EXPECT_EQ(m[2].json, "7");
  ASSERT_TRUE(m[3].text);
  EXPECT_EQ(*m[3].text, "\x01vyo-dirty-full");
  EXPECT_EQ(m[3].json, "\"\\u0001vyo-dirty-full\"");
  EXPECT_EQ(m[4].json, "{\"threw\":true}");  // a value with no JSON form is refused by postMessage
  EXPECT_EQ(Utf16ToUtf8(m[4].source), "https://v6.content.vyo.invalid");

  // Host to page: a "message" event whose data is the parsed value.
  EXPECT_EQ(view->PostWebMessageAsJson("{\"type\":\"t\",\"v\":\"\\u00e9\\u2028\",\"n\":[1.5,null]}"), kOk);
  EXPECT_EQ(view->PostWebMessageAsJson("\"just text\""), kOk);
  EXPECT_EQ(view->PostWebMessageAsJson("not json"), kInvalidArg);
  EXPECT_EQ(view->PostWebMessageAsJson("{} ); alert(1); ({"), kInvalidArg);
  ASSERT_TRUE(queue_.PumpUntil([&] { return sink.messages.size() >= 7; }));
  EXPECT_EQ(sink.messages[5].json, "{\"echo\":{\"type\":\"t\",\"v\":\"\xc3\xa9\xe2\x80\xa8\",\"n\":[1.5,null]},\"type\":\"object\"}");
  EXPECT_EQ(sink.messages[6].json, "{\"echo\":\"just text\",\"type\":\"string\"}");
}

// No browser: Load reports it, and no environment can be made. Runs everywhere, Wine included.
TEST(CdpRuntimeLoad, MissingBrowserIsNotFound) {
  MainQueue queue;
  SetEnv("VYO_BROWSER", (fs::temp_directory_path() / "vyo-no-such-browser" / "chrome").string());
  RuntimeOptions options;
  options.browser_locations = std::vector<std::string>{(fs::temp_directory_path() / "vyo-nothing-here").string()};
  auto runtime = CreateRuntime(queue.poster(), options);
  EXPECT_EQ(runtime->Load(), IWebRuntime::LoadResult::kNotFound);
  EXPECT_EQ(runtime->GetAvailableBrowserVersion(), "");
  bool ran = false;
  EXPECT_EQ(runtime->CreateEnvironment(u"", "", [&](HResult, std::shared_ptr<IWebEnvironment>) { ran = true; }),
            kFileNotFound);
  queue.PumpFor(50ms);
  EXPECT_FALSE(ran);
  UnsetEnv("VYO_BROWSER");
}

}  // namespace
}  // namespace vyo::web::cdp
