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
#include "latency_support.h"
#include "platform/clock.h"

namespace vyo {
namespace {

using namespace bench;

void BM_RingToWebView(benchmark::State& state) {
  for (auto _ : state) {
    Arrivals arrivals;
    HostThread host(arrivals);
    if (host.app() == nullptr) {
      state.SkipWithError("the host did not start");
      return;
    }
    auto* ring = host.overlay.ring->data();
    const auto sent = WriteAt1kHz([&](int i) {
      const host::InputRecord r = testing::MakeRecord(1, 0x200, 0, i, 0);
      auto w = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring));
      const uint32_t index = w.load();
      std::memcpy(ring + 8 + static_cast<size_t>(index) * host::kInputRecordSize, r.data(), r.size());
      w.store((index + 1) % host::kInputSlots, std::memory_order_release);
      host.overlay.event->Signal();
    });
    AwaitArrivals(arrivals, sent);
    host.Stop();
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

int main(int argc, char** argv) {
  using namespace vyo::bench;
  return RunWithGoals(argc, argv, [](const Figures& f) {
    const LatencyFigure input =
        LatencyAgainst(f.Find("BM_RingToWebView"), f.Find("BM_BareEventWakeUp"), "a bare wake-up");
    PrintGoal("input record to the web view, p99", input.p99_us, Goal::kAtMost, 1000, " us", input.detail);
  });
}
