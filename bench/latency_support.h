// What the latency benchmarks share: a web view that notes when numbered items arrive, a 1 kHz
// writer, and the median / p99 report of the delays.
#pragma once
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/app_harness.h"
#include "goal_report.h"
#include "platform/main_wait.h"
#include "renderers/web/web_runtime.h"

namespace vyo::bench {

using Clock = std::chrono::steady_clock;
constexpr int kRecords = 2000;

// Median and 99th percentile of the delays from each write to its arrival (records that never
// arrived, such as moves coalesced away, are left out), as the run's counters.
inline void Report(benchmark::State& state, const std::vector<Clock::time_point>& sent,
            const std::vector<Clock::time_point>& arrived) {
  std::vector<double> us;
  for (size_t i = 0; i < sent.size() && i < arrived.size(); ++i) {
    if (arrived[i] == Clock::time_point{}) continue;
    us.push_back(std::chrono::duration<double, std::micro>(arrived[i] - sent[i]).count());
  }
  std::sort(us.begin(), us.end());
  state.counters["delivered"] = static_cast<double>(us.size());
  if (us.empty()) return;
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

struct Arrivals {
  std::vector<Clock::time_point> at = std::vector<Clock::time_point>(kRecords);
  std::atomic<int> count{0};
};

// A view's web view that notes when each numbered item arrived: a pointer move (its x is the
// number) or a posted web message (its JSON text is the number).
class TimedWebView final : public web::IWebView {
 public:
  explicit TimedWebView(Arrivals& arrivals) : arrivals_(arrivals) {}
  web::HResult SendMouseInput(int32_t, uint32_t, int32_t, int32_t x, int32_t) override {
    Note(x);
    return web::kOk;
  }
  web::HResult PostWebMessageAsJson(const std::string& json) override {
    Note(std::atoi(json.c_str()));
    return web::kOk;
  }
  // Nothing else is asked of it here.
  web::HResult SetDefaultScriptDialogsEnabled(bool) override { return web::kOk; }
  web::HResult SetDevToolsEnabled(bool) override { return web::kOk; }
  web::HResult SetDefaultContextMenusEnabled(bool) override { return web::kOk; }
  web::HResult SetBrowserAcceleratorKeysEnabled(bool) override { return web::kOk; }
  web::HResult GetUserAgent(std::u16string*) override { return web::kOk; }
  web::HResult SetUserAgent(const std::u16string&) override { return web::kOk; }
  web::HResult InsertText(const std::string&) override { return web::kOk; }
  web::HResult DispatchKeyEvent(const web::KeyEvent&) override { return web::kOk; }
  web::HResult SetFocusEmulationEnabled(bool, Done) override { return web::kNotImplemented; }
  web::HResult EnableNetworkEvents() override { return web::kOk; }
  web::HResult SetHttpCacheDisabled(bool) override { return web::kOk; }
  web::HResult SetRawPixelBounds() override { return web::kOk; }
  web::HResult SetRasterizationScale(double) override { return web::kOk; }
  web::HResult SetAllowExternalDrop(bool) override { return web::kOk; }
  web::HResult SetBounds(int32_t, int32_t) override { return web::kOk; }
  web::HResult SetZoomFactor(double) override { return web::kOk; }
  web::HResult SetVisible(bool) override { return web::kOk; }
  web::HResult SetDefaultBackgroundColor(uint32_t) override { return web::kOk; }
  web::HResult MoveFocus() override { return web::kOk; }
  void SetEventSink(web::IWebViewEvents*) override {}
  web::HResult AddEventHandler(web::WebEvent) override { return web::kOk; }
  web::HResult RemoveEventHandler(web::WebEvent) override { return web::kOk; }
  web::HResult AddScriptToExecuteOnDocumentCreated(const std::u16string&) override { return web::kOk; }
  web::HResult ExecuteScript(const std::u16string&) override { return web::kOk; }
  web::HResult Navigate(const std::u16string&) override { return web::kOk; }
  web::HResult AddWebResourceRequestedFilter(const std::u16string&) override { return web::kOk; }
  web::HResult RemoveWebResourceRequestedFilter(const std::u16string&) override { return web::kOk; }
  web::HResult GetSystemCursorId(uint32_t*) override { return web::kOk; }
  web::HResult GetBrowserProcessId(uint32_t*) override { return web::kOk; }
  web::HResult SetMemoryUsageTargetLow(bool) override { return web::kOk; }
  void Close() override {}

 private:
  void Note(int i) {
    if (i >= 0 && i < kRecords) arrivals_.at[static_cast<size_t>(i)] = Clock::now();
    arrivals_.count.fetch_add(1);
  }
  Arrivals& arrivals_;
};

// Writes one record at each millisecond tick and returns when the writes were made.
inline std::vector<Clock::time_point> WriteAt1kHz(const std::function<void(int)>& write) {
  std::vector<Clock::time_point> sent(kRecords);
  auto next = Clock::now();
  for (int i = 0; i < kRecords; ++i) {
    next += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next);
    sent[static_cast<size_t>(i)] = Clock::now();
    write(i);
  }
  return sent;
}

// The host on a thread of its own, as in the program: real main-thread wait and clock, the overlay's
// shared memory, a fake pipe; view 1 has a TimedWebView. Started by the constructor (once it returns
// the main loop has run a task), stopped by Stop (the overlay closes the pipe).
class HostThread {
 public:
  explicit HostThread(Arrivals& arrivals) {
    thread_ = std::thread([this, &arrivals] {
      host::HostBackends backends = testing::TestBackends();
      backends.main_wait = &platform::MainThreadWait::Create;
      backends.pipe_server = [this](const std::u16string&) {
        auto owned = std::make_unique<testing::FakePipe>();
        pipe_ = owned.get();
        return owned;
      };
      host::WebViewHostApp app(platform::SystemClock(), std::move(backends));
      host::HostOptions options;
      options.pipe_name = u"bench.latency";
      options.input_map_name = overlay.ring_name;
      options.input_event_name = overlay.event_name;
      if (app.Initialise(options)) {
        app.view_service().EnsureView(1, 4096, 4096, true, u"");
        app.web().Find(1)->webview = std::make_shared<TimedWebView>(arrivals);
        app_ = &app;
        ready_ = true;
        app.RunMainLoop();
      }
      ready_ = true;
      app_ = nullptr;
      app.Shutdown();
    });
    while (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Measurements start once the main loop runs tasks (its first turn does start-up work).
    std::atomic<bool> turning{false};
    if (app_ != nullptr && app_.load()->main_thread().PostTask([&turning] { turning = true; })) {
      while (!turning) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~HostThread() { Stop(); }
  // Null when start-up failed.
  host::WebViewHostApp* app() { return app_; }
  void Stop() {
    if (!thread_.joinable()) return;
    if (pipe_ != nullptr) pipe_->CloseIncoming();
    thread_.join();
  }

  testing::OverlayObjects overlay;

 private:
  std::atomic<bool> ready_{false};
  std::atomic<host::WebViewHostApp*> app_{nullptr};
  testing::FakePipe* pipe_ = nullptr;
  std::thread thread_;
};

// Waits until every item arrived or two seconds passed since the last was sent.
inline void AwaitArrivals(const Arrivals& arrivals, const std::vector<Clock::time_point>& sent) {
  while (arrivals.count.load() < kRecords && Clock::now() - sent.back() < std::chrono::seconds(2)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The p99 of the run through the host, and a text that sets it beside its baseline's figures.
struct LatencyFigure {
  std::optional<double> p99_us;
  std::string detail;
};

inline LatencyFigure LatencyAgainst(const std::optional<Figure>& host, const std::optional<Figure>& bare,
                                    const char* baseline) {
  LatencyFigure out;
  if (!host) return out;
  out.p99_us = host->Counter("p99_us");
  if (bare) {
    char text[200];
    std::snprintf(text, sizeof text, "(%s's p99: %.0f us; medians %.0f us and %.0f us)", baseline,
                  bare->Counter("p99_us"), host->Counter("median_us"), bare->Counter("median_us"));
    out.detail = text;
  }
  return out;
}

}  // namespace vyo::bench
