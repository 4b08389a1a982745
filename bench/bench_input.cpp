// Input latency through the host: the overlay's side writes a pointer record into the real input
// ring and signals the real input event at 1 kHz; the host's main loop (real main-thread wait, real
// shared memory, woken by the event) drains, routes and hands the record to the view's web view.
// The time from the write to the web view's SendMouseInput is measured per record (median, p99).
// Baseline in the same run: a bare wake-up between two threads through a named event at the same
// rate (signal → the waiting thread runs).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "fakes/app_harness.h"
#include "fakes/fake_web_runtime.h"
#include "fakes/input_records.h"
#include "platform/clock.h"

namespace vyo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRecords = 2000;

// Median and 99th percentile of the delays from each write to its arrival (records that never
// arrived, such as moves coalesced away, are left out), as the run's counters.
void Report(benchmark::State& state, const std::vector<Clock::time_point>& sent,
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

// The view's web view: notes when each move (x = its sequence number) arrived.
class RecordingView final : public web::IWebView {
 public:
  explicit RecordingView(Arrivals& arrivals) : arrivals_(arrivals) {}
  web::HResult SendMouseInput(int32_t, uint32_t, int32_t, int32_t x, int32_t) override {
    if (x >= 0 && x < kRecords) arrivals_.at[static_cast<size_t>(x)] = Clock::now();
    arrivals_.count.fetch_add(1);
    return web::kOk;
  }
  // Nothing else is asked of it here.
  web::HResult SetDefaultScriptDialogsEnabled(bool) override { return web::kOk; }
  web::HResult SetDevToolsEnabled(bool) override { return web::kOk; }
  web::HResult SetDefaultContextMenusEnabled(bool) override { return web::kOk; }
  web::HResult SetBrowserAcceleratorKeysEnabled(bool) override { return web::kOk; }
  web::HResult GetUserAgent(std::u16string*) override { return web::kOk; }
  web::HResult SetUserAgent(const std::u16string&) override { return web::kOk; }
  web::HResult CallDevToolsProtocolMethod(const std::string&, const std::string&) override { return web::kOk; }
  web::HResult CallDevToolsProtocolMethodWithResult(const std::string&, const std::string&, DevToolsDone) override {
    return web::kOk;
  }
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
  web::HResult PostWebMessageAsJson(const std::string&) override { return web::kOk; }
  web::HResult AddWebResourceRequestedFilter(const std::u16string&) override { return web::kOk; }
  web::HResult RemoveWebResourceRequestedFilter(const std::u16string&) override { return web::kOk; }
  web::HResult GetSystemCursorId(uint32_t*) override { return web::kOk; }
  web::HResult GetBrowserProcessId(uint32_t*) override { return web::kOk; }
  web::HResult SetMemoryUsageTargetLow(bool) override { return web::kOk; }
  void Close() override {}

 private:
  Arrivals& arrivals_;
};

// Writes one record at each millisecond tick and returns when the writes were made.
std::vector<Clock::time_point> WriteAt1kHz(const std::function<void(int)>& write) {
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

void BM_RingToWebView(benchmark::State& state) {
  for (auto _ : state) {
    testing::OverlayObjects overlay;
    Arrivals arrivals;
    testing::FakePipe* pipe = nullptr;
    std::atomic<bool> ready{false};
    std::thread host([&] {
      host::HostBackends backends = testing::TestBackends();
      backends.main_wait = &platform::MainThreadWait::Create;
      backends.pipe_server = [&](const std::u16string&) {
        auto owned = std::make_unique<testing::FakePipe>();
        pipe = owned.get();
        return owned;
      };
      host::WebViewHostApp app(platform::SystemClock(), std::move(backends));
      host::HostOptions options;
      options.pipe_name = u"bench.input";
      options.input_map_name = overlay.ring_name;
      options.input_event_name = overlay.event_name;
      if (!app.Initialise(options)) return;
      app.view_service().EnsureView(1, 4096, 4096, true, u"");
      app.views().With(1, [&](host::ViewState* v) { v->web.webview = std::make_shared<RecordingView>(arrivals); });
      ready = true;
      app.RunMainLoop();
      app.Shutdown();
    });
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto* ring = overlay.ring->data();
    const auto sent = WriteAt1kHz([&](int i) {
      const host::InputRecord r = testing::MakeRecord(1, 0x200, 0, i, 0);
      auto w = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring));
      const uint32_t index = w.load();
      std::memcpy(ring + 8 + static_cast<size_t>(index) * host::kInputRecordSize, r.data(), r.size());
      w.store((index + 1) % host::kInputSlots, std::memory_order_release);
      overlay.event->Signal();
    });
    while (arrivals.count.load() < kRecords && Clock::now() - sent.back() < std::chrono::seconds(2)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pipe->CloseIncoming();
    host.join();
    Report(state, sent, arrivals.at);
  }
}
BENCHMARK(BM_RingToWebView)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareEventWakeUp(benchmark::State& state) {
  for (auto _ : state) {
    testing::OverlayObjects overlay;  // its event, signalled by one thread and waited for by another
    std::vector<Clock::time_point> woke(kRecords);
    std::atomic<int> expected{0};
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
      while (!stop) {
        if (!overlay.event->Wait(50)) continue;
        const int i = expected.load();
        if (i < kRecords) woke[static_cast<size_t>(i)] = Clock::now();
      }
    });
    const auto sent = WriteAt1kHz([&](int i) {
      expected = i;
      overlay.event->Signal();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    waiter.join();
    Report(state, sent, woke);
  }
}
BENCHMARK(BM_BareEventWakeUp)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vyo

BENCHMARK_MAIN();
